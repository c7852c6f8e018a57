#ifndef CORVANE_TESTS_SUPPORT_CHILD_PROCESS_H_
#define CORVANE_TESTS_SUPPORT_CHILD_PROCESS_H_

// Runs a program as a child process for end-to-end tests: chosen argv,
// environment and working directory, standard output and standard error
// captured in memory, bounded waits, signals by PID.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace corvane_test {

// What to run, and the surroundings it starts in. The environment is the
// caller's, minus `unset_env`, plus `set_env` (which wins over both).
struct ChildOptions {
  std::string program;                         // path handed to execve
  std::vector<std::string> args;               // argv[1] onwards
  std::optional<std::string> argv0;            // argv[0]; `program` when absent
  std::map<std::string, std::string> set_env;  // added or replaced
  std::vector<std::string> unset_env;          // removed
  std::string working_directory;               // empty: the caller's
};

// How a child ended. Exactly one of `exited` and `signaled` is true once the
// child has been reaped. `timed_out` means the wait gave up and killed the
// child with SIGKILL; `signaled` then reports that SIGKILL.
struct ChildExit {
  bool timed_out = false;
  bool exited = false;
  int exit_code = -1;
  bool signaled = false;
  int signal = 0;

  bool ExitedWith(int code) const { return !timed_out && exited && exit_code == code; }
  bool KilledBy(int signo) const { return !timed_out && signaled && signal == signo; }
  std::string ToString() const;
};

std::ostream& operator<<(std::ostream& os, const ChildExit& exit);

// One started child. The child's standard input is /dev/null; its signal
// dispositions are reset to their defaults and its signal mask is empty, so
// it starts the same whatever the test runner inherited. Output is drained
// on a thread of its own, so a child writing a lot never blocks on a full
// pipe. Destroying a child that still runs kills it with SIGKILL and reaps it;
// a child whose test process dies first gets SIGKILL from the kernel.
class ChildProcess {
 public:
  // Starts the program. Returns null and describes the failure in `error`
  // when it cannot be started (including a failing chdir or execve).
  static std::unique_ptr<ChildProcess> Start(const ChildOptions& options, std::string* error);

  // Only Start builds children.
  class Token {
    friend class ChildProcess;
    explicit Token() = default;
  };
  ChildProcess(Token, pid_t pid, int stdout_fd, int stderr_fd);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  pid_t pid() const { return pid_; }

  // Sends `signo` to the child's PID. False once the child has been reaped.
  bool SendSignal(int signo);

  // True while the child has not ended. Reaps it when it has.
  bool Running();

  // Waits for the child to end. When `timeout` passes first, kills it by PID
  // with SIGKILL and reports timed_out. Once reaped, returns the same result
  // again. On return the captured output is complete.
  ChildExit Wait(std::chrono::milliseconds timeout);

  // Waits until `text` appears in the captured stream. False when the stream
  // closes or `timeout` passes without it.
  bool WaitForStdout(const std::string& text, std::chrono::milliseconds timeout);
  bool WaitForStderr(const std::string& text, std::chrono::milliseconds timeout);

  // What the child has written so far.
  std::string Stdout() const;
  std::string Stderr() const;

 private:
  struct Stream {
    int fd = -1;
    std::string data;
  };

  void Drain();
  bool WaitForText(const Stream& stream, const std::string& text,
                   std::chrono::milliseconds timeout);
  bool TryReap();
  void StopDrain();

  const pid_t pid_;
  std::optional<ChildExit> exit_;

  mutable std::mutex mutex_;  // guards the streams' data and drained_
  std::condition_variable output_changed_;
  Stream out_;
  Stream err_;
  bool drained_ = false;
  int stop_read_fd_ = -1;
  int stop_write_fd_ = -1;
  std::thread drainer_;
};

// Everything a finished child left behind.
struct ChildResult {
  ChildExit exit;
  std::string out;
  std::string err;
};

// Starts the program and waits for it to end, as ChildProcess::Wait does.
// A child that cannot be started yields exit code 127 with the reason in `err`.
ChildResult RunChild(const ChildOptions& options, std::chrono::milliseconds timeout);

// True when process `pid` has a handler installed for `signo`, read from the
// SigCgt mask in /proc/<pid>/status (Linux). False when it cannot be read.
bool IsSignalCaught(pid_t pid, int signo);

}  // namespace corvane_test

#endif  // CORVANE_TESTS_SUPPORT_CHILD_PROCESS_H_
