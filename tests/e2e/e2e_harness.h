#ifndef CORVANE_TESTS_E2E_E2E_HARNESS_H_
#define CORVANE_TESTS_E2E_E2E_HARNESS_H_

// Running corvane on a rule file between real DDS peers: rule files, the
// relay process, and Cyclone's ddsperf as publisher and subscriber.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace corvane_e2e {

// One plain DDS rule.
struct DdsRule {
  std::string topic;
  std::string data_type;
  int src = 0;
  int dst = 0;
  bool src_reliable = true;
  bool dst_reliable = true;
};

// A rule file holding `rules` in order.
std::string RuleFile(const std::vector<DdsRule>& rules);

// Starts corvane with `rule_file` written into `dir` and waits for its
// banner. Null, with the reason in `error`, when it does not get there.
std::unique_ptr<corvane_test::ChildProcess> StartRelay(const corvane_test::TempDir& dir,
                                                       const std::string& rule_file,
                                                       std::string* error);

// Stops a running relay with `signo` and waits for its end.
corvane_test::ChildExit StopRelay(corvane_test::ChildProcess* relay, int signo);

// True when `stderr_text` holds a sanitizer's report.
bool HasSanitizerReport(const std::string& stderr_text);

// ddsperf in `domain` with `args` after the domain option, on loopback.
// Empty `program` when ddsperf is not installed.
corvane_test::ChildOptions DdsperfOptions(int domain, const std::vector<std::string>& args);

// One statistics line of `ddsperf sub`.
struct DdsperfSubLine {
  uint64_t size = 0;
  uint64_t total = 0;
  uint64_t lost = 0;
};

// The statistics lines in the output of `ddsperf sub`, in order.
std::vector<DdsperfSubLine> ParseDdsperfSub(const std::string& output);

}  // namespace corvane_e2e

#endif  // CORVANE_TESTS_E2E_E2E_HARNESS_H_
