#ifndef CORVANE_FUZZ_FUZZ_CHECK_H_
#define CORVANE_FUZZ_FUZZ_CHECK_H_

// FUZZ_CHECK(condition, message): a broken invariant aborts the process, so
// that libFuzzer (or the replay driver) saves and reports the input. Unlike
// assert it stays active in release builds.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, message)                                                        \
  do {                                                                                        \
    if (!(condition)) {                                                                       \
      std::fprintf(stderr, "%s:%d: invariant broken: %s (%s)\n", __FILE__, __LINE__, message, \
                   #condition);                                                               \
      std::abort();                                                                           \
    }                                                                                         \
  } while (0)

#endif  // CORVANE_FUZZ_FUZZ_CHECK_H_
