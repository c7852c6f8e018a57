// corvane between Fast DDS and Cyclone DDS peers: the publisher in the
// source domain, the subscriber in the destination domain, corvane in
// between (on Cyclone DDS for topics, on Fast DDS for service and action
// requests and replies). Each case has its own pair of domains.
//
// Order matters because corvane's endpoints are volatile and a match is seen
// by its two sides up to a second apart: the subscriber comes first, then
// corvane; the publisher starts only once the subscriber has matched
// corvane's writer, and waits after its own match until corvane's reader has
// surely matched it too.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tests/app/corvane_harness.h"
#include "tests/interop/interop_harness.h"
#include "tests/interop/peer_process.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Longer than the one second by which the two sides of a match may differ.
const uint32_t SETTLE_MS = 1500;
// Each peer's own limit; only a failing run comes near it.
const double PEER_TIMEOUT_SECONDS = 15;
const auto PEER_EXIT_LIMIT = seconds(30);
const auto MATCH_LIMIT = seconds(10);

std::string RuleSide(const char* key, int domain_id) {
  return "    " + std::string(key) + ":\n      domain_id: " + std::to_string(domain_id) +
         "\n      reliability: reliable\n";
}

// One reliable rule. Services and actions name their sides after the
// clients' (proxy_service) and the server's (service) domain.
std::string Rule(const std::string& type, const std::string& topic, const std::string& data_type,
                 int src, int dst) {
  const bool service = type == "ros2-service" || type == "ros2-action";
  return "  - type: " + type + "\n    topic: " + topic + "\n    data_type: " + data_type + "\n" +
         RuleSide(service ? "proxy_service" : "src", src) +
         RuleSide(service ? "service" : "dst", dst);
}

// A rule file with one rule.
std::string RuleFile(const std::string& type, const std::string& topic,
                     const std::string& data_type, int src, int dst) {
  return "rules:\n" + Rule(type, topic, data_type, src, dst);
}

// The corvane binary running one rule file, from its banner until Stop.
class Relay {
 public:
  // `log_level`: TAVRINDDS_LOG_LEVEL, or empty for corvane's default.
  explicit Relay(const std::string& rules, const std::string& log_level = "") : rules_(rules) {
    const std::string path = dir_.WriteFile("bridge.yaml", rules_);
    if (path.empty()) {
      error_ = "cannot write the rule file";
      return;
    }
    corvane_test::ChildOptions options = corvane_test::CorvaneOptions(dir_.path(), {"-c", path});
    if (!log_level.empty()) options.set_env["TAVRINDDS_LOG_LEVEL"] = log_level;
    child_ = corvane_test::ChildProcess::Start(options, &error_);
    running_ = child_ != nullptr &&
               child_->WaitForStderr(corvane_test::kBannerRunning, corvane_test::kHangTimeout);
  }

  bool running() const { return running_; }

  // SIGTERM, then the way the process ended.
  corvane_test::ChildExit Stop() {
    if (child_ == nullptr) return corvane_test::ChildExit();
    child_->SendSignal(SIGTERM);
    return child_->Wait(corvane_test::kHangTimeout);
  }

  std::string Stderr() const { return child_ == nullptr ? std::string() : child_->Stderr(); }

  std::string Output() const {
    std::string text = "corvane with rules:\n" + rules_;
    if (child_ == nullptr) return text + "not started: " + error_ + "\n";
    return text + "--- stderr\n" + child_->Stderr();
  }

 private:
  corvane_test::TempDir dir_;
  std::string rules_;
  std::string error_;
  std::unique_ptr<corvane_test::ChildProcess> child_;
  bool running_ = false;
};

std::string Transcript(const char* who, const PeerProcess& peer) {
  std::string text = std::string("--- ") + who + "\n";
  for (const std::string& line : peer.lines()) text += line + "\n";
  return text;
}

struct RelayCase {
  const char* name;
  Vendor publisher;
  Vendor subscriber;
  int src_domain;
  int dst_domain;
  const char* rule_type;
  const char* topic;
  const char* data_type;
  const char* kind;  // The peers' "sample" or "chatter".
  uint32_t size;
  uint32_t count;
};

void PrintTo(const RelayCase& test, std::ostream* out) {
  *out << test.name;
}

