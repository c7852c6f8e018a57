#include "tests/app/corvane_harness.h"

#include <csignal>
#include <memory>
#include <thread>

namespace corvane_test {

const char kUsage[] =
    "Usage: ./corvane [OPTION]\n"
    "\n"
    "OPTIONAL ARGUMENTS:\n"
    "  -h, --help\n"
    "  -c, --config <config_path>\n"
    "    If corvane is implemented without option, it will check below paths\n"
    "      1. Environment variable: CORVANE_CONFIG\n"
    "      2. Current directory: ./bridge.yaml\n"
    "      3. Default path: /etc/zerudevav/ostrakit/bridge/bridge.yaml\n";

const char kBannerRunning[] = "TavrinDDS Corvane v2.1.0 is running, please wait...";
const char kBannerPress[] = "Press Ctrl + c if you want to leave corvane.";
const char kDefaultConfigPath[] = "/etc/zerudevav/ostrakit/bridge/bridge.yaml";
const char kNotARuleFile[] = "not_rules:\n  - nothing here\n";

std::string DdsRuleFile(int src, int dst, const std::string& topic) {
  return "rules:\n"
         "  - type: dds\n"
         "    topic: " +
         topic +
         "\n"
         "    data_type: CorvaneProbe\n"
         "    src:\n"
         "      domain_id: " +
         std::to_string(src) +
         "\n"
         "      reliability: reliable\n"
         "    dst:\n"
         "      domain_id: " +
         std::to_string(dst) +
         "\n"
         "      reliability: reliable\n";
}

ChildOptions CorvaneOptions(const std::string& working_directory,
                            const std::vector<std::string>& args) {
  ChildOptions options;
  options.program = CORVANE_BINARY;
  options.argv0 = "corvane";
  options.args = args;
  options.working_directory = working_directory;
  options.unset_env = {"CORVANE_CONFIG", "TAVRINDDS_LOG_LEVEL"};
  options.set_env["CYCLONEDDS_URI"] = CORVANE_TEST_DDS_URI;
  // Service and action rules start Fast DDS participants too; without a
  // profile they would use shared memory and multicast on every interface.
  options.set_env["FASTRTPS_DEFAULT_PROFILES_FILE"] = CORVANE_TEST_FASTDDS_PROFILE;
  options.set_env["SKIP_DEFAULT_XML_FILE"] = "1";
  return options;
}

bool WaitForStopHandler(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!(IsSignalCaught(pid, SIGINT) && IsSignalCaught(pid, SIGTERM))) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

StoppedRun RunAndStop(const ChildOptions& options, int signo, bool expect_banner) {
  StoppedRun run;
  std::string error;
  std::unique_ptr<ChildProcess> child = ChildProcess::Start(options, &error);
  if (child == nullptr) {
    run.result.exit.exited = true;
    run.result.exit.exit_code = 127;
    run.result.err = error;
    return run;
  }
  run.reached_wait = expect_banner ? child->WaitForStderr(kBannerPress, kHangTimeout)
                                   : WaitForStopHandler(child->pid(), kHangTimeout);
  if (run.reached_wait) child->SendSignal(signo);
  run.result.exit = child->Wait(kHangTimeout);
  run.result.out = child->Stdout();
  run.result.err = child->Stderr();
  return run;
}

}  // namespace corvane_test
