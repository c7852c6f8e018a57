// Fuzzes the option parser with argument vectors built from the input and
// checks, after every call, what a caller relies on: the vector is only
// permuted (same pointers, element 0 and the terminating null in place, the
// texts untouched), x_optind stays within the vector (one past its end is
// allowed: a value taken from beyond the last element), and x_optarg is null
// or points into one of the texts.
//
// Input layout: one flag byte, then NUL-separated texts: the option string,
// then argv[0], argv[1], ... Flag bits: 0 x_opterr, 1 short options only
// (x_getopt), 2-3 which long-option table.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/xgetopt.h"
#include "fuzz/fuzz_check.h"

namespace {

constexpr size_t kMaxArgs = 64;

int32_t flag_target = 0;

const x_option kProductOptions[] = {
    {"help", 0, nullptr, 'h'},
    {"config", 1, nullptr, 'c'},
    {nullptr, 0, nullptr, 0},
};
// Flags, has_arg values beyond 0 and 1, and names that prefix each other.
const x_option kOddOptions[] = {
    {"verbose", 0, &flag_target, 'v'}, {"level", 2, nullptr, 'l'}, {"out", -1, &flag_target, 'o'},
    {"output", 1, nullptr, 'O'},       {"", 0, nullptr, 'e'},      {nullptr, 0, nullptr, 0},
};
// Two entries with the same name are ambiguous for every spelling of it.
const x_option kAmbiguousOptions[] = {
    {"config", 1, nullptr, 'c'},
    {"config", 0, nullptr, 'C'},
    {"help", 0, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};
const x_option kEmptyOptions[] = {{nullptr, 0, nullptr, 0}};
const x_option* const kTables[] = {kProductOptions, kOddOptions, kAmbiguousOptions, kEmptyOptions};

// One text of the input in a heap block of exactly its size, so that a read
// past its terminating NUL is an address-sanitizer error.
std::unique_ptr<char[]> CopyText(const std::string& text) {
  auto copy = std::make_unique<char[]>(text.size() + 1);
  std::memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

std::vector<std::string> SplitAtNul(const uint8_t* data, size_t size) {
  std::vector<std::string> texts(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      if (texts.size() > kMaxArgs) break;
      texts.emplace_back();
    } else {
      texts.back().push_back(static_cast<char>(data[i]));
    }
  }
  return texts;
}

// The option string and argument vector of one input, with the originals
// to compare against after each call.
class ParseInput {
 public:
  explicit ParseInput(std::vector<std::string> texts)
      : optstring_text_(texts.front()), texts_(texts.begin() + 1, texts.end()) {
    if (texts_.empty()) texts_.emplace_back("p");
    optstring_ = CopyText(optstring_text_);
    for (const auto& text : texts_) storage_.push_back(CopyText(text));
    argc_ = static_cast<int32_t>(texts_.size());
    argv_ = std::make_unique<char*[]>(argc_ + 1);
    for (int32_t k = 0; k < argc_; ++k) argv_[k] = storage_[k].get();
    argv_[argc_] = nullptr;
    original_order_ = SortedPointers();
  }

  int32_t argc() const { return argc_; }
  char** argv() const { return argv_.get(); }
  const char* optstring() const { return optstring_.get(); }

  // What the parser must leave intact whatever it returns.
  void CheckUnharmed() const {
    FUZZ_CHECK(x_optind >= 1 && x_optind <= argc_ + 1, "x_optind out of range");
    FUZZ_CHECK(argv_[argc_] == nullptr, "terminating null moved");
    FUZZ_CHECK(argv_[0] == storage_[0].get(), "program name moved");
    FUZZ_CHECK(SortedPointers() == original_order_,
               "argv is not a permutation of the original vector");
    for (int32_t k = 0; k < argc_; ++k) {
      FUZZ_CHECK(std::memcmp(storage_[k].get(), texts_[k].c_str(), texts_[k].size() + 1) == 0,
                 "argument text changed");
    }
    FUZZ_CHECK(std::strcmp(optstring_.get(), optstring_text_.c_str()) == 0,
               "option string changed");
    FUZZ_CHECK(x_optarg == nullptr || PointsIntoTexts(x_optarg),
               "x_optarg points outside the arguments");
  }

 private:
  std::vector<char*> SortedPointers() const {
    std::vector<char*> pointers(argv_.get(), argv_.get() + argc_);
    std::sort(pointers.begin(), pointers.end());
    return pointers;
  }

  bool PointsIntoTexts(const char* p) const {
    for (size_t k = 0; k < storage_.size(); ++k) {
      const char* const begin = storage_[k].get();
      if (p >= begin && p <= begin + texts_[k].size()) return true;
    }
    return false;
  }

  const std::string optstring_text_;
  std::vector<std::string> texts_;
  std::unique_ptr<char[]> optstring_;
  std::vector<std::unique_ptr<char[]>> storage_;
  int32_t argc_ = 0;
  std::unique_ptr<char*[]> argv_;
  std::vector<char*> original_order_;
};

// Starts a fresh parse: a call past the end of a one-element vector also
// drops any position the parser kept inside a cluster of the last input.
void ResetParser() {
  char program[] = "p";
  char* argv[] = {program, nullptr};
  x_optind = 1;
  x_getopt(1, argv, "");
  x_optind = 1;
  x_optarg = nullptr;
  x_optopt = 0;
}

int32_t TableSize(const x_option* table) {
  int32_t entries = 0;
  while (table[entries].name != nullptr) ++entries;
  return entries;
}

// The result is one the interface lists: end, error, non-option, a long
// option's value, or a letter of the option string.
void CheckResult(int32_t result, const char* optstring, const x_option* table, int32_t longindex) {
  bool allowed = result == -1 || result == '?' || result == ':' || result == 1 || result == 0 ||
                 (result > 0 && result < 256 && std::strchr(optstring, result) != nullptr);
  for (int32_t k = 0; table != nullptr && table[k].name != nullptr; ++k) {
    allowed = allowed || result == table[k].val;
  }
  FUZZ_CHECK(allowed, "unexpected result");
  if (table != nullptr && longindex != -1) {
    FUZZ_CHECK(longindex >= 0 && longindex < TableSize(table), "longindex outside the table");
  }
  // Without a long table a letter that takes a value always comes with one.
  if (table == nullptr && result > 0 && result < 256 && result != '?' && result != ':') {
    const char* const entry = std::strchr(optstring, result);
    if (entry != nullptr && entry[1] == ':') {
      FUZZ_CHECK(x_optarg != nullptr, "short option that takes a value returned without one");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  const ParseInput input(SplitAtNul(data + 1, size - 1));
  const bool short_only = (flags & 2) != 0;
  const x_option* const table = short_only ? nullptr : kTables[(flags >> 2) & 3];
  ResetParser();
  x_opterr = flags & 1;

  // An unknown letter inside a cluster, or a bad long option, is reported
  // again on every call: bound the calls rather than expect -1.
  const int32_t max_calls = 3 * input.argc() + 8;
  for (int32_t call = 0; call < max_calls; ++call) {
    int32_t longindex = -1;
    const int32_t result = short_only ? x_getopt(input.argc(), input.argv(), input.optstring())
                                      : x_getopt_long(input.argc(), input.argv(), input.optstring(),
                                                      table, &longindex);
    input.CheckUnharmed();
    CheckResult(result, input.optstring(), table, longindex);
    if (result == -1) break;
  }
  ResetParser();
  x_opterr = 1;
  return 0;
}
