#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace corvane_test {
namespace {

using Clock = std::chrono::steady_clock;

void CloseFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

// Owns a pipe until its ends are handed over.
struct Pipe {
  int read_fd = -1;
  int write_fd = -1;
  bool Open() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    read_fd = fds[0];
    write_fd = fds[1];
    return true;
  }
  ~Pipe() {
    CloseFd(&read_fd);
    CloseFd(&write_fd);
  }
};

std::vector<std::string> BuildEnvironment(const ChildOptions& options) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    const bool unset = std::find(options.unset_env.begin(), options.unset_env.end(), name) !=
                       options.unset_env.end();
    if (!unset && options.set_env.count(name) == 0) env.push_back(text);
  }
  for (const auto& [name, value] : options.set_env) env.push_back(name + "=" + value);
  return env;
}

std::vector<char*> PointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Runs in the forked child: only async-signal-safe calls until execve.
[[noreturn]] void ExecChild(const char* program, char* const* argv, char* const* envp,
                            const char* working_directory, int stdin_fd, int stdout_fd,
                            int stderr_fd, int report_fd, pid_t parent) {
  int failure = 0;
  // A test that dies without running its destructors (a sanitizer abort, a
  // crash) must not leave the child relaying on its domains: later runs of
  // the same test would see it as an extra participant.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(127);
  if (::dup2(stdin_fd, STDIN_FILENO) < 0 || ::dup2(stdout_fd, STDOUT_FILENO) < 0 ||
      ::dup2(stderr_fd, STDERR_FILENO) < 0) {
    failure = errno;
  } else if (working_directory != nullptr && ::chdir(working_directory) != 0) {
    failure = errno;
  } else {
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int signo = 1; signo < NSIG; ++signo) ::sigaction(signo, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(program, argv, envp);
    failure = errno;
  }
  ssize_t ignored = ::write(report_fd, &failure, sizeof failure);
  (void)ignored;
  ::_exit(127);
}

ChildExit DecodeStatus(int status) {
  ChildExit exit;
  if (WIFEXITED(status)) {
    exit.exited = true;
    exit.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    exit.signaled = true;
    exit.signal = WTERMSIG(status);
  }
  return exit;
}

pid_t WaitPid(pid_t pid, int* status, int options) {
  pid_t result;
  do {
    result = ::waitpid(pid, status, options);
  } while (result < 0 && errno == EINTR);
  return result;
}

}  // namespace

std::string ChildExit::ToString() const {
  std::ostringstream os;
  if (exited) os << "exited with status " << exit_code;
  if (signaled) os << "killed by signal " << signal << " (" << strsignal(signal) << ")";
  if (!exited && !signaled) os << "not reaped";
  if (timed_out) os << " after the wait timed out";
  return os.str();
}

std::ostream& operator<<(std::ostream& os, const ChildExit& exit) {
  return os << exit.ToString();
}

std::unique_ptr<ChildProcess> ChildProcess::Start(const ChildOptions& options, std::string* error) {
  std::vector<std::string> argv_texts;
  argv_texts.push_back(options.argv0.value_or(options.program));
  argv_texts.insert(argv_texts.end(), options.args.begin(), options.args.end());
  std::vector<std::string> env_texts = BuildEnvironment(options);
  const std::vector<char*> argv = PointersTo(argv_texts);
  const std::vector<char*> envp = PointersTo(env_texts);
  const char* const working_directory =
      options.working_directory.empty() ? nullptr : options.working_directory.c_str();

  Pipe out, err, report;
  if (!out.Open() || !err.Open() || !report.Open()) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return nullptr;
  }
  int stdin_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (stdin_fd < 0) {
    *error = std::string("/dev/null: ") + std::strerror(errno);
    return nullptr;
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ExecChild(options.program.c_str(), argv.data(), envp.data(), working_directory, stdin_fd,
              out.write_fd, err.write_fd, report.write_fd, parent);
  }
  const int fork_errno = errno;
  CloseFd(&stdin_fd);
  CloseFd(&out.write_fd);
  CloseFd(&err.write_fd);
  CloseFd(&report.write_fd);
  if (pid < 0) {
    *error = std::string("fork: ") + std::strerror(fork_errno);
    return nullptr;
  }

  // The report pipe closes on a successful execve and carries errno otherwise.
  int failure = 0;
  ssize_t n;
  do {
    n = ::read(report.read_fd, &failure, sizeof failure);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    int status = 0;
    WaitPid(pid, &status, 0);
    *error = options.program + ": " + std::strerror(failure);
    return nullptr;
  }

  auto child = std::make_unique<ChildProcess>(Token{}, pid, out.read_fd, err.read_fd);
  out.read_fd = -1;
  err.read_fd = -1;
  return child;
}