TrafficSpec TrafficOf(const RelayCase& test) {
  TrafficSpec traffic;
  traffic.kind = test.kind;
  traffic.reliable = true;
  // Volatile: a transient-local reader would also get the sample that
  // corvane's writer keeps for late joiners.
  traffic.transient_local = false;
  traffic.size = test.size;
  traffic.count = test.count;
  traffic.settle_ms = SETTLE_MS;
  traffic.timeout_seconds = PEER_TIMEOUT_SECONDS;
  return traffic;
}

class RelayInteropTest : public ::testing::TestWithParam<RelayCase> {};

TEST_P(RelayInteropTest, SubscriberGetsExactlyWhatPublisherSent) {
  const RelayCase& test = GetParam();
  const TrafficSpec traffic = TrafficOf(test);
  std::unique_ptr<PeerProcess> subscriber = PeerProcess::Start(
      PeerCommand(test.subscriber, "sub", test.dst_domain, traffic), PeerEnvironment());
  ASSERT_NE(subscriber, nullptr);
  ASSERT_TRUE(subscriber->WaitForLine("ready", MATCH_LIMIT)) << Transcript("sub", *subscriber);

  Relay relay(
      RuleFile(test.rule_type, test.topic, test.data_type, test.src_domain, test.dst_domain));
  ASSERT_TRUE(relay.running()) << relay.Output();
  // A pattern rule makes its writer only once it has found the publisher,
  // which waits for corvane's reader and then settles.
  const bool pattern = std::string(test.topic).find('*') != std::string::npos;
  ASSERT_TRUE(pattern || subscriber->WaitForLine("matched writers=1", MATCH_LIMIT))
      << Transcript("sub", *subscriber) << relay.Output();

  std::unique_ptr<PeerProcess> publisher = PeerProcess::Start(
      PeerCommand(test.publisher, "pub", test.src_domain, traffic), PeerEnvironment());
  ASSERT_NE(publisher, nullptr);
  const int publisher_status = publisher->WaitForExit(PEER_EXIT_LIMIT);
  const int subscriber_status = subscriber->WaitForExit(PEER_EXIT_LIMIT);
  const corvane_test::ChildExit relay_exit = relay.Stop();

  const std::string context =
      Transcript("pub", *publisher) + Transcript("sub", *subscriber) + relay.Output();
  EXPECT_EQ(publisher_status, 0) << context;
  EXPECT_EQ(subscriber_status, 0) << context;
  EXPECT_EQ(CompareTraffic(publisher->lines(), subscriber->lines(), true), "") << context;
  EXPECT_TRUE(relay_exit.ExitedWith(0)) << relay_exit << "\n" << relay.Output();
}

// Each direction has one fragmented case: samples larger than a datagram
// are cut up by the writer of one vendor and put together by the reader of
// the other on one of the two hops.
INSTANTIATE_TEST_SUITE_P(
    Relayed, RelayInteropTest,
    ::testing::Values(
        RelayCase{"FastDdsToCycloneSample", Vendor::kFastDds, Vendor::kCyclone, 100, 101, "dds",
                  "interop_sample", "interop::Sample", "sample", 64, 50},
        RelayCase{"CycloneToFastDdsFragmentedSample", Vendor::kCyclone, Vendor::kFastDds, 102, 103,
                  "dds", "interop_sample", "interop::Sample", "sample", 100000, 10},
        RelayCase{"FastDdsToCycloneFragmentedChatter", Vendor::kFastDds, Vendor::kCyclone, 104, 105,
                  "ros2-msg", "/chatter", "std_msgs/msg/String", "chatter", 70000, 10},
        RelayCase{"CycloneToFastDdsChatter", Vendor::kCyclone, Vendor::kFastDds, 106, 107,
                  "ros2-msg", "/chatter", "std_msgs/msg/String", "chatter", 32, 50},
        // Cyclone's discovery shows a Fast DDS publisher to a pattern rule.
        RelayCase{"FastDdsChatterFoundByPattern", Vendor::kFastDds, Vendor::kCyclone, 132, 133,
                  "ros2-msg", "/**", "\"*\"", "chatter", 32, 20}),
    [](const ::testing::TestParamInfo<RelayCase>& info) { return info.param.name; });

