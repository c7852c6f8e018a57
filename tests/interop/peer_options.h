// Command line of the interoperability peers. Every vendor's peer accepts the
// same options, so that a test can swap one vendor for another:
//
//   <peer> pub|sub --domain N [--kind sample|chatter] [--topic NAME]
//          [--count N] [--min-count N] [--size BYTES]
//          [--reliability reliable|best-effort]
//          [--durability volatile|transient-local] [--timeout SECONDS]
//          [--period-ms MS] [--readers N] [--settle-ms MS] [--profile FILE]

#ifndef CORVANE_TESTS_INTEROP_PEER_OPTIONS_H_
#define CORVANE_TESTS_INTEROP_PEER_OPTIONS_H_

#include <cstdint>
#include <string>

enum class PeerRole { kPublisher, kSubscriber };

// kSample: type "interop::Sample" on topic "interop_sample".
// kChatter: type "std_msgs::msg::dds_::String_" on topic "rt/chatter".
enum class PeerKind { kSample, kChatter };

struct PeerOptions {
  PeerRole role = PeerRole::kSubscriber;
  PeerKind kind = PeerKind::kSample;
  int domain_id = -1;
  std::string topic;  // The kind's topic unless given.
  // The publisher writes sequence numbers 1..count; the subscriber waits for
  // all of them and succeeds when at least `min_count` arrived intact.
  uint32_t count = 10;
  uint32_t min_count = 10;  // Defaults to `count`.
  uint32_t size = 64;       // Payload bytes (sample) or filler characters (chatter).
  bool reliable = true;
  bool transient_local = false;  // Else volatile.
  double timeout_seconds = 30;   // Hard limit on the whole run.
  uint32_t period_ms = 10;       // Pause between two writes.
  uint32_t readers = 1;          // Matched readers a publisher waits for before writing.
  // Pause between that match and the first write. A match is seen by the two
  // sides at different times: a volatile reader that has not yet matched the
  // writer drops what it is sent and then starts after it.
  uint32_t settle_ms = 0;
  std::string profile;  // Fast DDS XML profile file; the loopback profile if empty.
};

// Fills `options` from argv. On bad input returns false and sets `error`.
bool ParsePeerOptions(int argc, const char* const* argv, PeerOptions* options, std::string* error);

const char* PeerUsage();

const char* TypeNameOf(PeerKind kind);

#endif  // CORVANE_TESTS_INTEROP_PEER_OPTIONS_H_
