// The ROS 2 test peers against each other in one domain, without a relay:
// what the relay tests take for granted about them.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// One peer process with its stdout captured in a temporary file. Killed on
// destruction if it is still running.
class Peer {
 public:
  Peer(const std::string& program, std::vector<std::string> args)
      : output_(std::tmpfile(), &std::fclose) {
    std::vector<std::string> argv_storage = {std::string(ROS2_PEERS_DIR) + "/" + program};
    argv_storage.insert(argv_storage.end(), args.begin(), args.end());
    std::fflush(stdout);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fileno(output_.get()), STDOUT_FILENO);
      std::vector<char*> argv;
      for (std::string& arg : argv_storage) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }

  ~Peer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  void Terminate() {
    if (pid_ > 0) kill(pid_, SIGTERM);
  }

  // Waits for the exit (bounded, then kills) and returns the exit status.
  int Wait() {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > limit) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    ReadLines();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  const Lines& lines() const { return lines_; }

 private:
  void ReadLines() {
    std::rewind(output_.get());
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, output_.get()) != nullptr) {
      std::string line = buffer;
      if (!line.empty() && line.back() == '\n') line.pop_back();
      lines_.push_back(line);
    }
  }

  std::unique_ptr<FILE, int (*)(FILE*)> output_;
  pid_t pid_ = -1;
  Lines lines_;
};

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// True when every prefix matches a line, in this order.
bool HasInOrder(const Lines& lines, const Lines& prefixes) {
  size_t next = 0;
  for (const std::string& line : lines) {
    if (next < prefixes.size() && StartsWith(line, prefixes[next])) ++next;
  }
  return next == prefixes.size();
}

Lines WithPrefix(const Lines& lines, const std::string& prefix) {
  Lines found;
  for (const std::string& line : lines) {
    if (StartsWith(line, prefix)) found.push_back(line);
  }
  return found;
}