std::vector<std::string> ServicePeerCommand(const char* role, int domain_id, uint32_t count = 10,
                                            uint32_t size = 32,
                                            std::vector<std::string> extra = {}) {
  std::vector<std::string> command = {INTEROP_FASTDDS_SERVICE_PEER,
                                      role,
                                      "--domain",
                                      std::to_string(domain_id),
                                      "--service",
                                      "/echo",
                                      "--type",
                                      "interop/srv/Echo",
                                      "--count",
                                      std::to_string(count),
                                      "--size",
                                      std::to_string(size),
                                      "--settle-ms",
                                      std::to_string(SETTLE_MS),
                                      "--timeout",
                                      std::to_string(static_cast<int>(PEER_TIMEOUT_SECONDS))};
  command.insert(command.end(), extra.begin(), extra.end());
  return command;
}

// The lines with their stamp fields removed.
std::vector<std::string> WithoutStamps(std::vector<std::string> lines) {
  for (std::string& line : lines) {
    const size_t at = line.find(" stamp=");
    if (at == std::string::npos) continue;
    const size_t end = line.find(' ', at + 1);
    line.erase(at, end == std::string::npos ? std::string::npos : end - at);
  }
  return lines;
}

// Fast DDS client and server on both sides of a service rule. Requests reach
// the server intact and replies come back intact and paired: the client
// exits 0 only when every reply names one of its own requests.
TEST(RelayServiceInteropTest, RequestsAndRepliesCrossBetweenFastDdsClientAndServer) {
  const int client_domain = 108;
  const int server_domain = 109;
  std::unique_ptr<PeerProcess> server =
      PeerProcess::Start(ServicePeerCommand("server", server_domain), PeerEnvironment());
  ASSERT_NE(server, nullptr);
  ASSERT_TRUE(server->WaitForLine("ready", MATCH_LIMIT)) << Transcript("server", *server);

  Relay relay(RuleFile("ros2-service", "/echo", "interop/srv/Echo", client_domain, server_domain));
  ASSERT_TRUE(relay.running()) << relay.Output();
  ASSERT_TRUE(server->WaitForLine("serving", MATCH_LIMIT))
      << Transcript("server", *server) << relay.Output();

  std::unique_ptr<PeerProcess> client =
      PeerProcess::Start(ServicePeerCommand("client", client_domain), PeerEnvironment());
  ASSERT_NE(client, nullptr);
  const int client_status = client->WaitForExit(PEER_EXIT_LIMIT);
  const int server_status = server->WaitForExit(PEER_EXIT_LIMIT);
  const corvane_test::ChildExit relay_exit = relay.Stop();

  const std::string context =
      Transcript("client", *client) + Transcript("server", *server) + relay.Output();
  EXPECT_EQ(client_status, 0) << context;
  EXPECT_EQ(server_status, 0) << context;
  EXPECT_EQ(CompareTraffic(client->lines(), server->lines(), true), "") << "requests\n" << context;
  // Fast DDS cannot stamp a write that names a related sample identity, so
  // the server's reply lines carry no stamp to compare.
  EXPECT_EQ(CompareTraffic(server->lines(), WithoutStamps(client->lines()), true), "")
      << "replies\n"
      << context;
  EXPECT_TRUE(relay_exit.ExitedWith(0)) << relay_exit << "\n" << relay.Output();
}

// --- services and actions between Fast DDS nodes (domains 170-179) ---------

std::vector<std::string> AddPeerCommand(const char* peer, int domain_id,
                                        std::vector<std::string> options) {
  std::vector<std::string> command = {std::string(ROS2_PEERS_DIR) + "/" + peer, "--domain",
                                      std::to_string(domain_id), "--timeout",
                                      std::to_string(static_cast<int>(PEER_TIMEOUT_SECONDS))};
  command.insert(command.end(), options.begin(), options.end());
  return command;
}

// The number in the last "<topic>: N relayed requests await" trace line.
int AwaitingRequests(const std::string& log) {
  const std::string marker = " relayed requests await";
  const size_t end = log.rfind(marker);
  if (end == std::string::npos) return -1;
  const size_t begin = log.rfind(' ', end - 1);
  return std::stoi(log.substr(begin + 1, end - begin - 1));
}

struct Started {
  const char* who;
  std::unique_ptr<PeerProcess> peer;
};

std::string Transcripts(const std::vector<Started>& peers, const Relay& relay) {
  std::string text;
  for (const Started& started : peers) {
    if (started.peer) text += Transcript(started.who, *started.peer);
  }
  return text + relay.Output();
}

