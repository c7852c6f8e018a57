// The command line and the choice of configuration file, seen from outside.

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/app/corvane_harness.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace corvane_test {
namespace {

const char kUserPathFailed[] = "Failed to set configuration from user path";
const char kUserPathUsed[] = "Bridge configures are referenced by user path";

// Runs reaching the wait relay one topic between domains 40 and 41.
std::string ValidRules() {
  return DdsRuleFile(40, 41, "corvane_cli_probe");
}

bool DefaultConfigExists() {
  return ::access(kDefaultConfigPath, F_OK) == 0;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// --- Help -------------------------------------------------------------------

struct HelpCase {
  const char* name;
  std::vector<std::string> args;
};

void PrintTo(const HelpCase& c, std::ostream* os) {
  *os << c.name;
}

class HelpTest : public testing::TestWithParam<HelpCase> {};

TEST_P(HelpTest, PrintsUsageAndSucceedsWithoutLookingForConfiguration) {
  TempDir dir;  // empty: no candidate exists, which would otherwise end in 255
  const ChildResult r = RunChild(CorvaneOptions(dir.path(), GetParam().args), kHangTimeout);
  EXPECT_TRUE(r.exit.ExitedWith(0)) << r.exit;
  EXPECT_EQ(r.out, kUsage);
  EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cli, HelpTest,
    testing::Values(HelpCase{"Short", {"-h"}}, HelpCase{"Long", {"--help"}},
                    HelpCase{"AfterMissingUserPath", {"-c", "missing.yaml", "-h"}},
                    HelpCase{"AfterLongMissingUserPath", {"--config=missing.yaml", "--help"}},
                    HelpCase{"FollowedByWords", {"-h", "extra", "words"}},
                    HelpCase{"AfterWord", {"extra", "-h"}}),
    [](const testing::TestParamInfo<HelpCase>& info) { return info.param.name; });

// --- Parser failures ------------------------------------------------------

struct BadOptionCase {
  const char* name;
  std::vector<std::string> args;
  const char* message;  // the parser's whole output on standard error
};

void PrintTo(const BadOptionCase& c, std::ostream* os) {
  *os << c.name;
}

class BadOptionTest : public testing::TestWithParam<BadOptionCase> {};

TEST_P(BadOptionTest, PrintsMessageAndUsageAndFails) {
  TempDir dir;
  ASSERT_FALSE(dir.WriteFile("bridge.yaml", ValidRules()).empty());
  const ChildResult r = RunChild(CorvaneOptions(dir.path(), GetParam().args), kHangTimeout);
  EXPECT_TRUE(r.exit.ExitedWith(1)) << r.exit;
  EXPECT_EQ(r.out, kUsage);
  EXPECT_EQ(r.err, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cli, BadOptionTest,
    testing::Values(
        BadOptionCase{"UnknownLetter", {"-x"}, "corvane: invalid option -- x\n"},
        BadOptionCase{"UnknownLetterBeforeHelp", {"-x", "-h"}, "corvane: invalid option -- x\n"},
        BadOptionCase{"UnknownLongName", {"--verbose"}, "no such a option: verbose\n"},
        BadOptionCase{"AbbreviatedLongName", {"--hel"}, "no such a option: hel\n"},
        BadOptionCase{"UnknownLongWithValue", {"--conf=a.yaml"}, "no such a option: conf=a.yaml\n"},
        BadOptionCase{"ValueForHelp", {"--help=1"}, "no argument for help\n"},
        BadOptionCase{
            "ShortConfigWithoutValue", {"-c"}, "corvane: option requires an argument -- c\n"},
        BadOptionCase{"DashColon", {"-:"}, ""}),
    [](const testing::TestParamInfo<BadOptionCase>& info) { return info.param.name; });

// --- Choice of configuration file -----------------------------------------

enum class Outcome {
  kRuns,             // reaches the wait and stops cleanly on SIGTERM
  kUserPathMissing,  // status 1
  kNoCandidate,      // status 255
};

enum class FileKind { kRules, kNotRules };

struct ConfigCase {
  const char* name;
  std::vector<std::string> args;
  std::optional<std::string> env;         // CORVANE_CONFIG; unset when absent
  std::map<std::string, FileKind> files;  // created in the working directory
  Outcome outcome;
  bool user_path_used = false;  // the level-2 user-path message is logged
};

void PrintTo(const ConfigCase& c, std::ostream* os) {
  *os << c.name;
}

// In runs that must reach the wait, every existing file that must not be
// chosen is not a rule file, so choosing it would end the run early.
const ConfigCase kConfigCases[] = {
    {"MissingUserPathIgnoresOtherCandidates",
     {"-c", "missing.yaml"},
     "valid.yaml",
     {{"valid.yaml", FileKind::kRules}, {"bridge.yaml", FileKind::kRules}},
     Outcome::kUserPathMissing},
    {"MissingUserPath", {"-c", "missing.yaml"}, std::nullopt, {}, Outcome::kUserPathMissing},
    {"LastUserPathWinsWhenItExists",
     {"-c", "missing.yaml", "-c", "valid.yaml"},
     std::nullopt,
     {{"valid.yaml", FileKind::kRules}},
     Outcome::kRuns,
     true},
    {"LastUserPathWinsWhenMissing",
     {"-c", "valid.yaml", "-c", "missing.yaml"},
     std::nullopt,
     {{"valid.yaml", FileKind::kRules}},
     Outcome::kUserPathMissing},
    {"LongAndShortUserPathsMixed",
     {"--config=missing.yaml", "--config", "valid.yaml"},
     std::nullopt,
     {{"valid.yaml", FileKind::kRules}},
     Outcome::kRuns,
     true},
    {"UserPathWinsOverEnvironment",
     {"-c", "valid.yaml"},
     "other.yaml",
     {{"valid.yaml", FileKind::kRules},
      {"other.yaml", FileKind::kNotRules},
      {"bridge.yaml", FileKind::kNotRules}},
     Outcome::kRuns,
     true},
    {"WordsAroundUserPathIgnored",
     {"extra", "-c", "valid.yaml", "more"},
     std::nullopt,
     {{"valid.yaml", FileKind::kRules}},
     Outcome::kRuns,
     true},
    {"TrailingConfigFallsBack",
     {"--config"},
     "valid.yaml",
     {{"valid.yaml", FileKind::kRules}},
     Outcome::kRuns},
    {"TrailingConfigForgetsEarlierUserPath",
     {"-c", "missing.yaml", "--config"},
     "valid.yaml",
     {{"valid.yaml", FileKind::kRules}},
     Outcome::kRuns},
    {"TrailingConfigWithoutCandidate", {"--config"}, std::nullopt, {}, Outcome::kNoCandidate},
    {"EnvironmentWinsOverLocalFile",
     {},
     "valid.yaml",
     {{"valid.yaml", FileKind::kRules}, {"bridge.yaml", FileKind::kNotRules}},
     Outcome::kRuns},
    {"EnvironmentWithoutLocalFile",
     {},
     "valid.yaml",
     {{"valid.yaml", FileKind::kRules}},
     Outcome::kRuns},
    {"MissingEnvironmentFileSkipsLocalFile",
     {},
     "missing.yaml",
     {{"bridge.yaml", FileKind::kRules}},
     Outcome::kNoCandidate},
    {"EmptyEnvironmentSkipsLocalFile",
     {},
     "",
     {{"bridge.yaml", FileKind::kRules}},
     Outcome::kNoCandidate},
    {"LocalFileWithoutEnvironment",
     {},
     std::nullopt,
     {{"bridge.yaml", FileKind::kRules}},
     Outcome::kRuns},
    {"NoCandidate", {}, std::nullopt, {}, Outcome::kNoCandidate},
    {"NoCandidateWithMissingEnvironmentFile", {}, "missing.yaml", {}, Outcome::kNoCandidate},
};

class ConfigChoiceTest : public testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigChoiceTest, ChoosesTheRightCandidate) {
  const ConfigCase& c = GetParam();
  if (c.outcome == Outcome::kNoCandidate && DefaultConfigExists()) {
    GTEST_SKIP() << kDefaultConfigPath << " exists on this machine, so every run has a candidate";
  }
  TempDir dir;
  for (const auto& [name, kind] : c.files) {
    ASSERT_FALSE(
        dir.WriteFile(name, kind == FileKind::kRules ? ValidRules() : kNotARuleFile).empty());
  }
  ChildOptions options = CorvaneOptions(dir.path(), c.args);
  if (c.env) options.set_env["CORVANE_CONFIG"] = *c.env;

  switch (c.outcome) {
    case Outcome::kRuns: {
      const StoppedRun run = RunAndStop(options, SIGTERM);
      EXPECT_TRUE(run.reached_wait) << run.result.err;
      EXPECT_TRUE(run.result.exit.ExitedWith(0)) << run.result.exit;
      EXPECT_EQ(run.result.out, "");
      EXPECT_EQ(Contains(run.result.err, kUserPathUsed), c.user_path_used) << run.result.err;
      break;
    }
    case Outcome::kUserPathMissing: {
      const ChildResult r = RunChild(options, kHangTimeout);
      EXPECT_TRUE(r.exit.ExitedWith(1)) << r.exit;
      EXPECT_EQ(r.out, kUsage);
      const std::vector<std::string> lines = Lines(r.err);
      ASSERT_EQ(lines.size(), 1u) << r.err;
      EXPECT_TRUE(EndsWith(lines[0], kUserPathFailed)) << r.err;
      break;
    }
    case Outcome::kNoCandidate: {
      const ChildResult r = RunChild(options, kHangTimeout);
      EXPECT_TRUE(r.exit.ExitedWith(255)) << r.exit;
      EXPECT_EQ(r.out, kUsage);
      EXPECT_EQ(r.err, "");
      break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cli, ConfigChoiceTest, testing::ValuesIn(kConfigCases),
                         [](const testing::TestParamInfo<ConfigCase>& info) {
                           return info.param.name;
                         });

// --- Log level ----------------------------------------------------------------

struct LevelCase {
  const char* name;
  const char* level;  // TAVRINDDS_LOG_LEVEL
  bool info_shown;    // level-2 messages are written
};

void PrintTo(const LevelCase& c, std::ostream* os) {
  *os << c.name;
}

const LevelCase kLevelCases[] = {
    {"Trace", "0", true},  {"Info", "2", true}, {"Warning", "3", false},
    {"Error", "4", false}, {"Off", "6", false}, {"Unreadable", "loud", true},
};

class LogLevelTest : public testing::TestWithParam<LevelCase> {};

TEST_P(LogLevelTest, BannerOnlyAtInfoOrBelow) {
  TempDir dir;
  ASSERT_FALSE(dir.WriteFile("valid.yaml", ValidRules()).empty());
  ChildOptions options = CorvaneOptions(dir.path(), {"-c", "valid.yaml"});
  options.set_env["TAVRINDDS_LOG_LEVEL"] = GetParam().level;

  // Without a banner, readiness is the installed stop handler; the banner
  // comes after it whenever the signal arrives, so nothing is missed.
  const StoppedRun run = RunAndStop(options, SIGTERM, /*expect_banner=*/false);
  EXPECT_TRUE(run.reached_wait);
  EXPECT_TRUE(run.result.exit.ExitedWith(0)) << run.result.exit;
  const bool shown = GetParam().info_shown;
  EXPECT_EQ(Contains(run.result.err, kBannerRunning), shown) << run.result.err;
  EXPECT_EQ(Contains(run.result.err, kBannerPress), shown) << run.result.err;
  EXPECT_EQ(Contains(run.result.err, kUserPathUsed), shown) << run.result.err;
  if (!shown) {
    EXPECT_EQ(run.result.err, "");
  }
}

INSTANTIATE_TEST_SUITE_P(Cli, LogLevelTest, testing::ValuesIn(kLevelCases),
                         [](const testing::TestParamInfo<LevelCase>& info) {
                           return info.param.name;
                         });

TEST(LogLevelFailureTest, UserPathFailureIsLoggedAtErrorLevel) {
  TempDir dir;
  for (const char* level : {"4", "5"}) {
    SCOPED_TRACE(std::string("TAVRINDDS_LOG_LEVEL=") + level);
    ChildOptions options = CorvaneOptions(dir.path(), {"-c", "missing.yaml"});
    options.set_env["TAVRINDDS_LOG_LEVEL"] = level;
    const ChildResult r = RunChild(options, kHangTimeout);
    EXPECT_TRUE(r.exit.ExitedWith(1)) << r.exit;
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(Contains(r.err, kUserPathFailed), std::string(level) == "4") << r.err;
  }
}

}  // namespace
}  // namespace corvane_test
