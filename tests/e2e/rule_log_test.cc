// What corvane writes about its rules: the start-up lines, match changes, and
// the counters that SIGUSR1 asks for, seen with ddsperf peers.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/corvane_harness.h"
#include "tests/e2e/e2e_harness.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace corvane_e2e {
namespace {

using corvane_test::ChildExit;
using corvane_test::ChildProcess;
using corvane_test::kHangTimeout;
using corvane_test::TempDir;
using std::chrono::milliseconds;

// ddsperf's reliable and best-effort data topics.
const char kTopic[] = "DDSPerfRDataKS";
const char kBestEffortTopic[] = "DDSPerfUDataKS";

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) count++;
  return count;
}

class RuleLogTest : public testing::Test {
 protected:
  void SetUp() override {
    if (std::string(CORVANE_E2E_DDSPERF).empty()) GTEST_SKIP() << "ddsperf is not installed";
  }
  void StartRelay(int src, int dst, const char* topic = kTopic) {
    std::string error;
    relay_ = corvane_e2e::StartRelay(dir_, RuleFile({{topic, "KeyedSeq", src, dst}}), &error);
    ASSERT_NE(relay_, nullptr) << error;
  }
  std::unique_ptr<ChildProcess> Ddsperf(int domain, const std::vector<std::string>& args) {
    std::string error;
    std::unique_ptr<ChildProcess> peer = ChildProcess::Start(DdsperfOptions(domain, args), &error);
    EXPECT_NE(peer, nullptr) << error;
    return peer;
  }
  void TearDown() override {
    if (relay_ == nullptr) return;
    EXPECT_TRUE(StopRelay(relay_.get(), SIGTERM).ExitedWith(0)) << relay_->Stderr();
    EXPECT_FALSE(HasSanitizerReport(relay_->Stderr())) << relay_->Stderr();
  }

  TempDir dir_;
  std::unique_ptr<ChildProcess> relay_;
};

struct MatchCase {
  const char* name;
  const char* topic;  // the rule's, reliable on both sides
  bool in_src;        // where the peer runs
  std::vector<std::string> args;
  std::vector<std::string> once;   // lines that appear exactly once, in order
  std::vector<std::string> never;  // and lines that must not appear
};

// A peer that comes and goes gives one line each way; a peer that cannot
// match is named with the policy it fails on.
TEST_F(RuleLogTest, MatchChangesNameThePeerAndThePolicy) {
  const std::vector<MatchCase> cases = {
      {"publisher",
       kTopic,
       true,
       {"-D", "3", "pub", "100Hz"},
       {"rule 0 DDSPerfRDataKS domain 80: first publisher matched (1 now)",
        "rule 0 DDSPerfRDataKS domain 80: last publisher gone"},
       {"refused"}},
      {"subscriber",
       kTopic,
       false,
       {"-D", "3", "sub"},
       {"rule 0 DDSPerfRDataKS domain 81: first subscriber matched (1 now)",
        "rule 0 DDSPerfRDataKS domain 81: last subscriber gone"},
       {"refused"}},
      {"best-effort publisher",
       kBestEffortTopic,
       true,
       {"-u", "-D", "3", "pub", "100Hz"},
       {"publisher refused, incompatible QoS policy RELIABILITY"},
       {"first publisher matched"}},
  };
  for (const MatchCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(StartRelay(80, 81, c.topic));
    const std::string start = relay_->Stderr();
    const size_t rule_line = start.find("rule 0 dds: topic " + std::string(c.topic) +
                                        ", domain 80 reliable -> domain 81 reliable");
    ASSERT_NE(rule_line, std::string::npos) << start;
    EXPECT_LT(rule_line, start.find(corvane_test::kBannerRunning)) << start;

    std::unique_ptr<ChildProcess> peer = Ddsperf(c.in_src ? 80 : 81, c.args);
    ASSERT_NE(peer, nullptr);
    EXPECT_TRUE(peer->Wait(kHangTimeout).ExitedWith(0)) << peer->Stderr();
    ASSERT_TRUE(relay_->WaitForStderr(c.once.back(), kHangTimeout)) << relay_->Stderr();
    std::this_thread::sleep_for(milliseconds(1500));  // room for lines that must not come
    const std::string log = relay_->Stderr();
    size_t last = 0;
    for (const std::string& line : c.once) {
      EXPECT_EQ(Count(log, line), 1u) << line << "\n" << log;
      EXPECT_GE(log.find(line), last) << line << " out of order\n" << log;
      last = log.find(line);
    }
    for (const std::string& line : c.never) EXPECT_EQ(Count(log, line), 0u) << line << "\n" << log;
    TearDown();
    relay_.reset();
  }
}