// Two clients that pair as Fast DDS does, 50 calls each, get exactly their
// own replies through one rule; in the same corvane, clients that put the
// request header in the payload (ROS 2 on Cyclone DDS) get theirs through
// another.
TEST(RelayServiceInteropTest, FastDdsStyleAndCycloneStyleServicesSideBySide) {
  std::vector<Started> peers;
  peers.push_back(
      {"server", PeerProcess::Start(ServicePeerCommand("server", 171, 100), PeerEnvironment())});
  peers.push_back(
      {"add_server", PeerProcess::Start(AddPeerCommand("ros2_add_server", 173, {"--count", "40"}),
                                        PeerEnvironment())});
  Relay relay("rules:\n" + Rule("ros2-service", "/echo", "interop/srv/Echo", 170, 171) +
              Rule("ros2-service", "/add_two_ints", "example_interfaces/srv/AddTwoInts", 172, 173));
  ASSERT_TRUE(relay.running()) << relay.Output();
  ASSERT_TRUE(peers[0].peer->WaitForLine("serving", MATCH_LIMIT)) << Transcripts(peers, relay);

  peers.push_back({"client 1", PeerProcess::Start(ServicePeerCommand("client", 170, 50, 32),
                                                  PeerEnvironment())});
  peers.push_back({"client 2", PeerProcess::Start(ServicePeerCommand("client", 170, 50, 40),
                                                  PeerEnvironment())});
  for (const char* who : {"add_client 1", "add_client 2"}) {
    peers.push_back({who, PeerProcess::Start(AddPeerCommand("ros2_add_client", 172,
                                                            {"--count", "20", "--window", "4",
                                                             "--settle-ms", "1500"}),
                                             PeerEnvironment())});
  }
  std::vector<int> statuses;
  for (Started& started : peers) {
    ASSERT_NE(started.peer, nullptr) << started.who;
    statuses.push_back(started.peer->WaitForExit(PEER_EXIT_LIMIT));
  }
  const corvane_test::ChildExit relay_exit = relay.Stop();
  const std::string context = Transcripts(peers, relay);
  EXPECT_EQ(statuses, std::vector<int>(peers.size(), 0)) << context;
  const std::vector<std::pair<size_t, const char*>> summaries = {
      {0, "done answered=100 dropped=0 bad=0"},
      {1, "done served=40"},
      {2, "done ok=50 wrong=0"},
      {3, "done ok=50 wrong=0"},
      {4, "done replies=20"},
      {5, "done replies=20"}};
  for (const auto& [index, summary] : summaries) {
    EXPECT_TRUE(peers[index].peer->WaitForLine(summary, seconds(0)))
        << peers[index].who << " lacks \"" << summary << "\"\n"
        << context;
  }
  EXPECT_TRUE(relay_exit.ExitedWith(0)) << relay_exit << "\n" << relay.Output();
}

// Goal accepted, feedback, status and result; a second goal cancelled.
TEST(RelayServiceInteropTest, FastDdsStyleActionCompletesAndCancels) {
  std::vector<Started> peers;
  peers.push_back(
      {"action server", PeerProcess::Start(ServicePeerCommand("action-server", 175, 1, 32,
                                                              {"--type", "interop/action/Fib"}),
                                           PeerEnvironment())});
  Relay relay(RuleFile("ros2-action", "/echo", "interop/action/Fib", 174, 175));
  ASSERT_TRUE(relay.running()) << relay.Output();
  ASSERT_TRUE(peers[0].peer->WaitForLine("serving", MATCH_LIMIT)) << Transcripts(peers, relay);
  peers.push_back(
      {"action client", PeerProcess::Start(ServicePeerCommand("action-client", 174, 1, 32,
                                                              {"--type", "interop/action/Fib"}),
                                           PeerEnvironment())});
  const int client_status = peers[1].peer->WaitForExit(PEER_EXIT_LIMIT);
  const int server_status = peers[0].peer->WaitForExit(PEER_EXIT_LIMIT);
  const corvane_test::ChildExit relay_exit = relay.Stop();
  const std::string context = Transcripts(peers, relay);
  EXPECT_EQ(client_status, 0) << context;
  EXPECT_EQ(server_status, 0) << context;
  for (const char* line : {"accepted goal=1", "feedback goal=1", "result goal=1 state=succeeded",
                           "status goal=1 state=succeeded", "canceling goal=2",
                           "result goal=2 state=canceled", "done ok=5 wrong=0"}) {
    const std::vector<std::string>& lines = peers[1].peer->lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [line](const std::string& seen) { return seen.rfind(line, 0) == 0; }))
        << line << "\n"
        << context;
  }
  EXPECT_TRUE(relay_exit.ExitedWith(0)) << relay_exit << "\n" << relay.Output();
}

