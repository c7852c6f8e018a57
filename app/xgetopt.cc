// The command-line option parser.

#include "app/xgetopt.h"

#include <cstdio>
#include <cstring>

int32_t x_optind = 1;
char* x_optarg = nullptr;
int32_t x_optopt = 0;
int32_t x_opterr = 1;

namespace {

enum class Ordering { kPermute, kStopAtNonOption, kReturnNonOption };

// How the option string's first characters ask the parser to behave.
struct Mode {
  Ordering ordering;
  int32_t missing_value_result;  // ':' or '?'
};

Mode ReadMode(const char* optstring) {
  const char first = optstring[0];
  Mode mode{Ordering::kPermute, '?'};
  if (first == '+') mode.ordering = Ordering::kStopAtNonOption;
  if (first == '-') mode.ordering = Ordering::kReturnNonOption;
  const bool has_prefix = first == '+' || first == '-';
  if (first == ':' || (has_prefix && optstring[1] == ':')) mode.missing_value_result = ':';
  return mode;
}

// A cluster of letters in one element ("-hv") is walked one letter per call.
// The position of the next letter survives the call only as long as the
// caller leaves x_optind on that same element of that same vector; any other
// call forgets it.
struct ClusterPosition {
  char** argv = nullptr;
  int32_t index = 0;
  const char* element = nullptr;
  char* next_letter = nullptr;
};

ClusterPosition cluster;

char* TakeClusterPosition(int32_t argc, char** argv) {
  const ClusterPosition saved = cluster;
  cluster = ClusterPosition{};
  if (saved.next_letter == nullptr || saved.argv != argv || saved.index != x_optind ||
      x_optind >= argc || argv[x_optind] != saved.element) {
    return nullptr;
  }
  return saved.next_letter;
}

void RememberClusterPosition(char** argv, int32_t index, char* next_letter) {
  cluster = ClusterPosition{argv, index, argv[index], next_letter};
}

// Moves argv[from] to the last place, shifting the elements after it down.
void MoveToEnd(int32_t argc, char** argv, int32_t from) {
  char* const taken = argv[from];
  for (int32_t j = from; j + 1 < argc; ++j) argv[j] = argv[j + 1];
  argv[argc - 1] = taken;
}

bool HasDashElementAfter(int32_t argc, char* const* argv, int32_t i) {
  for (int32_t j = i + 1; j < argc; ++j) {
    if (argv[j][0] == '-') return true;
  }
  return false;
}

// No more options: the elements from x_optind up to the ones moved in this
// call go behind them, so x_optind ends on the first non-option.
int32_t Finish(int32_t argc, char** argv, int32_t moved) {
  const int32_t n = argc - x_optind - moved;
  for (int32_t k = 0; k < n; ++k) MoveToEnd(argc, argv, x_optind);
  return -1;
}

int32_t FinishWithoutValue(int32_t argc, char** argv, int32_t moved) {
  x_optarg = nullptr;
  return Finish(argc, argv, moved);
}

// Handles the letter at `letter` inside argv[i].
int32_t ShortOption(int32_t argc, char** argv, const char* optstring, const Mode& mode, int32_t i,
                    int32_t moved, char* letter) {
  const char c = *letter;
  const char* const entry = std::strchr(optstring, c);
  if (entry == nullptr) {
    x_optopt = static_cast<unsigned char>(c);
    if (x_opterr) std::fprintf(stderr, "%s: invalid option -- %c\n", argv[0], c);
    // A continuing caller sees the same error again rather than a skipped letter.
    if (letter != argv[i] + 1) RememberClusterPosition(argv, i, letter);
    return '?';
  }
  if (entry[1] != ':') {
    x_optarg = nullptr;
    if (letter[1] == '\0') {
      x_optind = i + 1;
    } else {
      RememberClusterPosition(argv, i, letter + 1);
    }
    return static_cast<unsigned char>(c);
  }
  if (letter[1] != '\0') {
    x_optarg = letter + 1;
    x_optind = i + 1;
    return static_cast<unsigned char>(c);
  }
  if (i + 1 < argc - moved) {
    x_optarg = argv[i + 1];
    x_optind = i + 2;
    return static_cast<unsigned char>(c);
  }
  x_optopt = static_cast<unsigned char>(c);
  if (x_opterr) std::fprintf(stderr, "%s: option requires an argument -- %c\n", argv[0], c);
  x_optind = i + 2;
  return mode.missing_value_result;
}

// Handles argv[i], which begins with "--". Names must be given in full.
int32_t LongOption(char** argv, const x_option* longopts, int32_t* longindex, int32_t i) {
  char* const text = argv[i] + 2;
  char* const equals = std::strchr(text, '=');
  const size_t key_length =
      equals != nullptr ? static_cast<size_t>(equals - text) : std::strlen(text);

  int32_t found = -1;
  for (int32_t index = 0; longopts[index].name != nullptr; ++index) {
    const size_t name_length = std::strlen(longopts[index].name);
    const size_t compared = name_length > key_length ? name_length : key_length;
    if (std::strncmp(text, longopts[index].name, compared) != 0) continue;
    if (found >= 0) {
      if (x_opterr) std::fprintf(stderr, "ambiguous option: %s\n", text);
      return '?';
    }
    found = index;
  }
  if (found < 0) {
    if (x_opterr) std::fprintf(stderr, "no such a option: %s\n", text);
    return '?';
  }

  const x_option& option = longopts[found];
  if (option.has_arg == 0) {
    x_optarg = nullptr;
    if (equals != nullptr) {
      if (x_opterr) std::fprintf(stderr, "no argument for %s\n", option.name);
      return '?';
    }
    x_optind = i + 1;
  } else if (option.has_arg == 1 && equals != nullptr) {
    x_optarg = equals + 1;
    x_optind = i + 1;
  } else if (option.has_arg == 1) {
    // Taken without a test, as the short form does not: this may be the
    // vector's terminating null or a non-option moved here in this call.
    x_optarg = argv[i + 1];
    x_optind = i + 2;
  } else {
    x_optind = i + 1;
  }
  if (longindex != nullptr) *longindex = found;
  if (option.flag != nullptr) {
    *option.flag = option.val;
    return 0;
  }
  return option.val;
}

int32_t GetOpt(int32_t argc, char** argv, const char* optstring, const x_option* longopts,
               int32_t* longindex) {
  char* const resume = TakeClusterPosition(argc, argv);
  if (x_optind >= argc) {
    x_optarg = nullptr;
    return -1;
  }
  if (optstring == nullptr) optstring = "";
  const Mode mode = ReadMode(optstring);
  if (resume != nullptr) return ShortOption(argc, argv, optstring, mode, x_optind, 0, resume);

  int32_t moved = 0;
  for (;;) {
    const int32_t i = x_optind;
    char* s = argv[i];

    if (s[0] == '\0') {
      x_optind = i + 1;
      if (x_optind < argc - moved) continue;
      return FinishWithoutValue(argc, argv, moved);
    }

    if (s[0] != '-') {
      if (mode.ordering == Ordering::kStopAtNonOption) return Finish(argc, argv, moved);
      if (mode.ordering == Ordering::kReturnNonOption) {
        x_optarg = s;
        x_optind = i + 1;
        return 1;
      }
      while (s[0] != '-') {
        if (!HasDashElementAfter(argc, argv, i)) return Finish(argc, argv, moved);
        MoveToEnd(argc, argv, i);
        ++moved;
        s = argv[i];
      }
    }

    if (std::strcmp(s, "--") == 0) {
      x_optind = i + 1;
      return Finish(argc, argv, moved);
    }
    if (longopts != nullptr && s[1] == '-') return LongOption(argv, longopts, longindex, i);
    if (i >= argc - moved) return FinishWithoutValue(argc, argv, moved);

    if (s[1] == '\0') {
      // A lone "-" is passed over and never reported.
      x_optind = i + 1;
      if (x_optind < argc - moved) continue;
      return FinishWithoutValue(argc, argv, moved);
    }
    return ShortOption(argc, argv, optstring, mode, i, moved, s + 1);
  }
}

}  // namespace

int32_t x_getopt(int32_t argc, char** argv, const char* optstring) {
  return GetOpt(argc, argv, optstring, nullptr, nullptr);
}

int32_t x_getopt_long(int32_t argc, char** argv, const char* optstring, const x_option* longopts,
                      int32_t* longindex) {
  return GetOpt(argc, argv, optstring, longopts, longindex);
}
