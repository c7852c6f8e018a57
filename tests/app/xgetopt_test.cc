#include "app/xgetopt.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// Expected x_optarg: null, left as it was before the first call, or a text.
const char kUntouched[] = "<untouched>";
constexpr int32_t kOptoptBefore = -7;
constexpr int32_t kNoIndex = -9;

struct Call {
  int32_t result;
  int32_t optind;
  const char* optarg;
  int32_t optopt = kOptoptBefore;
  int32_t longindex = kNoIndex;
};

int32_t verbose_flag = 0;

enum class Table { kNone, kMain, kDuplicate, kOdd };

const x_option kMainTable[] = {{"help", 0, nullptr, 'h'}, {"config", 1, nullptr, 'c'}, {}};
const x_option kDuplicateTable[] = {{"help", 0, nullptr, 'h'}, {"help", 0, nullptr, 'H'}, {}};
const x_option kOddTable[] = {{"verbose", 0, &verbose_flag, 'v'}, {"level", 2, nullptr, 'l'}, {}};

const x_option* TableOf(Table table) {
  switch (table) {
    case Table::kMain:
      return kMainTable;
    case Table::kDuplicate:
      return kDuplicateTable;
    case Table::kOdd:
      return kOddTable;
    case Table::kNone:
      break;
  }
  return nullptr;
}

struct Case {
  const char* name;
  const char* optstring;
  Table table;
  std::vector<std::string> args;             // after the program name "p"
  std::vector<Call> calls;                   // in order, each checked after it returns
  std::vector<std::string> final_argv = {};  // after the last call; empty: unchanged
  std::string messages = {};                 // everything written to standard error
  int32_t opterr = 1;
};