// A server killed in the middle of the calls and started again, and a client
// that leaves before its replies: corvane goes on serving the next client,
// and the replies that came back emptied its table again.
TEST(RelayServiceInteropTest, ServerRestartAndClientLeavingLeaveNothingBehind) {
  std::vector<Started> peers;
  peers.push_back({"server 1", PeerProcess::Start(
                                   ServicePeerCommand("server", 177, 10, 32, {"--delay-ms", "200"}),
                                   PeerEnvironment())});
  Relay relay(RuleFile("ros2-service", "/echo", "interop/srv/Echo", 176, 177), "0");
  ASSERT_TRUE(relay.running()) << relay.Output();
  ASSERT_TRUE(peers[0].peer->WaitForLine("serving", MATCH_LIMIT)) << Transcripts(peers, relay);

  peers.push_back(
      {"client 1", PeerProcess::Start(ServicePeerCommand("client", 176, 10), PeerEnvironment())});
  ASSERT_TRUE(peers[0].peer->WaitForLine("recv seq=3", MATCH_LIMIT)) << Transcripts(peers, relay);
  peers[0].peer->Signal(SIGKILL);
  peers[1].peer->Signal(SIGKILL);
  peers.push_back({"server 2", PeerProcess::Start(
                                   ServicePeerCommand("server", 177, 15, 32, {"--delay-ms", "100"}),
                                   PeerEnvironment())});
  ASSERT_TRUE(peers[2].peer->WaitForLine("serving", MATCH_LIMIT)) << Transcripts(peers, relay);
  const int left_by_server_1 = AwaitingRequests(relay.Stderr());

  peers.push_back(
      {"client 2", PeerProcess::Start(ServicePeerCommand("client", 176, 5), PeerEnvironment())});
  ASSERT_TRUE(peers[3].peer->WaitForLine("sent seq=5", MATCH_LIMIT)) << Transcripts(peers, relay);
  peers[3].peer->Signal(SIGKILL);
  peers.push_back(
      {"client 3", PeerProcess::Start(ServicePeerCommand("client", 176, 10), PeerEnvironment())});
  const int client_status = peers[4].peer->WaitForExit(PEER_EXIT_LIMIT);
  const int server_status = peers[2].peer->WaitForExit(PEER_EXIT_LIMIT);
  const int left_at_end = AwaitingRequests(relay.Stderr());
  const corvane_test::ChildExit relay_exit = relay.Stop();
  const std::string context = Transcripts(peers, relay);
  EXPECT_EQ(client_status, 0) << context;
  EXPECT_EQ(server_status, 0) << context;
  EXPECT_TRUE(peers[2].peer->WaitForLine("done answered=15 dropped=0", seconds(0))) << context;
  EXPECT_GE(left_by_server_1, 0) << context;
  EXPECT_LE(left_by_server_1, 10) << context;
  // Client 2's calls were answered or forgotten with it; nothing was added.
  EXPECT_LE(left_at_end, left_by_server_1) << context;
  EXPECT_TRUE(relay_exit.ExitedWith(0)) << relay_exit << "\n" << relay.Output();
}

// --- several rules into one server, long calls (domains 160-169) -----------

// CI's long runs.
bool LongRuns() {
  const char* value = std::getenv("CORVANE_LONG_FAULT_TESTS");
  return value != nullptr && *value != '\0' && std::string(value) != "0";
}

// Two rules carry one service from two client domains into one server
// domain: each client gets exactly its own replies, alone and while the other
// calls too, whichever way the server pairs them.
class TwoRulesTest : public ::testing::TestWithParam<bool> {};