std::string Join(const Lines& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TEST(Ros2PeersTest, BadOptionsExitWithStatusTwo) {
  const std::vector<std::pair<std::string, Lines>> cases = {
      {"ros2_talker", {"--bogus", "1"}},        {"ros2_listener", {"--count", "ten"}},
      {"ros2_add_client", {"--no-wait=maybe"}}, {"ros2_add_server", {"--domain"}},
      {"ros2_fib_client", {"stray"}},           {"ros2_fib_server", {"--period-ms=fast"}},
  };
  for (const auto& [program, args] : cases) {
    Peer peer(program, args);
    EXPECT_EQ(peer.Wait(), 2) << program;
  }
}

TEST(Ros2PeersTest, ListenerHearsEveryMessageInOrder) {
  Peer listener("ros2_listener", {"--domain", "60", "--topic", "/peers/chatter", "--count", "20",
                                  "--timeout", "15"});
  Peer talker("ros2_talker", {"--domain", "60", "--topic", "/peers/chatter", "--count", "20",
                              "--period-ms", "10", "--timeout", "15"});
  ASSERT_EQ(talker.Wait(), 0) << Join(talker.lines());
  ASSERT_EQ(listener.Wait(), 0) << Join(listener.lines());
  Lines expected;
  for (int i = 1; i <= 20; ++i) expected.push_back("heard Hello World: " + std::to_string(i));
  EXPECT_EQ(WithPrefix(listener.lines(), "heard "), expected);
  EXPECT_EQ(listener.lines().back(), "done received=20");
}

TEST(Ros2PeersTest, AddClientChecksEveryReply) {
  struct Case {
    std::string fault;
    int exit_status;
    Lines client_lines;
  };
  const std::vector<Case> cases = {
      {"none",
       0,
       {"ready guid=", "sum seq=1 a=1 b=101 sum=102", "sum seq=3 a=3 b=103 sum=106",
        "done replies=3"}},
      {"sum", 1, {"ready guid=", "error wrong sum seq=1 got=103 want=102"}},
      {"seq", 1, {"ready guid=", "error unexpected seq=1001"}},
      {"guid", 1, {"ready guid=", "ignored guid=", "timeout replies=0"}},
  };
  for (const Case& c : cases) {
    Peer server("ros2_add_server", {"--domain", "61", "--fault", c.fault, "--timeout", "20"});
    Peer client("ros2_add_client", {"--domain", "61", "--count", "3", "--timeout", "4"});
    EXPECT_EQ(client.Wait(), c.exit_status) << c.fault << "\n" << Join(client.lines());
    EXPECT_TRUE(HasInOrder(client.lines(), c.client_lines)) << c.fault << "\n"
                                                            << Join(client.lines());
    server.Terminate();
    EXPECT_EQ(server.Wait(), 0) << c.fault;
    EXPECT_TRUE(HasInOrder(server.lines(), {"ready", "request guid=", "done served="}))
        << c.fault << "\n"
        << Join(server.lines());
  }
}

TEST(Ros2PeersTest, ConcurrentClientsGetExactlyTheirOwnReplies) {
  constexpr int kCalls = 10;
  Peer server("ros2_add_server",
              {"--domain", "62", "--count", std::to_string(2 * kCalls), "--timeout", "20"});
  const std::vector<int> bases = {0, 1000};
  std::vector<std::unique_ptr<Peer>> clients;
  for (const int base : bases) {
    clients.push_back(std::make_unique<Peer>(
        "ros2_add_client",
        Lines{"--domain", "62", "--count", std::to_string(kCalls), "--a", std::to_string(base),
              "--window", "2", "--settle-ms", "500", "--timeout", "20"}));
  }
  Lines guids;
  for (size_t i = 0; i < clients.size(); ++i) {
    Peer& client = *clients[i];
    ASSERT_EQ(client.Wait(), 0) << Join(client.lines());
    Lines expected;
    for (int n = 1; n <= kCalls; ++n) {
      const int a = bases[i] + n;
      const int b = 100 + n;
      expected.push_back("sum seq=" + std::to_string(n) + " a=" + std::to_string(a) +
                         " b=" + std::to_string(b) + " sum=" + std::to_string(a + b));
    }
    Lines sums = WithPrefix(client.lines(), "sum ");
    std::sort(sums.begin(), sums.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sums, expected);
    const Lines ready = WithPrefix(client.lines(), "ready guid=");
    ASSERT_EQ(ready.size(), 1u);
    guids.push_back(ready[0].substr(std::string("ready guid=").size()));
  }
  EXPECT_NE(guids[0], guids[1]);
  ASSERT_EQ(server.Wait(), 0) << Join(server.lines());
  for (const std::string& guid : guids) {
    EXPECT_EQ(WithPrefix(server.lines(), "request guid=" + guid).size(), size_t{kCalls});
  }
}

TEST(Ros2PeersTest, FibonacciGoalFeedbackResultAndCancel) {
  Peer server("ros2_fib_server", {"--domain", "63", "--count", "2", "--timeout", "20"});
  Peer client("ros2_fib_client", {"--domain", "63", "--timeout", "20"});
  ASSERT_EQ(client.Wait(), 0) << Join(client.lines());
  const Lines& lines = client.lines();
  EXPECT_TRUE(HasInOrder(lines, {"ready", "accepted goal=1 id=", "feedback goal=1 partial=0 1 1",
                                 "result goal=1 status=4 sequence=0 1 1 2 3 5",
                                 "accepted goal=2 id=", "cancel goal=2 return_code=0 canceling=1",
                                 "result goal=2 status=5 sequence=0 1", "done"}))
      << Join(lines);
  EXPECT_EQ(WithPrefix(lines, "feedback goal=1 ").size(), 4u) << Join(lines);
  EXPECT_EQ(WithPrefix(lines, "status goal=1 code=4").size(), 1u) << Join(lines);
  EXPECT_EQ(WithPrefix(lines, "status goal=2 code=5").size(), 1u) << Join(lines);
  ASSERT_EQ(server.Wait(), 0) << Join(server.lines());
  EXPECT_TRUE(HasInOrder(server.lines(), {"ready", "goal id=", "result id=", "goal id=",
                                          "cancel id=", "result id=", "done results=2"}))
      << Join(server.lines());
}

TEST(Ros2PeersTest, FibonacciOrderLimits) {
  struct Case {
    std::string order;
    int exit_status;
    std::string client_line;
  };
  const std::vector<Case> cases = {
      {"1", 0, "result goal=1 status=4 sequence=0 1"},  // done at once, no feedback
      {"0", 1, "error goal=1 rejected"},
      {"47", 1, "error goal=1 rejected"},  // would overflow int32
  };
  for (const Case& c : cases) {
    Peer server("ros2_fib_server", {"--domain", "64", "--timeout", "20"});
    Peer client("ros2_fib_client",
                {"--domain", "64", "--order", c.order, "--cancel-order", "30", "--timeout", "10"});
    EXPECT_EQ(client.Wait(), c.exit_status) << c.order << "\n" << Join(client.lines());
    EXPECT_EQ(WithPrefix(client.lines(), c.client_line).size(), 1u) << c.order << "\n"
                                                                    << Join(client.lines());
    server.Terminate();
    EXPECT_EQ(server.Wait(), 0) << c.order;
    const Lines goals = WithPrefix(server.lines(), "goal id=");
    ASSERT_FALSE(goals.empty()) << c.order;
    const std::string accepted = c.exit_status == 0 ? "accepted=1" : "accepted=0";
    EXPECT_EQ(goals.front().substr(goals.front().size() - accepted.size()), accepted) << c.order;
  }
}

}  // namespace
