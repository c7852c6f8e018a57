#include "tests/support/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace corvane_test {
namespace {

// A test killed by a sanitizer or a crash runs no destructors; its children
// must not outlive it and keep relaying on the test's domains.
TEST(ChildProcessTest, ChildDoesNotOutliveADeadTestProcess) {
  // The orphaned child comes to us, so we can reap it and see how it ended
  // whatever process 1 of the machine does with orphans.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t test_process = ::fork();
  ASSERT_GE(test_process, 0);
  if (test_process == 0) {
    ::close(fds[0]);
    ChildOptions options;
    options.program = "/bin/sleep";
    options.args = {"30"};
    std::string error;
    std::unique_ptr<ChildProcess> child = ChildProcess::Start(options, &error);
    const pid_t pid = child ? child->pid() : -1;
    ssize_t ignored = ::write(fds[1], &pid, sizeof pid);
    (void)ignored;
    ::_exit(0);  // no destructors, like an abort
  }
  ::close(fds[1]);
  pid_t child_pid = -1;
  ASSERT_EQ(::read(fds[0], &child_pid, sizeof child_pid), static_cast<ssize_t>(sizeof child_pid));
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(test_process, &status, 0), test_process);
  ASSERT_GT(child_pid, 0);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  pid_t reaped = 0;
  while ((reaped = ::waitpid(child_pid, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (reaped == 0) {
    ::kill(child_pid, SIGKILL);
    ::waitpid(child_pid, &status, 0);
  }
  ASSERT_EQ(reaped, child_pid) << "child " << child_pid << " outlived its test process";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

}  // namespace
}  // namespace corvane_test
