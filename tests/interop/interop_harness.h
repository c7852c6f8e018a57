// What interoperability tests share: the peer command lines and the check
// that what one peer sent is what the other received. Tests that put corvane
// between the peers use the same pieces around a corvane PeerProcess.

#ifndef CORVANE_TESTS_INTEROP_INTEROP_HARNESS_H_
#define CORVANE_TESTS_INTEROP_INTEROP_HARNESS_H_

#include <cstdint>
#include <string>
#include <vector>

enum class Vendor { kFastDds, kCyclone };

const char* VendorName(Vendor vendor);

// What a publisher and its subscribers agree on.
struct TrafficSpec {
  std::string kind = "sample";  // "sample" or "chatter".
  bool reliable = true;
  // Transient-local lets a reader that matches the writer after the first
  // writes still get them; volatile is what corvane's own endpoints use.
  bool transient_local = false;
  uint32_t size = 64;
  uint32_t count = 20;
  // Subscribers succeed with this many intact samples; 0 means all.
  uint32_t min_count = 0;
  uint32_t period_ms = 5;
  uint32_t settle_ms = 0;  // Publisher's pause between match and first write.
  double timeout_seconds = 20;
};

// The command line of a peer; `role` is "pub" or "sub". A publisher waits for
// one matched reader before it writes.
std::vector<std::string> PeerCommand(Vendor vendor, const std::string& role, int domain_id,
                                     const TrafficSpec& traffic);

// Variables every peer process gets on top of the test's environment.
std::vector<std::string> PeerEnvironment();

// Checks a subscriber's output against its publisher's: every received
// sample intact and equal in size, CRC and source timestamp to the one sent
// under its sequence number, none twice, and all of them if `expect_all`.
// Returns an empty string, or what went wrong.
std::string CompareTraffic(const std::vector<std::string>& publisher_output,
                           const std::vector<std::string>& subscriber_output, bool expect_all);

#endif  // CORVANE_TESTS_INTEROP_INTEROP_HARNESS_H_