const Case kCases[] = {
    // Values of -c / --config.
    {"ShortValueInNextElement",
     "hc:",
     Table::kMain,
     {"-c", "file"},
     {{'c', 3, "file"}, {-1, 3, nullptr}}},
    {"ShortValueAttached", "hc:", Table::kMain, {"-cfile"}, {{'c', 2, "file"}, {-1, 2, nullptr}}},
    {"LongValueAfterEquals",
     "hc:",
     Table::kMain,
     {"--config=file"},
     {{'c', 2, "file", kOptoptBefore, 1}, {-1, 2, nullptr}}},
    {"LongValueInNextElement",
     "hc:",
     Table::kMain,
     {"--config", "file"},
     {{'c', 3, "file", kOptoptBefore, 1}, {-1, 3, nullptr}}},
    {"LongEmptyValueAfterEquals",
     "hc:",
     Table::kMain,
     {"--config="},
     {{'c', 2, "", kOptoptBefore, 1}}},
    {"LongEmptyValueInNextElement",
     "hc:",
     Table::kMain,
     {"--config", ""},
     {{'c', 3, "", kOptoptBefore, 1}}},
    {"LongValueMissingTakesTerminatingNull",
     "hc:",
     Table::kMain,
     {"--config"},
     {{'c', 3, nullptr, kOptoptBefore, 1}, {-1, 3, nullptr}}},
    {"ShortValueLooksLikeOption", "hc:", Table::kMain, {"-c", "-h"}, {{'c', 3, "-h"}}},
    {"LongHelp", "hc:", Table::kMain, {"--help"}, {{'h', 2, nullptr, kOptoptBefore, 0}}},

    // Missing short value: the result depends on the option string's start.
    {"ShortValueMissing",
     "hc:",
     Table::kMain,
     {"-c"},
     {{'?', 3, kUntouched, 'c'}, {-1, 3, nullptr, 'c'}},
     {},
     "p: option requires an argument -- c\n"},
    {"ShortValueMissingColonMode",
     ":hc:",
     Table::kMain,
     {"-c"},
     {{':', 3, kUntouched, 'c'}},
     {},
     "p: option requires an argument -- c\n"},
    {"ShortValueMissingPlusColonMode",
     "+:hc:",
     Table::kMain,
     {"-c"},
     {{':', 3, kUntouched, 'c'}},
     {},
     "p: option requires an argument -- c\n"},
    {"ShortValueMissingMinusColonMode",
     "-:hc:",
     Table::kMain,
     {"-c"},
     {{':', 3, kUntouched, 'c'}},
     {},
     "p: option requires an argument -- c\n"},
    {"ShortValueMissingPlusMode",
     "+hc:",
     Table::kMain,
     {"-c"},
     {{'?', 3, kUntouched, 'c'}},
     {},
     "p: option requires an argument -- c\n"},

    // Errors.
    {"AbbreviatedLongName",
     "hc:",
     Table::kMain,
     {"--conf"},
     {{'?', 1, kUntouched}},
     {},
     "no such a option: conf\n"},
    {"LongNameWithExtraLetters",
     "hc:",
     Table::kMain,
     {"--configx"},
     {{'?', 1, kUntouched}},
     {},
     "no such a option: configx\n"},
    {"UnknownLongPrintedWithValue",
     "hc:",
     Table::kMain,
     {"--conf=x"},
     {{'?', 1, kUntouched}},
     {},
     "no such a option: conf=x\n"},
    {"ValueForLongOptionWithoutOne",
     "hc:",
     Table::kMain,
     {"--help=yes"},
     {{'?', 1, nullptr}},
     {},
     "no argument for help\n"},
    {"AmbiguousLongName",
     "hc:",
     Table::kDuplicate,
     {"--help"},
     {{'?', 1, kUntouched}},
     {},
     "ambiguous option: help\n"},
    {"InvalidShort",
     "hc:",
     Table::kMain,
     {"-x"},
     {{'?', 1, kUntouched, 'x'}},
     {},
     "p: invalid option -- x\n"},
    {"LongFormWithoutTable",
     "hc:",
     Table::kNone,
     {"--config"},
     {{'?', 1, kUntouched, '-'}},
     {},
     "p: invalid option -- -\n"},
    {"ColonIsFoundAsLetter", "hc:", Table::kMain, {"-:"}, {{':', 2, nullptr}}},
    {"PlusIsFoundAsLetter", "+hc:", Table::kMain, {"-+"}, {{'+', 2, nullptr}}},
    {"SilencedInvalidShort", "hc:", Table::kMain, {"-x"}, {{'?', 1, kUntouched, 'x'}}, {}, "", 0},
    {"SilencedMissingValue", "hc:", Table::kMain, {"-c"}, {{'?', 3, kUntouched, 'c'}}, {}, "", 0},
    {"SilencedUnknownLong", "hc:", Table::kMain, {"--nope"}, {{'?', 1, kUntouched}}, {}, "", 0},

    // Unusual has_arg values.
    {"OtherHasArgLeavesValue",
     "hc:",
     Table::kOdd,
     {"--level", "3"},
     {{'l', 2, kUntouched, kOptoptBefore, 1}}},
    {"OtherHasArgIgnoresEquals",
     "hc:",
     Table::kOdd,
     {"--level=3"},
     {{'l', 2, kUntouched, kOptoptBefore, 1}}},
    {"FlagEntryReturnsZero",
     "hc:",
     Table::kOdd,
     {"--verbose"},
     {{0, 2, nullptr, kOptoptBefore, 0}}},

    // Passing over and permuting.
    {"EmptyElementPassedOver",
     "hc:",
     Table::kMain,
     {"", "-h"},
     {{'h', 3, nullptr}, {-1, 3, nullptr}}},
    {"LoneDashPassedOver", "hc:", Table::kMain, {"-", "-h"}, {{'h', 3, nullptr}, {-1, 3, nullptr}}},
    {"EmptyElementAlone", "hc:", Table::kMain, {""}, {{-1, 2, nullptr}}},
    {"LoneDashAlone", "hc:", Table::kMain, {"-"}, {{-1, 2, nullptr}}},
    {"NonOptionsMovedBehindOption",
     "hc:",
     Table::kMain,
     {"a", "b", "-h"},
     {{'h', 2, nullptr}, {-1, 2, nullptr}},
     {"p", "-h", "a", "b"}},
    {"DoubleDashStops",
     "hc:",
     Table::kMain,
     {"a", "--", "-h"},
     {{-1, 2, kUntouched}},
     {"p", "--", "a", "-h"}},
    {"DoubleDashFirst", "hc:", Table::kMain, {"--", "-h"}, {{-1, 2, kUntouched}}},
    {"GroupAfterDoubleDashGoesBehindMoved",
     "hc:",
     Table::kMain,
     {"a", "b", "--", "c", "d"},
     {{-1, 2, kUntouched}},
     {"p", "--", "a", "b", "c", "d"}},
    {"MovedNonOptionBecomesLongValue",
     "hc:",
     Table::kMain,
     {"foo", "--config"},
     {{'c', 3, "foo", kOptoptBefore, 1}, {-1, 3, nullptr}},
     {"p", "--config", "foo"}},
    {"MovedNonOptionIsNoShortValue",
     "hc:",
     Table::kMain,
     {"foo", "-c"},
     {{'?', 3, kUntouched, 'c'}},
     {"p", "-c", "foo"},
     "p: option requires an argument -- c\n"},
    {"EmptyElementMovedAsNonOption",
     "hc:",
     Table::kMain,
     {"a", "", "-h"},
     {{'h', 2, nullptr}, {-1, 2, nullptr}},
     {"p", "-h", "a", ""}},
    {"OnlyNonOptions", "hc:", Table::kMain, {"a", "b"}, {{-1, 1, kUntouched}}},
    {"EndAtNonOptionKeepsValue",
     "hc:",
     Table::kMain,
     {"a", "b", "c", "-h", "d", "-c", "v"},
     {{'h', 2, nullptr}, {'c', 4, "v"}, {-1, 4, "v"}},
     {"p", "-h", "-c", "v", "a", "b", "c", "d"}},
    {"NonOptionsMovedBySeveralCalls",
     "hc:",
     Table::kMain,
     {"a", "-h", "b", "--", "c", "-x"},
     {{'h', 2, nullptr}, {-1, 3, nullptr}},
     {"p", "-h", "--", "b", "c", "-x", "a"}},
    {"PlusModeStopsAtNonOption", "+hc:", Table::kMain, {"a", "-h"}, {{-1, 1, kUntouched}}},
    {"MinusModeReturnsNonOptions",
     "-hc:",
     Table::kMain,
     {"a", "-h"},
     {{1, 2, "a"}, {'h', 3, nullptr}, {-1, 3, nullptr}}},
    {"MinusModeDoubleDash", "-hc:", Table::kMain, {"--", "a"}, {{-1, 2, kUntouched}}},

    // Clusters of letters in one element.
    {"ClusterOfFlags",
     "hc:",
     Table::kMain,
     {"-hh"},
     {{'h', 1, nullptr}, {'h', 2, nullptr}, {-1, 2, nullptr}}},
    {"ClusterEndingInValueLetter",
     "hc:",
     Table::kMain,
     {"-hc", "file"},
     {{'h', 1, nullptr}, {'c', 3, "file"}, {-1, 3, nullptr}}},
    {"ClusterWithAttachedValue",
     "hc:",
     Table::kMain,
     {"-hcfile"},
     {{'h', 1, nullptr}, {'c', 2, "file"}}},
    {"ClusterMissingValue",
     "hc:",
     Table::kMain,
     {"-hc"},
     {{'h', 1, nullptr}, {'?', 3, nullptr, 'c'}},
     {},
     "p: option requires an argument -- c\n"},
    {"ClusterUnknownLetterRepeats",
     "hc:",
     Table::kMain,
     {"-hx"},
     {{'h', 1, nullptr}, {'?', 1, nullptr, 'x'}, {'?', 1, nullptr, 'x'}},
     {},
     "p: invalid option -- x\np: invalid option -- x\n"},
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

// Collects what is written to standard error while it lives.
class StderrCapture {
 public:
  StderrCapture() : file_(std::tmpfile()), saved_fd_(::dup(STDERR_FILENO)) {
    std::fflush(stderr);
    ::dup2(::fileno(file_), STDERR_FILENO);
  }
  ~StderrCapture() { Restore(); }

  std::string Take() {
    Restore();
    std::string text;
    std::rewind(file_);
    for (int ch; (ch = std::fgetc(file_)) != EOF;) text.push_back(static_cast<char>(ch));
    return text;
  }

 private:
  void Restore() {
    if (saved_fd_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_fd_, STDERR_FILENO);
    ::close(saved_fd_);
    saved_fd_ = -1;
  }

  std::FILE* file_;
  int saved_fd_;
};

// The vector under test and the texts it points to.
class ArgVector {
 public:
  explicit ArgVector(const std::vector<std::string>& args) : texts_{"p"} {
    texts_.insert(texts_.end(), args.begin(), args.end());
    for (std::string& text : texts_) pointers_.push_back(text.data());
    pointers_.push_back(nullptr);
  }
  int32_t argc() const { return static_cast<int32_t>(texts_.size()); }
  char** argv() { return pointers_.data(); }
  std::vector<std::string> Current() const {
    return std::vector<std::string>(pointers_.begin(), pointers_.end() - 1);
  }
  // True when `p` points into one of the texts: the parser hands out its
  // values in place and never copies them.
  bool PointsIntoTexts(const char* p) const {
    for (const std::string& text : texts_) {
      if (p >= text.data() && p <= text.data() + text.size()) return true;
    }
    return false;
  }

 private:
  std::vector<std::string> texts_;
  std::vector<char*> pointers_;
};

char untouched_text[] = "<untouched>";

// Brings the parser to its start-up state, forgetting any cluster position.
void ResetParser(int32_t opterr) {
  char program[] = "p";
  char* none[] = {program, nullptr};
  x_optind = 1;
  x_getopt(1, none, "");
  x_optind = 1;
  x_optarg = untouched_text;
  x_optopt = kOptoptBefore;
  x_opterr = opterr;
  verbose_flag = 0;
}

class XGetoptTest : public testing::TestWithParam<Case> {};

TEST_P(XGetoptTest, CallsPermutationAndMessages) {
  const Case& c = GetParam();
  ArgVector args(c.args);
  const std::vector<std::string> initial = args.Current();
  ResetParser(c.opterr);

  StderrCapture capture;
  for (size_t n = 0; n < c.calls.size(); ++n) {
    SCOPED_TRACE("call " + std::to_string(n + 1));
    const Call& want = c.calls[n];
    int32_t longindex = kNoIndex;
    const int32_t result =
        c.table == Table::kNone
            ? x_getopt(args.argc(), args.argv(), c.optstring)
            : x_getopt_long(args.argc(), args.argv(), c.optstring, TableOf(c.table), &longindex);
    EXPECT_EQ(result, want.result);
    EXPECT_EQ(x_optind, want.optind);
    EXPECT_EQ(x_optopt, want.optopt);
    EXPECT_EQ(longindex, want.longindex);
    if (want.optarg == nullptr) {
      EXPECT_EQ(x_optarg, nullptr);
    } else if (want.optarg == kUntouched) {
      EXPECT_EQ(x_optarg, untouched_text);
    } else {
      ASSERT_NE(x_optarg, nullptr);
      EXPECT_STREQ(x_optarg, want.optarg);
      EXPECT_TRUE(args.PointsIntoTexts(x_optarg));
    }
  }
  const std::string messages = capture.Take();
  EXPECT_EQ(messages, c.messages);
  EXPECT_EQ(args.Current(), c.final_argv.empty() ? initial : c.final_argv);
}

INSTANTIATE_TEST_SUITE_P(Table, XGetoptTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(XGetoptFlagTest, FlagEntryStoresValue) {
  ResetParser(1);
  ArgVector args({"--verbose"});
  EXPECT_EQ(x_getopt_long(args.argc(), args.argv(), "hc:", kOddTable, nullptr), 0);
  EXPECT_EQ(verbose_flag, 'v');
}

TEST(XGetoptClusterTest, PositionForgottenWhenCallerMovesOn) {
  ResetParser(1);
  ArgVector args({"-hh", "-c", "v"});
  EXPECT_EQ(x_getopt_long(args.argc(), args.argv(), "hc:", kMainTable, nullptr), 'h');
  x_optind = 2;  // the caller skips the rest of the cluster
  EXPECT_EQ(x_getopt_long(args.argc(), args.argv(), "hc:", kMainTable, nullptr), 'c');
  EXPECT_STREQ(x_optarg, "v");
  x_optind = 1;  // a fresh scan starts at the first letter again
  EXPECT_EQ(x_getopt_long(args.argc(), args.argv(), "hc:", kMainTable, nullptr), 'h');
  EXPECT_EQ(x_optind, 1);
}

}  // namespace