ChildProcess::ChildProcess(Token, pid_t pid, int stdout_fd, int stderr_fd) : pid_(pid) {
  out_.fd = stdout_fd;
  err_.fd = stderr_fd;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) == 0) {
    stop_read_fd_ = fds[0];
    stop_write_fd_ = fds[1];
  }
  drainer_ = std::thread([this] { Drain(); });
}

ChildProcess::~ChildProcess() {
  if (!TryReap()) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    WaitPid(pid_, &status, 0);
  }
  StopDrain();
  CloseFd(&out_.fd);
  CloseFd(&err_.fd);
  CloseFd(&stop_read_fd_);
  CloseFd(&stop_write_fd_);
}

void ChildProcess::Drain() {
  char buffer[65536];
  bool out_open = true;
  bool err_open = true;
  while (out_open || err_open) {
    pollfd fds[3] = {{out_open ? out_.fd : -1, POLLIN, 0},
                     {err_open ? err_.fd : -1, POLLIN, 0},
                     {stop_read_fd_, POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[2].revents != 0) break;
    for (int k = 0; k < 2; ++k) {
      if (fds[k].revents == 0) continue;
      Stream& stream = k == 0 ? out_ : err_;
      const ssize_t n = ::read(stream.fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      if (n > 0) {
        stream.data.append(buffer, static_cast<size_t>(n));
      } else {
        (k == 0 ? out_open : err_open) = false;
      }
      output_changed_.notify_all();
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  drained_ = true;
  output_changed_.notify_all();
}

void ChildProcess::StopDrain() {
  if (!drainer_.joinable()) return;
  if (stop_write_fd_ >= 0) {
    const char byte = 0;
    ssize_t ignored = ::write(stop_write_fd_, &byte, 1);
    (void)ignored;
  }
  drainer_.join();
}

bool ChildProcess::TryReap() {
  if (exit_) return true;
  int status = 0;
  if (WaitPid(pid_, &status, WNOHANG) != pid_) return false;
  exit_ = DecodeStatus(status);
  return true;
}

bool ChildProcess::SendSignal(int signo) {
  if (exit_) return false;
  return ::kill(pid_, signo) == 0;
}

bool ChildProcess::Running() {
  return !TryReap();
}

ChildExit ChildProcess::Wait(std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  auto pause = std::chrono::milliseconds(1);
  while (!TryReap()) {
    if (Clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      WaitPid(pid_, &status, 0);
      exit_ = DecodeStatus(status);
      exit_->timed_out = true;
      break;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
  // Output still in the pipes is read before returning; a descendant that
  // keeps the pipes open must not hold the wait beyond its bound.
  {
    std::unique_lock<std::mutex> lock(mutex_);
    const Clock::time_point drain_deadline =
        std::max(deadline, Clock::now() + std::chrono::seconds(1));
    output_changed_.wait_until(lock, drain_deadline, [this] { return drained_; });
  }
  StopDrain();
  return *exit_;
}

bool ChildProcess::WaitForText(const Stream& stream, const std::string& text,
                               std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return output_changed_.wait_for(lock, timeout, [&] {
    return stream.data.find(text) != std::string::npos || drained_;
  }) && stream.data.find(text) != std::string::npos;
}

bool ChildProcess::WaitForStdout(const std::string& text, std::chrono::milliseconds timeout) {
  return WaitForText(out_, text, timeout);
}

bool ChildProcess::WaitForStderr(const std::string& text, std::chrono::milliseconds timeout) {
  return WaitForText(err_, text, timeout);
}

std::string ChildProcess::Stdout() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return out_.data;
}

std::string ChildProcess::Stderr() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return err_.data;
}

ChildResult RunChild(const ChildOptions& options, std::chrono::milliseconds timeout) {
  std::string error;
  std::unique_ptr<ChildProcess> child = ChildProcess::Start(options, &error);
  ChildResult result;
  if (child == nullptr) {
    result.exit.exited = true;
    result.exit.exit_code = 127;
    result.err = error;
    return result;
  }
  result.exit = child->Wait(timeout);
  result.out = child->Stdout();
  result.err = child->Stderr();
  return result;
}

bool IsSignalCaught(pid_t pid, int signo) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 7, "SigCgt:") != 0) continue;
    const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
    return ((mask >> (signo - 1)) & 1ULL) != 0;
  }
  return false;
}

}  // namespace corvane_test
