// Stopping corvane with signals, at every moment of its life.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "tests/app/corvane_harness.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace corvane_test {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The blocked-signal mask of one thread, from /proc; 0 when unreadable.
unsigned long long BlockedSignals(const std::filesystem::path& task) {
  std::ifstream status(task / "status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 7, "SigBlk:") == 0) return std::stoull(line.substr(7), nullptr, 16);
  }
  return 0;
}

// Runs relay one topic between domains 42 and 43.
class StopSignalTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.WriteFile("valid.yaml", DdsRuleFile(42, 43, "corvane_signal_probe")).empty());
  }
  ChildOptions Options() const { return CorvaneOptions(dir_.path(), {"-c", "valid.yaml"}); }

  // Starts a run and waits for its banner.
  std::unique_ptr<ChildProcess> StartWaiting() {
    std::string error;
    std::unique_ptr<ChildProcess> child = ChildProcess::Start(Options(), &error);
    EXPECT_NE(child, nullptr) << error;
    if (child != nullptr) {
      EXPECT_TRUE(child->WaitForStderr(kBannerPress, kHangTimeout)) << child->Stderr();
    }
    return child;
  }

  TempDir dir_;
};

struct SignalCase {
  int signo;
  bool stops_cleanly;  // exit status 0; otherwise the default action kills
};

void PrintTo(const SignalCase& c, std::ostream* os) {
  *os << sigabbrev_np(c.signo);
}

class WhileWaitingTest : public StopSignalTest, public testing::WithParamInterface<SignalCase> {};

TEST_P(WhileWaitingTest, StopSignalsEndCleanlyOthersKeepDefaultAction) {
  const StoppedRun run = RunAndStop(Options(), GetParam().signo);
  ASSERT_TRUE(run.reached_wait) << run.result.err;
  if (GetParam().stops_cleanly) {
    EXPECT_TRUE(run.result.exit.ExitedWith(0)) << run.result.exit;
  } else {
    EXPECT_TRUE(run.result.exit.KilledBy(GetParam().signo)) << run.result.exit;
  }
  EXPECT_EQ(run.result.out, "");
}

INSTANTIATE_TEST_SUITE_P(Signals, WhileWaitingTest,
                         testing::Values(SignalCase{SIGINT, true}, SignalCase{SIGTERM, true},
                                         SignalCase{SIGHUP, false}, SignalCase{SIGUSR2, false}),
                         [](const testing::TestParamInfo<SignalCase>& info) {
                           return std::string(sigabbrev_np(info.param.signo));
                         });

TEST_F(StopSignalTest, BurstOfStopSignalsEndsCleanly) {
  std::unique_ptr<ChildProcess> child = StartWaiting();
  ASSERT_NE(child, nullptr);
  for (int signo : {SIGTERM, SIGINT, SIGTERM, SIGINT, SIGTERM}) child->SendSignal(signo);
  EXPECT_TRUE(child->Wait(kHangTimeout).ExitedWith(0));
}

// Every thread but the main one holds the stop signals back, so the handler
// always runs on the main thread, whichever thread the kernel would pick.
TEST_F(StopSignalTest, OnlyTheMainThreadTakesStopSignals) {
  std::unique_ptr<ChildProcess> child = StartWaiting();
  ASSERT_NE(child, nullptr);
  const std::filesystem::path tasks = "/proc/" + std::to_string(child->pid()) + "/task";
  int others = 0;
  for (const auto& task : std::filesystem::directory_iterator(tasks)) {
    const bool main_thread = task.path().filename() == std::to_string(child->pid());
    const unsigned long long blocked = BlockedSignals(task.path());
    for (const int signo : {SIGINT, SIGTERM}) {
      const bool held = ((blocked >> (signo - 1)) & 1ULL) != 0;
      EXPECT_EQ(held, !main_thread) << "thread " << task.path().filename() << ", signal " << signo;
    }
    if (!main_thread) ++others;
  }
  EXPECT_GT(others, 0);
  child->SendSignal(SIGTERM);
  EXPECT_TRUE(child->Wait(kHangTimeout).ExitedWith(0));
}

