// Stop signals at random moments of corvane's life, with ddsperf streaming at
// full rate through the relay: while it starts, while it relays, and while it
// tears down after a first stop. Whatever the moment, the process ends:
// killed by the signal while no stop handler is installed, status 0 once one
// is; never a hang and never a crash.

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
#include <vector>

#include "tests/app/corvane_harness.h"
#include "tests/e2e/e2e_harness.h"
#include "tests/fault/fault_support.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace corvane_fault {
namespace {

using corvane_e2e::DdsRule;
using corvane_test::ChildExit;
using corvane_test::ChildProcess;
using corvane_test::TempDir;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr int kSrc = 140;
constexpr int kDst = 141;

// Idle rules beside the streaming one widen start-up and teardown, so that
// random moments land inside them.
constexpr int kIdleRules = 19;

// ddsperf's stream first, then idle rules in both directions.
std::vector<DdsRule> RuleSet(int src, int dst) {
  std::vector<DdsRule> rules = {{"DDSPerfRDataKS", "KeyedSeq", src, dst}};
  for (int i = 0; i < kIdleRules; ++i) {
    const bool forward = i % 2 == 0;
    rules.push_back({"FaultIdle" + std::to_string(i), "FaultIdleType", forward ? src : dst,
                     forward ? dst : src});
  }
  return rules;
}

int StopSignalOfRun(int run) {
  return run % 2 == 0 ? SIGINT : SIGTERM;
}

std::string Describe(const ChildProcess& relay) {
  return "stderr:\n" + relay.Stderr();
}

// ddsperf publishing at full rate in `src` and receiving in `dst`, for the
// whole test.
class FullRateStream {
 public:
  FullRateStream(int src, int dst) {
    sub_ = StartDdsperf(dst, 600, {"sub"}, &error_);
    if (sub_ != nullptr) pub_ = StartDdsperf(src, 600, {"pub", "size", "1k"}, &error_);
  }
  ~FullRateStream() {
    StopDdsperf(pub_.get());
    StopDdsperf(sub_.get());
  }

  bool ok() const { return pub_ != nullptr && sub_ != nullptr; }
  const std::string& error() const { return error_; }
  ChildProcess& sub() { return *sub_; }
  bool StillRunning() { return pub_->Running() && sub_->Running(); }

 private:
  std::string error_;
  std::unique_ptr<ChildProcess> sub_;
  std::unique_ptr<ChildProcess> pub_;
};

// Both phases share the stream and the rule set: they run one after the
// other in the same domains.
class StopSignalFaultTest : public testing::Test {
 protected:
  void SetUp() override {
    if (std::string(CORVANE_E2E_DDSPERF).empty()) GTEST_SKIP() << "ddsperf is not installed";
    seed_ = std::random_device{}();
    random_.seed(seed_);
    rules_ = corvane_e2e::RuleFile(RuleSet(kSrc, kDst));
    stream_ = std::make_unique<FullRateStream>(kSrc, kDst);
    ASSERT_TRUE(stream_->ok()) << stream_->error();
  }

  void StopDuringStartUp();
  void StopUnderTrafficAndDuringTeardown();

  std::unique_ptr<ChildProcess> Launch(const std::string& rule_file) {
    std::string error;
    if (dir_.WriteFile("rules.yaml", rule_file).empty()) return nullptr;
    std::unique_ptr<ChildProcess> relay = ChildProcess::Start(
        corvane_test::CorvaneOptions(dir_.path(), {"-c", "rules.yaml"}), &error);
    EXPECT_NE(relay, nullptr) << error;
    return relay;
  }

