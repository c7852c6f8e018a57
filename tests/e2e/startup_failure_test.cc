// corvane refusing to start: rule files that yield no rules, and a rule that
// cannot be bridged among others.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/app/corvane_harness.h"
#include "tests/e2e/dds_probe.h"
#include "tests/e2e/e2e_harness.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace corvane_e2e {
namespace {

using corvane_test::ChildOptions;
using corvane_test::ChildProcess;
using corvane_test::ChildResult;
using corvane_test::CorvaneOptions;
using corvane_test::kBannerRunning;
using corvane_test::kHangTimeout;
using corvane_test::RunChild;
using corvane_test::TempDir;
using std::chrono::milliseconds;

const char kNoRules[] = "[WARNING] There are no rules in the config file for Corvane.";
const char kCannotParse[] = "[ERROR] Cannot parse config File. Please check config file format";
const char kNoBridge[] = "[ERROR] Failed to initialize Corvane; cannot create a bridge instance";

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

struct UnusableFileCase {
  const char* name;
  std::optional<std::string> content;  // absent: the path is a directory
  const char* log_level;               // TAVRINDDS_LOG_LEVEL; null: unset
  const char* expected;                // null: nothing of the start-up is logged
  const char* absent;                  // the other start-up message
};

void PrintTo(const UnusableFileCase& c, std::ostream* os) {
  *os << c.name;
}

class UnusableFileTest : public testing::TestWithParam<UnusableFileCase> {};

TEST_P(UnusableFileTest, EndsWithStatusOne) {
  const UnusableFileCase& c = GetParam();
  TempDir dir;
  std::string path = dir.PathOf("rules.yaml");
  if (c.content) {
    ASSERT_FALSE(dir.WriteFile("rules.yaml", *c.content).empty());
  } else {
    path = dir.path();
  }
  ChildOptions options = CorvaneOptions(dir.path(), {"-c", path});
  if (c.log_level != nullptr) options.set_env["TAVRINDDS_LOG_LEVEL"] = c.log_level;

  const ChildResult result = RunChild(options, kHangTimeout);
  EXPECT_TRUE(result.exit.ExitedWith(1)) << result.exit << "\n" << result.err;
  EXPECT_EQ(result.out, "");
  if (c.expected != nullptr) {
    EXPECT_TRUE(Contains(result.err, c.expected)) << result.err;
  }
  EXPECT_FALSE(Contains(result.err, c.absent)) << result.err;
  EXPECT_FALSE(Contains(result.err, kBannerRunning)) << result.err;
  EXPECT_FALSE(HasSanitizerReport(result.err)) << result.err;
}

const char kEveryRuleInvalid[] =
    "rules:\n"
    "  - type: DDS\n"
    "    topic: t\n"
    "    data_type: T\n"
    "    src: {domain_id: 57, reliability: reliable}\n"
    "    dst: {domain_id: 57, reliability: reliable}\n"
    "  - type: dds\n"
    "    topic: t\n"
    "    data_type: T\n"
    "    src: {domain_id: 57, reliability: reliable}\n";

INSTANTIATE_TEST_SUITE_P(
    Files, UnusableFileTest,
    testing::Values(
        UnusableFileCase{"EveryRuleInvalid", kEveryRuleInvalid, nullptr, kNoRules, kCannotParse},
        UnusableFileCase{"EveryRuleInvalidAtLevel3", kEveryRuleInvalid, "3", kNoRules,
                         kCannotParse},
        UnusableFileCase{"EveryRuleInvalidAtLevel4", kEveryRuleInvalid, "4", nullptr, kNoRules},
        UnusableFileCase{"EmptyRuleSequence", std::string("rules: []\n"), nullptr, kCannotParse,
                         kNoRules},
        UnusableFileCase{"NoRulesKey", std::string("bridges:\n  - type: dds\n"), nullptr,
                         kCannotParse, kNoRules},
        UnusableFileCase{"InvalidYaml", std::string("rules: [\n  - type: dds\n    topic: {\n"),
                         nullptr, kCannotParse, kNoRules},
        UnusableFileCase{"EmptyFile", std::string(), nullptr, kCannotParse, kNoRules},
        UnusableFileCase{"Directory", std::nullopt, nullptr, kCannotParse, kNoRules},
        UnusableFileCase{"InvalidYamlAtLevel4", std::string("rules: [\n"), "4", kCannotParse,
                         kNoRules},
        UnusableFileCase{"InvalidYamlAtLevel5", std::string("rules: [\n"), "5", nullptr,
                         kCannotParse}),
    [](const testing::TestParamInfo<UnusableFileCase>& info) { return info.param.name; });

// Three rules, of which the second names a domain that cannot be created:
// status 2, no banner, and the third rule's domain never sees the relay,
// while the first rule's domain does (the watch works).
TEST(UnbridgeableRuleTest, EndsWithStatusTwoBeforeLaterRules) {
  constexpr int kFirstSrc = 54;
  constexpr int kFirstDst = 55;
  constexpr int kThird = 56;
  Participant first(kFirstSrc);
  Participant third(kThird);
  ASSERT_TRUE(first.ok() && third.ok());

  for (const int refused : {300, -1, 2147483647}) {
    SCOPED_TRACE("refused domain id " + std::to_string(refused));
    ParticipantWatch first_watch(first);
    ParticipantWatch third_watch(third);
    ASSERT_TRUE(first_watch.ok() && third_watch.ok());
    TempDir dir;
    ASSERT_FALSE(
        dir.WriteFile("rules.yaml", RuleFile({{"corvane_e2e_first", "T", kFirstSrc, kFirstDst},
                                              {"corvane_e2e_second", "T", kFirstSrc, refused},
                                              {"corvane_e2e_third", "T", kThird, kThird}}))
            .empty());
    std::string error;
    std::unique_ptr<ChildProcess> relay =
        ChildProcess::Start(CorvaneOptions(dir.path(), {"-c", "rules.yaml"}), &error);
    ASSERT_NE(relay, nullptr) << error;
    const auto deadline = std::chrono::steady_clock::now() + kHangTimeout;
    while (relay->Running() && std::chrono::steady_clock::now() < deadline) {
      third_watch.PollFor(milliseconds(10));
    }
    const corvane_test::ChildExit exit = relay->Wait(kHangTimeout);
    // Announcements still on their way have time to arrive.
    third_watch.PollFor(milliseconds(500));
    first_watch.PollFor(milliseconds(0));

    EXPECT_TRUE(exit.ExitedWith(2)) << exit << "\n" << relay->Stderr();
    EXPECT_EQ(relay->Stdout(), "");
    EXPECT_TRUE(Contains(relay->Stderr(), kNoBridge)) << relay->Stderr();
    EXPECT_FALSE(Contains(relay->Stderr(), kBannerRunning)) << relay->Stderr();
    EXPECT_FALSE(HasSanitizerReport(relay->Stderr())) << relay->Stderr();
    EXPECT_EQ(third_watch.SeenCount(), 0u) << "the third rule was bridged";
    EXPECT_GE(first_watch.SeenCount(), 1u) << "the first rule's participant went unseen";
  }
}

}  // namespace
}  // namespace corvane_e2e