// Once the publisher has finished, the counters that SIGUSR1 writes are what
// the subscriber received, to the sample.
TEST_F(RuleLogTest, CountersMatchWhatTheSubscriberReceived) {
  ASSERT_NO_FATAL_FAILURE(StartRelay(82, 83));
  std::unique_ptr<ChildProcess> sub = Ddsperf(83, {"-D", "7", "sub"});
  ASSERT_NE(sub, nullptr);
  ASSERT_TRUE(relay_->WaitForStderr("rule 0 DDSPerfRDataKS domain 83: first subscriber matched",
                                    kHangTimeout))
      << relay_->Stderr();
  std::unique_ptr<ChildProcess> pub = Ddsperf(82, {"-D", "3", "pub", "size", "1k"});
  ASSERT_NE(pub, nullptr);
  EXPECT_TRUE(pub->Wait(kHangTimeout).ExitedWith(0)) << pub->Stderr();
  EXPECT_TRUE(sub->Wait(kHangTimeout).ExitedWith(0)) << sub->Stderr();
  const std::vector<DdsperfSubLine> lines = ParseDdsperfSub(sub->Stdout());
  ASSERT_FALSE(lines.empty()) << sub->Stdout();
  EXPECT_GT(lines.back().total, 0u);

  ASSERT_TRUE(relay_->SendSignal(SIGUSR1));
  ASSERT_TRUE(relay_->WaitForStderr("rule 0 counters:", kHangTimeout)) << relay_->Stderr();
  const std::string log = relay_->Stderr();
  std::smatch counters;
  ASSERT_TRUE(std::regex_search(log, counters,
                                std::regex("rule 0 counters: DDSPerfRDataKS 82->83: forwarded "
                                           "([0-9]+) samples ([0-9]+) bytes, dropped 0 ")))
      << log;
  EXPECT_EQ(std::stoull(counters[1]), lines.back().total) << log;
  EXPECT_GE(std::stoull(counters[2]), lines.back().total * 1024) << log;
  EXPECT_TRUE(relay_->Running());
}

// SIGUSR1 in bursts while ddsperf streams at full rate, and on and on during
// the teardown that a stop begins: the relay neither ends nor hangs.
TEST_F(RuleLogTest, CountersRequestsNeverEndOrHangTheRelay) {
  std::unique_ptr<ChildProcess> sub = Ddsperf(85, {"-D", "120", "sub"});
  std::unique_ptr<ChildProcess> pub = Ddsperf(84, {"-D", "120", "pub", "size", "1k"});
  ASSERT_TRUE(sub != nullptr && pub != nullptr);
  for (int run = 0; run < 6; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    ASSERT_NO_FATAL_FAILURE(StartRelay(84, 85));
    for (const char* matched : {"rule 0 DDSPerfRDataKS domain 84: first publisher",
                                "rule 0 DDSPerfRDataKS domain 85: first"}) {
      ASSERT_TRUE(relay_->WaitForStderr(matched, kHangTimeout)) << relay_->Stderr();
    }
    for (int i = 0; i < 200; ++i) {
      relay_->SendSignal(SIGUSR1);
      std::this_thread::sleep_for(milliseconds(i % 3));
    }
    ASSERT_TRUE(relay_->WaitForStderr("rule 0 counters:", kHangTimeout)) << relay_->Stderr();
    ASSERT_TRUE(relay_->Running()) << relay_->Stderr();
    ASSERT_TRUE(relay_->SendSignal(run % 2 == 0 ? SIGTERM : SIGINT));
    const auto deadline = std::chrono::steady_clock::now() + kHangTimeout;
    while (relay_->Running() && std::chrono::steady_clock::now() < deadline) {
      relay_->SendSignal(SIGUSR1);
    }
    const ChildExit exit = relay_->Wait(kHangTimeout);
    EXPECT_TRUE(exit.ExitedWith(0)) << exit << "\n" << relay_->Stderr();
    EXPECT_FALSE(HasSanitizerReport(relay_->Stderr())) << relay_->Stderr();
    relay_.reset();
  }
  EXPECT_FALSE(ParseDdsperfSub(sub->Stdout()).empty()) << "nothing relayed\n" << sub->Stdout();
}

}  // namespace
}  // namespace corvane_e2e
