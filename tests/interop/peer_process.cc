#include "tests/interop/peer_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// The test's environment with `extra` ("NAME=value") added or replacing.
std::vector<std::string> MergeEnvironment(const std::vector<std::string>& extra) {
  std::map<std::string, std::string> merged;
  const auto add = [&merged](const std::string& entry) {
    merged[entry.substr(0, entry.find('='))] = entry;
  };
  for (char** entry = environ; *entry != nullptr; ++entry) add(*entry);
  for (const std::string& entry : extra) add(entry);
  std::vector<std::string> result;
  for (const auto& [name, entry] : merged) result.push_back(entry);
  return result;
}

std::vector<char*> PointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

int DecodeStatus(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return PeerProcess::kTimedOut;
}

}  // namespace

std::unique_ptr<PeerProcess> PeerProcess::Start(const std::vector<std::string>& argv,
                                                const std::vector<std::string>& extra_env) {
  if (argv.empty()) return nullptr;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  std::vector<std::string> args = argv;
  std::vector<std::string> env = MergeEnvironment(extra_env);
  pid_t pid = 0;
  const int failed = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, PointersTo(args).data(),
                                 PointersTo(env).data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (failed != 0) {
    close(fds[0]);
    return nullptr;
  }
  return std::unique_ptr<PeerProcess>(new PeerProcess(pid, fds[0]));
}

PeerProcess::~PeerProcess() {
  Kill();
  close(output_fd_);
}

bool PeerProcess::ReadSome(std::chrono::milliseconds timeout) {
  pollfd request{output_fd_, POLLIN, 0};
  const int ready = poll(&request, 1, static_cast<int>(timeout.count()));
  if (ready < 0) return errno == EINTR;
  if (ready == 0) return true;
  char buffer[4096];
  const ssize_t got = read(output_fd_, buffer, sizeof buffer);
  if (got <= 0) return got < 0 && errno == EINTR;
  partial_.append(buffer, static_cast<size_t>(got));
  size_t newline;
  while ((newline = partial_.find('\n')) != std::string::npos) {
    lines_.push_back(partial_.substr(0, newline));
    partial_.erase(0, newline + 1);
  }
  return true;
}

std::optional<std::string> PeerProcess::FindLine(const std::string& prefix, size_t* next) const {
  for (; *next < lines_.size(); ++*next) {
    if (lines_[*next].compare(0, prefix.size(), prefix) == 0) return lines_[(*next)++];
  }
  return std::nullopt;
}

std::optional<std::string> PeerProcess::WaitForLine(const std::string& prefix,
                                                    std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    if (std::optional<std::string> line = FindLine(prefix, &scanned_)) return line;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !ReadSome(left)) return std::nullopt;
  }
}

int PeerProcess::WaitForExit(std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      Kill();
      return kTimedOut;
    }
    if (!ReadSome(left)) break;  // Output closed: the child is ending.
  }
  while (!reaped_) {
    int wait_status = 0;
    const pid_t done = waitpid(pid_, &wait_status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      status_ = DecodeStatus(wait_status);
    } else if (Clock::now() >= deadline) {
      Kill();
      return kTimedOut;
    } else {
      usleep(10000);
    }
  }
  return status_;
}

void PeerProcess::Signal(int signal_number) {
  if (!reaped_) kill(pid_, signal_number);
}

void PeerProcess::Kill() {
  if (reaped_) return;
  kill(pid_, SIGKILL);
  int wait_status = 0;
  while (waitpid(pid_, &wait_status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
  status_ = kTimedOut;
}
