#ifndef CORVANE_TESTS_E2E_ROS_ROS2_RELAY_HARNESS_H_
#define CORVANE_TESTS_E2E_ROS_ROS2_RELAY_HARNESS_H_

// Running the corvane binary on ROS 2 rules together with the ROS 2-like test
// peers (tests/peers), every process on loopback and bounded in time.

#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace corvane_test {

using Lines = std::vector<std::string>;

// Paths of the test peers.
extern const char kTalker[];
extern const char kListener[];
extern const char kAddServer[];
extern const char kAddClient[];
extern const char kFibServer[];
extern const char kFibClient[];

// A peer's own deadline when the test gives none: far above a healthy run,
// so that only a hang reaches it.
constexpr int kPeerTimeoutSeconds = 15;

// One ROS 2 rule. For services and actions `src` is the proxy-service side
// (the clients) and `dst` the service side (the server). Both sides reliable.
struct RosRule {
  std::string type;  // a rule type text, such as "ros2-foxy-service"
  std::string topic;
  std::string data_type;
  int src;
  int dst;
};

// The YAML rule file holding `rules` in order.
std::string RosRuleFile(const std::vector<RosRule>& rules);

// corvane relaying one rule file. The constructor starts it and waits for its
// start banner; the destructor kills it if it still runs.
class Relay {
 public:
  explicit Relay(const std::vector<RosRule>& rules);
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // True once the banner appeared: every rule's bridge stands.
  bool running() const { return running_; }

  // Sends SIGINT and waits for the end. The exit status, or 128 + the signal
  // that ended it (a hang ends in SIGKILL).
  int Stop();

  // The rule file and everything the process wrote, for failure messages.
  std::string Output() const;

 private:
  TempDir dir_;
  std::string rule_file_;
  std::string start_error_;
  std::unique_ptr<ChildProcess> child_;
  bool running_ = false;
};

// One test peer run with `args` and "--timeout <timeout_seconds>".
class Peer {
 public:
  Peer(const char* program, std::vector<std::string> args,
       int timeout_seconds = kPeerTimeoutSeconds);
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // Waits, within the peer's deadline, until `text` appears on its stdout.
  bool WaitFor(const std::string& text);

  // Waits for the end, bounded a little beyond the peer's own deadline. The
  // exit status, or 128 + the signal that ended it.
  int Finish();

  // Stdout so far, one entry per line.
  Lines lines() const;

  // The command line and everything the peer wrote, for failure messages.
  std::string Output() const;

 private:
  std::string command_;
  std::string start_error_;
  int timeout_seconds_;
  std::unique_ptr<ChildProcess> child_;
};

// The lines that start with `prefix`, in order.
Lines WithPrefix(const Lines& lines, const std::string& prefix);

// True when the lines hold a line starting with each prefix, in this order.
bool HasInOrder(const Lines& lines, const Lines& prefixes);

}  // namespace corvane_test

#endif  // CORVANE_TESTS_E2E_ROS_ROS2_RELAY_HARNESS_H_
