// A getopt_long-style command-line option parser.
#ifndef CORVANE_APP_XGETOPT_H_
#define CORVANE_APP_XGETOPT_H_

// A small getopt_long work-alike with its own process-wide state. Each call
// returns the next option; the argument vector is permuted in place so that
// non-options end up behind the options. Messages go to standard error while
// x_opterr is non-zero. Not thread-safe.
//
// Long options match only when given in full ("--conf" never means
// "--config"). A long option that requires a value and has no "=" takes the
// next element unconditionally, even the vector's terminating null.
//
// Clusters: for "-hv" the first call returns 'h' and leaves x_optind on the
// element; the next call returns 'v' from the same element. The position
// inside the element is kept only while x_optind still designates that same
// element of the same vector; a call on anything else forgets it. A letter
// inside a cluster behaves exactly like one right after the dash, including
// an unknown letter, which is reported again on every further call.

#include <cstdint>

struct x_option {
  const char* name;  // long name without "--"; null ends the table
  int32_t has_arg;   // 0: no value, 1: value required
  int32_t* flag;     // null: return val; else store val here and return 0
  int32_t val;
};

extern int32_t x_optind;  // next element to examine; starts at 1
extern char* x_optarg;    // value of the option just returned
extern int32_t x_optopt;  // letter of the last short-option error
extern int32_t x_opterr;  // print messages while non-zero; starts at 1

int32_t x_getopt(int32_t argc, char** argv, const char* optstring);
int32_t x_getopt_long(int32_t argc, char** argv, const char* optstring, const x_option* longopts,
                      int32_t* longindex);

#endif  // CORVANE_APP_XGETOPT_H_
