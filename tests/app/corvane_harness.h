#ifndef CORVANE_TESTS_APP_CORVANE_HARNESS_H_
#define CORVANE_TESTS_APP_CORVANE_HARNESS_H_

// Running the built corvane binary in end-to-end tests.

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace corvane_test {

// Bounds every wait on the binary; reaching it means a hang.
constexpr std::chrono::seconds kHangTimeout{30};

extern const char kUsage[];
extern const char kBannerRunning[];
extern const char kBannerPress[];
extern const char kDefaultConfigPath[];

// A rule file with one plain DDS rule relaying `topic` from domain `src` to
// domain `dst`.
std::string DdsRuleFile(int src, int dst, const std::string& topic);

// A YAML file that is not a rule file: a run that picks it cannot start.
extern const char kNotARuleFile[];

// corvane with `args`, run in `working_directory` under argv[0] "corvane",
// with CORVANE_CONFIG and TAVRINDDS_LOG_LEVEL removed and DDS on loopback.
ChildOptions CorvaneOptions(const std::string& working_directory,
                            const std::vector<std::string>& args);

// Polls until the process has a handler for both SIGINT and SIGTERM.
bool WaitForStopHandler(pid_t pid, std::chrono::milliseconds timeout);

// What a run that was stopped by a signal left behind.
struct StoppedRun {
  bool reached_wait = false;  // the banner, or the stop handler when there is no banner
  ChildResult result;
};

// Starts corvane, waits until it waits for a stop (the second banner line,
// or the stop handler when `expect_banner` is false), sends `signo` and
// waits for the end. Sends nothing when the run never gets there.
StoppedRun RunAndStop(const ChildOptions& options, int signo, bool expect_banner = true);

}  // namespace corvane_test

#endif  // CORVANE_TESTS_APP_CORVANE_HARNESS_H_
