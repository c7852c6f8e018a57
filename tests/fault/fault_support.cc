#include "tests/fault/fault_support.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/e2e/e2e_harness.h"

namespace corvane_fault {

using Clock = std::chrono::steady_clock;

bool LongFaultTests() {
  const char* value = std::getenv("CORVANE_LONG_FAULT_TESTS");
  return value != nullptr && *value != '\0' && std::string(value) != "0";
}

int Repetitions(int quick, int full) {
  return LongFaultTests() ? full : quick;
}

long ProcStatusValue(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const std::string prefix = field + ":";
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    std::istringstream value(line.substr(prefix.size()));
    long number = -1;
    value >> number;
    return value ? number : -1;
  }
  return -1;
}

bool IsAlive(pid_t pid) {
  // The state follows the command name, which is in parentheses and may
  // hold blanks itself.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const size_t name_end = text.rfind(')');
  if (name_end == std::string::npos || name_end + 2 >= text.size()) return false;
  const char state = text[name_end + 2];
  return state != 'Z' && state != 'X';
}

uint64_t ReceivedSoFar(const corvane_test::ChildProcess& sub) {
  const std::vector<corvane_e2e::DdsperfSubLine> lines = corvane_e2e::ParseDdsperfSub(sub.Stdout());
  return lines.empty() ? 0 : lines.back().total;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool WaitForReceived(const corvane_test::ChildProcess& sub, uint64_t from, uint64_t count,
                     std::chrono::milliseconds timeout) {
  return WaitUntil([&] { return ReceivedSoFar(sub) >= from + count; }, timeout);
}

std::unique_ptr<corvane_test::ChildProcess> StartDdsperf(int domain, int seconds,
                                                         const std::vector<std::string>& args,
                                                         std::string* error) {
  std::vector<std::string> all = {"-D", std::to_string(seconds)};
  all.insert(all.end(), args.begin(), args.end());
  return corvane_test::ChildProcess::Start(corvane_e2e::DdsperfOptions(domain, all), error);
}

void StopDdsperf(corvane_test::ChildProcess* ddsperf) {
  if (ddsperf == nullptr) return;
  ddsperf->SendSignal(SIGCONT);
  ddsperf->SendSignal(SIGINT);
  ddsperf->Wait(std::chrono::seconds(5));
}

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

}  // namespace corvane_fault