TEST_F(StopSignalTest, SignalsDuringTeardownChangeNothing) {
  std::unique_ptr<ChildProcess> child = StartWaiting();
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(child->SendSignal(SIGTERM));
  // Keep signalling until the process is gone, so that some land in teardown.
  const auto deadline = Clock::now() + kHangTimeout;
  int sent = 0;
  while (child->Running() && Clock::now() < deadline) {
    if (child->SendSignal(sent % 2 == 0 ? SIGINT : SIGTERM)) ++sent;
    std::this_thread::sleep_for(microseconds(100));
  }
  const ChildExit exit = child->Wait(kHangTimeout);
  EXPECT_TRUE(exit.ExitedWith(0)) << exit << " after " << sent << " further signals";
}

// A stop signal at any moment after launch ends the process promptly: by
// the signal's default action before the handler is installed, with status
// 0 after. The banner follows the handler, so it tells the two apart.
TEST_F(StopSignalTest, StopAtRandomMomentAfterLaunch) {
  // The window spans about twice the time from execve to the installed
  // handler on this machine, so that both outcomes get their share.
  microseconds to_handler{0};
  {
    std::string error;
    std::unique_ptr<ChildProcess> child = ChildProcess::Start(Options(), &error);
    const auto start = Clock::now();
    ASSERT_NE(child, nullptr) << error;
    ASSERT_TRUE(WaitForStopHandler(child->pid(), kHangTimeout));
    to_handler = std::chrono::duration_cast<microseconds>(Clock::now() - start);
    child->SendSignal(SIGTERM);
    ASSERT_TRUE(child->Wait(kHangTimeout).ExitedWith(0));
  }
  const int64_t window_us = std::max<int64_t>(2 * to_handler.count(), 1000);

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int64_t> delay_us(0, window_us);
  int killed = 0;
  int stopped = 0;
  for (int run = 0; run < 50; ++run) {
    const int signo = run % 2 == 0 ? SIGTERM : SIGINT;
    const microseconds delay(delay_us(random));
    SCOPED_TRACE("run " + std::to_string(run) + ", " + sigabbrev_np(signo) + " after " +
                 std::to_string(delay.count()) + " us");
    std::string error;
    std::unique_ptr<ChildProcess> child = ChildProcess::Start(Options(), &error);
    ASSERT_NE(child, nullptr) << error;
    std::this_thread::sleep_for(delay);
    child->SendSignal(signo);
    const ChildExit exit = child->Wait(kHangTimeout);
    ASSERT_FALSE(exit.timed_out) << "no end after the stop signal";
    const std::string err = child->Stderr();
    if (exit.signaled) {
      EXPECT_TRUE(exit.KilledBy(signo)) << exit;
      EXPECT_FALSE(Contains(err, kBannerRunning)) << err;
      ++killed;
    } else {
      EXPECT_TRUE(exit.ExitedWith(0)) << exit;
      EXPECT_TRUE(Contains(err, kBannerRunning) && Contains(err, kBannerPress)) << err;
      ++stopped;
    }
  }
  RecordProperty("killed_before_handler", killed);
  RecordProperty("stopped_cleanly", stopped);
  std::cout << "launch to handler " << to_handler.count() << " us; " << killed
            << " runs killed before the handler, " << stopped << " stopped cleanly\n";
}

// A stop while a thousand rules are built (about a second here) lets them
// stand, then tears them down in order: status 0.
TEST(StopDuringStartUpTest, StopWhileRulesAreBuiltTearsDown) {
  TempDir dir;
  std::string rules = "rules:\n";
  for (int i = 0; i < 1000; i++) {
    rules += DdsRuleFile(38, 39, "probe_" + std::to_string(i)).substr(std::strlen("rules:\n"));
  }
  ASSERT_FALSE(dir.WriteFile("many.yaml", rules).empty());
  std::string error;
  std::unique_ptr<ChildProcess> child =
      ChildProcess::Start(CorvaneOptions(dir.path(), {"-c", "many.yaml"}), &error);
  ASSERT_NE(child, nullptr) << error;
  ASSERT_TRUE(child->WaitForStderr("referenced by user path", kHangTimeout)) << child->Stderr();
  child->SendSignal(SIGTERM);
  const ChildExit exit = child->Wait(kHangTimeout);
  EXPECT_TRUE(exit.ExitedWith(0)) << exit << "\n" << child->Stderr();
}

}  // namespace
}  // namespace corvane_test