  int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  TempDir dir_;
  unsigned seed_ = 0;
  std::mt19937 random_;
  std::string rules_;
  std::unique_ptr<FullRateStream> stream_;
};

// Signals from the first instant after exec to about the moment the stop
// handler appears, plus some right at that moment. Before the handler
// the signal's default action ends the process; from then on, teardown and
// status 0.
void StopSignalFaultTest::StopDuringStartUp() {
  // How long start-up takes here, up to the stop handler: the quickest of a
  // few, so that most random moments fall before the handler.
  long handler_ms = corvane_test::kHangTimeout.count() * 1000;
  for (int probe = 0; probe < 3; ++probe) {
    std::unique_ptr<ChildProcess> relay = Launch(rules_);
    ASSERT_NE(relay, nullptr);
    const Clock::time_point started = Clock::now();
    ASSERT_TRUE(corvane_test::WaitForStopHandler(relay->pid(), corvane_test::kHangTimeout))
        << Describe(*relay);
    handler_ms = std::min(handler_ms, ElapsedMs(started));
    if (probe == 0) {
      ASSERT_TRUE(WaitForReceived(stream_->sub(), 0, 1, corvane_test::kHangTimeout))
          << "the stream does not pass the relay:\n"
          << stream_->sub().Stdout();
    }
    relay->SendSignal(SIGTERM);
    ASSERT_TRUE(relay->Wait(corvane_test::kHangTimeout).ExitedWith(0)) << Describe(*relay);
  }

  const int runs = Repetitions(30, 100);
  int killed = 0;
  int stopped_cleanly = 0;
  int at_handler = 0;
  for (int run = 0; run < runs; ++run) {
    const int signo = StopSignalOfRun(run);
    const bool wait_for_handler = run % 5 == 4;
    const int delay_ms = wait_for_handler ? 0 : Uniform(0, static_cast<int>(handler_ms));
    SCOPED_TRACE("run " + std::to_string(run) + ", " + sigabbrev_np(signo) + ", " +
                 (wait_for_handler ? "as the handler appears"
                                   : "after " + std::to_string(delay_ms) + " ms"));
    std::unique_ptr<ChildProcess> relay = Launch(rules_);
    ASSERT_NE(relay, nullptr);
    if (wait_for_handler) {
      ASSERT_TRUE(corvane_test::WaitForStopHandler(relay->pid(), corvane_test::kHangTimeout));
      ++at_handler;
    } else {
      std::this_thread::sleep_for(milliseconds(delay_ms));
    }
    const bool handled = corvane_test::IsSignalCaught(relay->pid(), signo);
    ASSERT_TRUE(relay->SendSignal(signo));
    const ChildExit exit = relay->Wait(corvane_test::kHangTimeout);
    ASSERT_FALSE(exit.timed_out) << "hang after " << sigabbrev_np(signo) << "\n"
                                 << Describe(*relay);
    if (handled) {
      EXPECT_TRUE(exit.ExitedWith(0)) << exit << "\n" << Describe(*relay);
    } else {
      // The handler may have been installed between the look and the kill.
      EXPECT_TRUE(exit.KilledBy(signo) || exit.ExitedWith(0)) << exit << "\n" << Describe(*relay);
    }
    EXPECT_FALSE(corvane_e2e::HasSanitizerReport(relay->Stderr())) << Describe(*relay);
    killed += exit.KilledBy(signo) ? 1 : 0;
    stopped_cleanly += exit.ExitedWith(0) ? 1 : 0;
  }
  EXPECT_TRUE(stream_->StillRunning());
  std::cout << runs << " runs (" << at_handler << " as the handler appeared): " << killed
            << " ended by the signal before the handler, " << stopped_cleanly
            << " stopped with status 0; start-up to handler " << handler_ms << " ms\n";
}

// Each run relays the stream for a random moment and is stopped; every other
// run gets a second stop signal at a random moment of the teardown the first
// one began. Teardown goes on and the status stays 0.
void StopSignalFaultTest::StopUnderTrafficAndDuringTeardown() {
  const int runs = 2 * Repetitions(15, 100);
  long last_stop_ms = 1;  // the latest stop by one signal: the teardown to aim at
  long slowest_stop_ms = 0;
  int second_during_teardown = 0;
  for (int run = 0; run < runs; ++run) {
    const int signo = StopSignalOfRun(run);
    const bool second = run % 2 == 1;
    SCOPED_TRACE("run " + std::to_string(run) + ", " + sigabbrev_np(signo) +
                 (second ? " and a second stop during teardown" : ""));
    std::string error;
    std::unique_ptr<ChildProcess> relay = corvane_e2e::StartRelay(dir_, rules_, &error);
    ASSERT_NE(relay, nullptr) << error;
    if (run == 0) {
      const uint64_t before = ReceivedSoFar(stream_->sub());
      ASSERT_TRUE(WaitForReceived(stream_->sub(), before, 1000, corvane_test::kHangTimeout))
          << "the stream does not pass the relay:\n"
          << stream_->sub().Stdout();
    } else {
      std::this_thread::sleep_for(milliseconds(Uniform(0, 300)));
    }

    ASSERT_TRUE(relay->SendSignal(signo));
    const Clock::time_point signalled = Clock::now();
    if (second) {
      std::this_thread::sleep_for(milliseconds(Uniform(0, static_cast<int>(last_stop_ms))));
      if (IsAlive(relay->pid())) ++second_during_teardown;
      relay->SendSignal(signo == SIGINT ? SIGTERM : SIGINT);
    }
    const ChildExit exit = relay->Wait(corvane_test::kHangTimeout);
    const long stop_ms = ElapsedMs(signalled);
    slowest_stop_ms = std::max(slowest_stop_ms, stop_ms);
    if (!second) last_stop_ms = std::max(1L, stop_ms);
    ASSERT_FALSE(exit.timed_out) << "hang after the stop\n" << Describe(*relay);
    EXPECT_TRUE(exit.ExitedWith(0)) << exit << "\n" << Describe(*relay);
    EXPECT_FALSE(corvane_e2e::HasSanitizerReport(relay->Stderr())) << Describe(*relay);
  }
  EXPECT_TRUE(stream_->StillRunning());
  std::cout << runs << " stops under full-rate traffic, " << runs / 2 << " with a second signal ("
            << second_during_teardown << " of them while the process still ran); slowest stop "
            << slowest_stop_ms << " ms; ddsperf sub received " << ReceivedSoFar(stream_->sub())
            << " samples\n";
}

TEST_F(StopSignalFaultTest, AtRandomMomentsOfStartUpRelayAndTeardown) {
  SCOPED_TRACE("seed " + std::to_string(seed_));
  {
    SCOPED_TRACE("during start-up");
    StopDuringStartUp();
  }
  if (HasFatalFailure()) return;
  SCOPED_TRACE("under traffic and during teardown");
  StopUnderTrafficAndDuringTeardown();
}

}  // namespace
}  // namespace corvane_fault
