// A publisher killed with SIGKILL in the middle of its stream and started
// again: corvane goes on relaying the new publisher's stream to the same
// subscriber, whether the new one comes before or after the old one's lease
// has run out, with small samples and with fragmented ones.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/corvane_harness.h"
#include "tests/e2e/e2e_harness.h"
#include "tests/fault/fault_support.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace corvane_fault {
namespace {

using corvane_test::ChildExit;
using corvane_test::ChildProcess;
using corvane_test::TempDir;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kSrc = 144;
constexpr int kDst = 145;

// Publishers announce a short lease, so that a killed one is declared gone
// within the test.
constexpr char kShortLease[] = "<Discovery><LeaseDuration>1s</LeaseDuration></Discovery>";
constexpr milliseconds kPastLease{2500};

// Samples the subscriber must get from a new publisher before it counts as
// relayed, and how long that may take at most.
constexpr uint64_t kNewStream = 200;
constexpr milliseconds kRelayTimeout = seconds(30);

struct RestartCase {
  const char* what;
  const char* sample_size;     // ddsperf's "size" argument
  milliseconds restart_after;  // from the kill to the new publisher
};

const RestartCase kCases[] = {
    {"1 KiB samples, restarted at once", "1k", milliseconds(0)},
    {"100 KiB samples in fragments, restarted at once", "100k", milliseconds(0)},
    {"1 KiB samples, restarted after the lease ran out", "1k", kPastLease},
    {"100 KiB samples in fragments, restarted after the lease ran out", "100k", kPastLease},
};

std::unique_ptr<ChildProcess> StartPublisher(const char* sample_size, std::string* error) {
  corvane_test::ChildOptions options =
      corvane_e2e::DdsperfOptions(kSrc, {"-D", "120", "pub", "size", sample_size});
  options.set_env["CYCLONEDDS_URI"] += std::string(",") + kShortLease;
  return ChildProcess::Start(options, error);
}

// Waits until the subscriber's total has stayed the same over a little more
// than ddsperf's one-second reporting period; returns that total.
uint64_t WaitForQuiet(const ChildProcess& sub) {
  uint64_t last = ReceivedSoFar(sub);
  for (int look = 0; look < 10; ++look) {
    std::this_thread::sleep_for(milliseconds(1200));
    const uint64_t now = ReceivedSoFar(sub);
    if (now == last) break;
    last = now;
  }
  return last;
}

TEST(PublisherRestartFaultTest, RelayCarriesTheRestartedStream) {
  if (std::string(CORVANE_E2E_DDSPERF).empty()) GTEST_SKIP() << "ddsperf is not installed";
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);

  TempDir dir;
  std::string error;
  std::unique_ptr<ChildProcess> relay = corvane_e2e::StartRelay(
      dir, corvane_e2e::RuleFile({{"DDSPerfRDataKS", "KeyedSeq", kSrc, kDst}}), &error);
  ASSERT_NE(relay, nullptr) << error;
  std::unique_ptr<ChildProcess> sub = StartDdsperf(kDst, 600, {"sub"}, &error);
  ASSERT_NE(sub, nullptr) << error;

  const int rounds = Repetitions(1, 10);
  int restarts = 0;
  for (int round = 0; round < rounds; ++round) {
    for (const RestartCase& c : kCases) {
      SCOPED_TRACE(std::string(c.what) + ", round " + std::to_string(round));
      std::unique_ptr<ChildProcess> pub = StartPublisher(c.sample_size, &error);
      ASSERT_NE(pub, nullptr) << error;
      const uint64_t before = ReceivedSoFar(*sub);
      ASSERT_TRUE(WaitForReceived(*sub, before, kNewStream, kRelayTimeout))
          << "the new publisher's stream is not relayed; received " << ReceivedSoFar(*sub) - before
          << "\nrelay: " << relay->Stderr() << "\nsubscriber:\n"
          << sub->Stdout();

      // Somewhere in the stream, usually inside a fragmented sample.
      std::this_thread::sleep_for(milliseconds(std::uniform_int_distribution<int>(0, 300)(random)));
      ASSERT_TRUE(pub->SendSignal(SIGKILL));
      EXPECT_TRUE(pub->Wait(seconds(5)).KilledBy(SIGKILL));
      WaitForQuiet(*sub);
      std::this_thread::sleep_for(c.restart_after);
      ASSERT_TRUE(relay->Running()) << relay->Stderr();
      ++restarts;
    }
  }
  // The stream of the last round's publisher after its predecessor's kill.
  std::unique_ptr<ChildProcess> pub = StartPublisher("1k", &error);
  ASSERT_NE(pub, nullptr) << error;
  const uint64_t before = ReceivedSoFar(*sub);
  EXPECT_TRUE(WaitForReceived(*sub, before, kNewStream, kRelayTimeout))
      << "the last publisher's stream is not relayed\nsubscriber:\n"
      << sub->Stdout();
  StopDdsperf(pub.get());

  const ChildExit exit = corvane_e2e::StopRelay(relay.get(), SIGTERM);
  EXPECT_TRUE(exit.ExitedWith(0)) << exit << "\n" << relay->Stderr();
  EXPECT_FALSE(corvane_e2e::HasSanitizerReport(relay->Stderr())) << relay->Stderr();
  std::cout << restarts << " publishers killed in mid-stream and replaced; the subscriber got "
            << ReceivedSoFar(*sub) << " samples through the relay\n";
  StopDdsperf(sub.get());
}

}  // namespace
}  // namespace corvane_fault