TEST_P(TwoRulesTest, IntoOneServerKeepTheirReplies) {
  const bool cyclone_server = GetParam();
  const int a = cyclone_server ? 151 : 160;
  const int b = a + 1;
  const int server_domain = a + 2;
  std::vector<Started> peers;
  peers.push_back(
      {"server",
       PeerProcess::Start(cyclone_server ? AddPeerCommand("ros2_echo_peer", server_domain,
                                                          {"--role", "server", "--count", "80"})
                                         : ServicePeerCommand("server", server_domain, 80),
                          PeerEnvironment())});
  Relay relay("rules:\n" + Rule("ros2-service", "/echo", "interop/srv/Echo", a, server_domain) +
              Rule("ros2-service", "/echo", "interop/srv/Echo", b, server_domain));
  ASSERT_TRUE(relay.running()) << relay.Output();
  ASSERT_TRUE(peers[0].peer->WaitForLine("serving", MATCH_LIMIT)) << Transcripts(peers, relay);
  const std::vector<std::vector<int>> rounds = {{a}, {b}, {a, b}};
  for (const std::vector<int>& round : rounds) {
    const size_t first = peers.size();
    for (const int domain : round) {
      // ROS 2 servers keep the last 10 requests: a few calls at a time.
      peers.push_back(
          {domain == a ? "client A" : "client B",
           PeerProcess::Start(ServicePeerCommand("client", domain, 20, 32, {"--window", "4"}),
                              PeerEnvironment())});
    }
    for (size_t i = first; i < peers.size(); i++) {
      ASSERT_NE(peers[i].peer, nullptr);
      EXPECT_EQ(peers[i].peer->WaitForExit(PEER_EXIT_LIMIT), 0) << Transcripts(peers, relay);
      EXPECT_TRUE(peers[i].peer->WaitForLine("done ok=20 wrong=0 foreign=0", seconds(0)))
          << peers[i].who << "\n"
          << Transcripts(peers, relay);
    }
  }
  EXPECT_EQ(peers[0].peer->WaitForExit(PEER_EXIT_LIMIT), 0) << Transcripts(peers, relay);
  EXPECT_TRUE(relay.Stop().ExitedWith(0)) << relay.Output();
}

INSTANTIATE_TEST_SUITE_P(Servers, TwoRulesTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "CycloneStyle" : "FastDdsStyle";
                         });

// Calls that pair through their payload (ROS 2 on Cyclone DDS) cost no
// ledger entry: none awaits a reply and nothing is warned, however long the
// calls go on (70 s at 20 Hz in long runs, past any age a ledger could give).
TEST(RelayServiceInteropTest, PayloadPairedCallsLeaveNoEntries) {
  const std::string calls = LongRuns() ? "1400" : "40";
  const std::string timeout = LongRuns() ? "160" : "20";
  std::vector<Started> peers;
  peers.push_back(
      {"add_server", PeerProcess::Start(AddPeerCommand("ros2_add_server", 168,
                                                       {"--count", calls, "--timeout", timeout}),
                                        PeerEnvironment())});
  Relay relay(
      RuleFile("ros2-service", "/add_two_ints", "example_interfaces/srv/AddTwoInts", 167, 168),
      "0");
  ASSERT_TRUE(relay.running()) << relay.Output();
  peers.push_back({"add_client",
                   PeerProcess::Start(AddPeerCommand("ros2_add_client", 167,
                                                     {"--count", calls, "--period-ms", "50",
                                                      "--settle-ms", "1500", "--timeout", timeout}),
                                      PeerEnvironment())});
  const auto limit = seconds(std::stoi(timeout) + 10);
  // Both peers print a line per call: read them as they come, or a full
  // pipe would stop the server in the middle of the calls.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool served = false;
  bool answered = false;
  while (!(served && answered) && std::chrono::steady_clock::now() < deadline) {
    served = served || peers[0].peer->WaitForLine("done served=", milliseconds(100));
    answered = answered || peers[1].peer->WaitForLine("done replies=" + calls, milliseconds(100));
  }
  EXPECT_TRUE(served && answered) << Transcripts(peers, relay);
  EXPECT_EQ(peers[1].peer->WaitForExit(limit), 0) << Transcripts(peers, relay);
  EXPECT_EQ(peers[0].peer->WaitForExit(limit), 0) << Transcripts(peers, relay);
  const corvane_test::ChildExit relay_exit = relay.Stop();
  const std::string log = relay.Stderr();
  EXPECT_EQ(log.find("relayed requests await"), std::string::npos) << relay.Output();
  EXPECT_EQ(log.find("[WARNING]"), std::string::npos) << relay.Output();
  EXPECT_EQ(log.find("[ERROR]"), std::string::npos) << relay.Output();
  EXPECT_TRUE(relay_exit.ExitedWith(0)) << relay_exit << "\n" << relay.Output();
}

