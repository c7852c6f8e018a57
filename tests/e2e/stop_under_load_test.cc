// Stopping corvane while it relays ddsperf's full-rate stream.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "tests/app/corvane_harness.h"
#include "tests/e2e/e2e_harness.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace corvane_e2e {
namespace {

// A stop ends the relay within a second; sanitizer builds run several times
// slower, so they get more room.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::chrono::milliseconds kStopBound{3000};
#else
constexpr std::chrono::milliseconds kStopBound{1000};
#endif

using corvane_test::ChildExit;
using corvane_test::ChildProcess;
using corvane_test::TempDir;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

constexpr int kSrc = 58;
constexpr int kDst = 59;
constexpr int kRuns = 50;

// Total of the last statistics line of a ddsperf subscriber so far.
uint64_t ReceivedSoFar(const ChildProcess& sub) {
  const std::vector<DdsperfSubLine> lines = ParseDdsperfSub(sub.Stdout());
  return lines.empty() ? 0 : lines.back().total;
}

// Each run starts corvane between a full-rate ddsperf publisher and its
// subscriber, lets it relay for a random moment and stops it with SIGINT or
// SIGTERM: the run must end with status 0 within a second of the signal.
TEST(StopUnderLoadTest, StopSignalEndsRelayPromptly) {
  if (std::string(CORVANE_E2E_DDSPERF).empty()) GTEST_SKIP() << "ddsperf is not installed";
  std::string error;
  std::unique_ptr<ChildProcess> sub =
      ChildProcess::Start(DdsperfOptions(kDst, {"-D", "600", "sub"}), &error);
  ASSERT_NE(sub, nullptr) << error;
  std::unique_ptr<ChildProcess> pub =
      ChildProcess::Start(DdsperfOptions(kSrc, {"-D", "600", "pub", "size", "1k"}), &error);
  ASSERT_NE(pub, nullptr) << error;

  TempDir dir;
  const std::string rules = RuleFile({{"DDSPerfRDataKS", "KeyedSeq", kSrc, kDst}});
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> relay_ms(50, 400);
  Clock::duration slowest{0};
  for (int run = 0; run < kRuns; ++run) {
    const int signo = run % 2 == 0 ? SIGINT : SIGTERM;
    SCOPED_TRACE("run " + std::to_string(run) + ", " + sigabbrev_np(signo));
    std::unique_ptr<ChildProcess> relay = StartRelay(dir, rules, &error);
    ASSERT_NE(relay, nullptr) << error;
    if (run == 0) {
      // The stream really flows through the relay before the first stop.
      const Clock::time_point deadline = Clock::now() + seconds(30);
      while (ReceivedSoFar(*sub) == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(50));
      }
      ASSERT_GT(ReceivedSoFar(*sub), 0u) << "nothing relayed:\n" << sub->Stdout();
    } else {
      std::this_thread::sleep_for(milliseconds(relay_ms(random)));
    }

    ASSERT_TRUE(relay->SendSignal(signo));
    const Clock::time_point signalled = Clock::now();
    const ChildExit exit = relay->Wait(corvane_test::kHangTimeout);
    const Clock::duration took = Clock::now() - signalled;
    slowest = std::max(slowest, took);
    ASSERT_FALSE(exit.timed_out) << "hang after the stop signal:\n" << relay->Stderr();
    EXPECT_TRUE(exit.ExitedWith(0)) << exit << "\n" << relay->Stderr();
    EXPECT_LT(took, kStopBound) << std::chrono::duration_cast<milliseconds>(took).count()
                                << " ms from signal to exit";
    EXPECT_FALSE(HasSanitizerReport(relay->Stderr())) << relay->Stderr();
  }
  ASSERT_TRUE(pub->Running() && sub->Running()) << pub->Stderr() << sub->Stderr();
  std::cout << "slowest stop: " << std::chrono::duration_cast<milliseconds>(slowest).count()
            << " ms; ddsperf sub received " << ReceivedSoFar(*sub) << " samples\n";
  pub->SendSignal(SIGINT);
  sub->SendSignal(SIGINT);
  pub->Wait(seconds(5));
  sub->Wait(seconds(5));
}

}  // namespace
}  // namespace corvane_e2e
