// 200 plain DDS rules over 20 domains: corvane starts them all, relays
// through the last one, and stops cleanly on SIGTERM. Start-up time, stop
// time, threads and memory are reported.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <iostream>
#include <memory>
#include <string>
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
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

constexpr int kFirstDomain = 150;
constexpr int kDomains = 20;
constexpr int kRules = 200;

// The last rule carries ddsperf's stream, from the last domain but one to the
// last.
constexpr int kStreamSrc = kFirstDomain + kDomains - 2;
constexpr int kStreamDst = kFirstDomain + kDomains - 1;

// Every domain is the source and the destination of some rules; each rule
// has a topic of its own, and reliability varies.
std::vector<DdsRule> ManyRules() {
  std::vector<DdsRule> rules;
  for (int i = 0; i + 1 < kRules; ++i) {
    const int src = i % kDomains;
    const int dst = (src + 1 + (i / kDomains) % (kDomains - 1)) % kDomains;
    rules.push_back({"FaultScale" + std::to_string(i), "FaultScaleType" + std::to_string(i % 7),
                     kFirstDomain + src, kFirstDomain + dst, i % 3 != 0, i % 4 != 0});
  }
  rules.push_back({"DDSPerfRDataKS", "KeyedSeq", kStreamSrc, kStreamDst});
  return rules;
}

struct Figures {
  long start_ms = 0;
  long stop_ms = 0;
  long rss_kib = 0;
  long threads = 0;
};

TEST(ManyRulesFaultTest, StartsRelaysAndStopsCleanly) {
  if (std::string(CORVANE_E2E_DDSPERF).empty()) GTEST_SKIP() << "ddsperf is not installed";
  const std::string rules = corvane_e2e::RuleFile(ManyRules());
  TempDir dir;
  std::string error;
  std::unique_ptr<ChildProcess> sub = StartDdsperf(kStreamDst, 600, {"sub"}, &error);
  ASSERT_NE(sub, nullptr) << error;
  std::unique_ptr<ChildProcess> pub = StartDdsperf(kStreamSrc, 600, {"pub", "size", "1k"}, &error);
  ASSERT_NE(pub, nullptr) << error;

  const int runs = Repetitions(2, 10);
  Figures least{1L << 30, 1L << 30, 1L << 30, 1L << 30};
  Figures most;
  for (int run = 0; run < runs; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    Figures figures;
    const Clock::time_point started = Clock::now();
    std::unique_ptr<ChildProcess> relay = corvane_e2e::StartRelay(dir, rules, &error);
    ASSERT_NE(relay, nullptr) << error;
    figures.start_ms = ElapsedMs(started);

    const uint64_t before = ReceivedSoFar(*sub);
    ASSERT_TRUE(WaitForReceived(*sub, before, 1000, corvane_test::kHangTimeout))
        << "the last rule does not relay\n"
        << sub->Stdout();
    figures.rss_kib = ProcStatusValue(relay->pid(), "VmRSS");
    figures.threads = ProcStatusValue(relay->pid(), "Threads");

    const Clock::time_point signalled = Clock::now();
    const ChildExit exit = corvane_e2e::StopRelay(relay.get(), SIGTERM);
    figures.stop_ms = ElapsedMs(signalled);
    ASSERT_FALSE(exit.timed_out) << "hang on stop\n" << relay->Stderr();
    EXPECT_TRUE(exit.ExitedWith(0)) << exit << "\n" << relay->Stderr();
    EXPECT_FALSE(corvane_e2e::HasSanitizerReport(relay->Stderr())) << relay->Stderr();

    least = {std::min(least.start_ms, figures.start_ms), std::min(least.stop_ms, figures.stop_ms),
             std::min(least.rss_kib, figures.rss_kib), std::min(least.threads, figures.threads)};
    most = {std::max(most.start_ms, figures.start_ms), std::max(most.stop_ms, figures.stop_ms),
            std::max(most.rss_kib, figures.rss_kib), std::max(most.threads, figures.threads)};
  }
  std::cout << kRules << " rules over " << kDomains << " domains, " << runs
            << " runs: start-up to banner " << least.start_ms << "-" << most.start_ms
            << " ms, stop " << least.stop_ms << "-" << most.stop_ms << " ms, RSS while relaying "
            << least.rss_kib << "-" << most.rss_kib << " kB, " << most.threads << " threads\n";
  StopDdsperf(pub.get());
  StopDdsperf(sub.get());
}

}  // namespace
}  // namespace corvane_fault