// A call answered 65 s after its request and an action goal that runs for
// 70 s both reach their client. Long runs only.
TEST(RelayServiceInteropTest, LongCallAndLongGoalAreAnswered) {
  if (!LongRuns()) GTEST_SKIP() << "a long run (CORVANE_LONG_FAULT_TESTS=1)";
  const std::vector<std::string> late = {"--timeout", "100"};
  std::vector<Started> peers;
  std::vector<std::string> server = ServicePeerCommand("server", 164, 1, 32, late);
  server.insert(server.end(), {"--delay-ms", "65000"});
  std::vector<std::string> action_server = ServicePeerCommand(
      "action-server", 166, 1, 32, {"--type", "interop/action/Fib", "--delay-ms", "70000"});
  action_server.insert(action_server.end(), late.begin(), late.end());
  peers.push_back({"server", PeerProcess::Start(server, PeerEnvironment())});
  peers.push_back({"action server", PeerProcess::Start(action_server, PeerEnvironment())});
  Relay relay("rules:\n" + Rule("ros2-service", "/echo", "interop/srv/Echo", 163, 164) +
              Rule("ros2-action", "/echo", "interop/action/Fib", 165, 166));
  ASSERT_TRUE(relay.running()) << relay.Output();
  for (size_t i = 0; i < 2; i++) {
    ASSERT_TRUE(peers[i].peer->WaitForLine("serving", MATCH_LIMIT)) << Transcripts(peers, relay);
  }
  peers.push_back({"client", PeerProcess::Start(ServicePeerCommand("client", 163, 1, 32, late),
                                                PeerEnvironment())});
  peers.push_back(
      {"action client",
       PeerProcess::Start(ServicePeerCommand("action-client", 165, 1, 32,
                                             {"--type", "interop/action/Fib", "--timeout", "100"}),
                          PeerEnvironment())});
  for (Started& started : peers) {
    EXPECT_EQ(started.peer->WaitForExit(seconds(120)), 0) << started.who << "\n"
                                                          << Transcripts(peers, relay);
  }
  EXPECT_TRUE(peers[2].peer->WaitForLine("done ok=1 wrong=0", seconds(0)))
      << Transcripts(peers, relay);
  EXPECT_TRUE(peers[3].peer->WaitForLine("result goal=1 state=succeeded", seconds(0)))
      << Transcripts(peers, relay);
  EXPECT_TRUE(relay.Stop().ExitedWith(0)) << relay.Output();
}

// Clients and servers that pair replies in different ways call each other
// through corvane, 20 calls each way: a Fast-DDS-style client with a
// Cyclone-style server, and a Cyclone-style client with a Fast-DDS-style
// server. Every answer is right, and no server sees a request of the wrong
// shape (it would count it as bad).
TEST(RelayServiceInteropTest, ServicesCrossBetweenPairingStyles) {
  const auto echo = [](const char* role, int domain) {
    return AddPeerCommand("ros2_echo_peer", domain, {"--role", role, "--count", "20"});
  };
  std::vector<Started> peers;
  peers.push_back({"fast server",
                   PeerProcess::Start(ServicePeerCommand("server", 157, 20), PeerEnvironment())});
  peers.push_back({"cyclone server", PeerProcess::Start(echo("server", 159), PeerEnvironment())});
  Relay relay("rules:\n" + Rule("ros2-service", "/echo", "interop/srv/Echo", 156, 157) +
              Rule("ros2-service", "/echo", "interop/srv/Echo", 158, 159));
  ASSERT_TRUE(relay.running()) << relay.Output();
  for (size_t i = 0; i < 2; i++) {
    ASSERT_TRUE(peers[i].peer->WaitForLine("serving", MATCH_LIMIT)) << Transcripts(peers, relay);
  }
  peers.push_back({"cyclone client", PeerProcess::Start(echo("client", 156), PeerEnvironment())});
  // ROS 2 servers keep the last 10 requests: a few calls at a time.
  peers.push_back({"fast client",
                   PeerProcess::Start(ServicePeerCommand("client", 158, 20, 32, {"--window", "4"}),
                                      PeerEnvironment())});
  for (Started& started : peers) {
    EXPECT_EQ(started.peer->WaitForExit(PEER_EXIT_LIMIT), 0) << started.who << "\n"
                                                             << Transcripts(peers, relay);
  }
  const std::vector<std::pair<size_t, const char*>> summaries = {
      {0, "done answered=20 dropped=0 bad=0"},
      {1, "done answered=20 bad=0"},
      {2, "done ok=20 wrong=0"},
      {3, "done ok=20 wrong=0"}};
  for (const auto& [index, summary] : summaries) {
    EXPECT_TRUE(peers[index].peer->WaitForLine(summary, seconds(0)))
        << peers[index].who << " lacks \"" << summary << "\"\n"
        << Transcripts(peers, relay);
  }
  EXPECT_TRUE(relay.Stop().ExitedWith(0)) << relay.Output();
}

