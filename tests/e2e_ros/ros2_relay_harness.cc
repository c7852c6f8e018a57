#include "tests/e2e_ros/ros2_relay_harness.h"

#include <csignal>
#include <sstream>

#include "tests/app/corvane_harness.h"

namespace corvane_test {
namespace {

// Margin over a peer's own deadline before the test kills it: the peer
// flushes its writers and prints its summary after the deadline.
constexpr std::chrono::seconds kExitMargin{5};

bool IsMessageRule(const std::string& type) {
  const std::string suffix = "-msg";
  return type.size() >= suffix.size() &&
         type.compare(type.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string Side(const char* key, int domain) {
  return "    " + std::string(key) + ":\n      domain_id: " + std::to_string(domain) +
         "\n      reliability: reliable\n";
}

int StatusOf(const ChildExit& exit) {
  return exit.exited ? exit.exit_code : 128 + exit.signal;
}

std::string Describe(const std::string& what, const std::string& start_error,
                     const ChildProcess* child) {
  std::string text = what + "\n";
  if (child == nullptr) return text + "not started: " + start_error + "\n";
  return text + "--- stdout\n" + child->Stdout() + "--- stderr\n" + child->Stderr();
}

}  // namespace

const char kTalker[] = ROS2_TALKER_PATH;
const char kListener[] = ROS2_LISTENER_PATH;
const char kAddServer[] = ROS2_ADD_SERVER_PATH;
const char kAddClient[] = ROS2_ADD_CLIENT_PATH;
const char kFibServer[] = ROS2_FIB_SERVER_PATH;
const char kFibClient[] = ROS2_FIB_CLIENT_PATH;

std::string RosRuleFile(const std::vector<RosRule>& rules) {
  std::string text = "rules:\n";
  for (const RosRule& rule : rules) {
    const bool message = IsMessageRule(rule.type);
    // Quoted: a pattern may begin with "*", which YAML reads as an alias.
    text += "  - type: " + rule.type + "\n    topic: \"" + rule.topic + "\"\n    data_type: \"" +
            rule.data_type + "\"\n";
    text += Side(message ? "src" : "proxy_service", rule.src);
    text += Side(message ? "dst" : "service", rule.dst);
  }
  return text;
}

Relay::Relay(const std::vector<RosRule>& rules) {
  rule_file_ = RosRuleFile(rules);
  const std::string path = dir_.WriteFile("bridge.yaml", rule_file_);
  if (path.empty()) {
    start_error_ = "cannot write the rule file";
    return;
  }
  child_ = ChildProcess::Start(CorvaneOptions(dir_.path(), {"-c", path}), &start_error_);
  running_ = child_ != nullptr && child_->WaitForStderr(kBannerRunning, kHangTimeout);
}

int Relay::Stop() {
  if (child_ == nullptr) return -1;
  child_->SendSignal(SIGINT);
  return StatusOf(child_->Wait(kHangTimeout));
}

std::string Relay::Output() const {
  return Describe("corvane with rules:\n" + rule_file_, start_error_, child_.get());
}

Peer::Peer(const char* program, std::vector<std::string> args, int timeout_seconds)
    : timeout_seconds_(timeout_seconds) {
  args.push_back("--timeout");
  args.push_back(std::to_string(timeout_seconds));
  std::ostringstream command;
  command << program;
  for (const std::string& arg : args) command << ' ' << arg;
  command_ = command.str();

  ChildOptions options;
  options.program = program;
  options.args = std::move(args);
  options.set_env["CYCLONEDDS_URI"] = CORVANE_TEST_DDS_URI;
  child_ = ChildProcess::Start(options, &start_error_);
}

bool Peer::WaitFor(const std::string& text) {
  return child_ != nullptr && child_->WaitForStdout(text, std::chrono::seconds(timeout_seconds_));
}

int Peer::Finish() {
  if (child_ == nullptr) return -1;
  return StatusOf(child_->Wait(std::chrono::seconds(timeout_seconds_) + kExitMargin));
}

Lines Peer::lines() const {
  Lines result;
  if (child_ == nullptr) return result;
  std::istringstream stream(child_->Stdout());
  std::string line;
  while (std::getline(stream, line)) result.push_back(line);
  return result;
}

std::string Peer::Output() const {
  return Describe(command_, start_error_, child_.get());
}

Lines WithPrefix(const Lines& lines, const std::string& prefix) {
  Lines found;
  for (const std::string& line : lines) {
    if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
  }
  return found;
}

bool HasInOrder(const Lines& lines, const Lines& prefixes) {
  size_t next = 0;
  for (const std::string& line : lines) {
    if (next < prefixes.size() && line.compare(0, prefixes[next].size(), prefixes[next]) == 0) {
      ++next;
    }
  }
  return next == prefixes.size();
}

}  // namespace corvane_test
