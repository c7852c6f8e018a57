// A child process of a test (a peer or corvane itself) whose standard output
// is read line by line; its standard error goes to the test's. The child is
// killed by its pid and reaped when the object goes, whatever state it is in.

#ifndef CORVANE_TESTS_INTEROP_PEER_PROCESS_H_
#define CORVANE_TESTS_INTEROP_PEER_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class PeerProcess {
 public:
  // Exit status meaning "did not end in time"; the child has then been killed.
  static const int kTimedOut = -1;

  // Starts argv[0] with `argv`, in the test's environment plus `extra_env`
  // ("NAME=value", replacing a variable of the same name). Null on failure.
  static std::unique_ptr<PeerProcess> Start(const std::vector<std::string>& argv,
                                            const std::vector<std::string>& extra_env = {});

  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;
  ~PeerProcess();

  // Reads output until a line beginning with `prefix` arrives and returns it;
  // nothing at the timeout or when the output ends. Lines read on the way are
  // kept in lines(); a matching line that was already read is returned at once.
  std::optional<std::string> WaitForLine(const std::string& prefix,
                                         std::chrono::milliseconds timeout);

  // Reads the rest of the output and reaps the child. Returns its exit
  // status, 128 + the signal number if a signal ended it, or kTimedOut.
  int WaitForExit(std::chrono::milliseconds timeout);

  // Sends `signal_number` to the child if it is still running.
  void Signal(int signal_number);

  const std::vector<std::string>& lines() const { return lines_; }
  pid_t pid() const { return pid_; }

 private:
  PeerProcess(pid_t pid, int output_fd) : pid_(pid), output_fd_(output_fd) {}

  // Reads what is available within `timeout`; false once the output has ended.
  bool ReadSome(std::chrono::milliseconds timeout);
  std::optional<std::string> FindLine(const std::string& prefix, size_t* next) const;
  void Kill();

  pid_t pid_;
  int output_fd_;
  bool reaped_ = false;
  int status_ = kTimedOut;
  std::string partial_;
  std::vector<std::string> lines_;
  size_t scanned_ = 0;  // WaitForLine looks at lines from here on.
};

#endif  // CORVANE_TESTS_INTEROP_PEER_PROCESS_H_