// The same crossings for an action (domains 185-188): goal, feedback, status,
// result, and a second goal canceled, each way.
TEST(RelayServiceInteropTest, ActionsCrossBetweenPairingStyles) {
  const auto echo = [](const char* role, int domain) {
    return AddPeerCommand("ros2_echo_peer", domain, {"--role", role});
  };
  const std::vector<std::string> fib = {"--type", "interop/action/Fib"};
  std::vector<Started> peers;
  peers.push_back(
      {"fast server", PeerProcess::Start(ServicePeerCommand("action-server", 186, 1, 32, fib),
                                         PeerEnvironment())});
  peers.push_back(
      {"cyclone server", PeerProcess::Start(echo("action-server", 188), PeerEnvironment())});
  Relay relay("rules:\n" + Rule("ros2-action", "/echo", "interop/action/Fib", 185, 186) +
              Rule("ros2-action", "/echo", "interop/action/Fib", 187, 188));
  ASSERT_TRUE(relay.running()) << relay.Output();
  for (size_t i = 0; i < 2; i++) {
    ASSERT_TRUE(peers[i].peer->WaitForLine("serving", MATCH_LIMIT)) << Transcripts(peers, relay);
  }
  peers.push_back(
      {"cyclone client", PeerProcess::Start(echo("action-client", 185), PeerEnvironment())});
  peers.push_back(
      {"fast client", PeerProcess::Start(ServicePeerCommand("action-client", 187, 1, 32, fib),
                                         PeerEnvironment())});
  for (Started& started : peers) {
    EXPECT_EQ(started.peer->WaitForExit(PEER_EXIT_LIMIT), 0) << started.who << "\n"
                                                             << Transcripts(peers, relay);
  }
  const std::vector<std::pair<size_t, std::vector<const char*>>> expected = {
      {0, {"done goals=2 dropped=0"}},
      {1, {"done goals=2 bad=0"}},
      {2,
       {"accepted 1", "feedback 1 1", "result 1 succeeded", "status 1 succeeded", "canceling 2",
        "result 2 canceled", "status 2 canceled", "done ok=5 wrong=0"}},
      {3,
       {"result goal=1 state=succeeded", "status goal=1 state=succeeded",
        "result goal=2 state=canceled", "done ok=5 wrong=0"}}};
  for (const auto& [index, lines] : expected) {
    const std::vector<std::string>& seen = peers[index].peer->lines();
    for (const char* line : lines) {
      EXPECT_TRUE(std::any_of(seen.begin(), seen.end(),
                              [line](const std::string& one) { return one.rfind(line, 0) == 0; }))
          << peers[index].who << " lacks \"" << line << "\"\n"
          << Transcripts(peers, relay);
    }
  }
  // Each of an action's topics has match lines of its own.
  for (const char* line : {"rule 0 rq/echo/_action/send_goalRequest domain 185: first publisher",
                           "rule 1 rr/echo/_action/get_resultReply domain 187: first subscriber",
                           "rule 1 rt/echo/_action/status domain 188: first publisher"}) {
    EXPECT_NE(relay.Output().find(line), std::string::npos) << line << "\n" << relay.Output();
  }
  EXPECT_TRUE(relay.Stop().ExitedWith(0)) << relay.Output();
}

}  // namespace
