// corvane between Fast DDS and Cyclone DDS peers: the publisher in the
// source domain, the subscriber in the destination domain, corvane on
// Cyclone DDS in between. Each case has its own pair of domains.
//
// Order matters because corvane's endpoints are volatile and a match is seen
// by its two sides up to a second apart: the subscriber comes first, then
// corvane; the publisher starts only once the subscriber has matched
// corvane's writer, and waits after its own match until corvane's reader has
// surely matched it too.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tests/app/corvane_harness.h"
#include "tests/interop/interop_harness.h"
#include "tests/interop/peer_process.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

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

// A rule file with one reliable rule. Services name their sides after the
// clients' (proxy_service) and the server's (service) domain.
std::string RuleFile(const std::string& type, const std::string& topic,
                     const std::string& data_type, int src, int dst) {
  const bool service = type == "ros2-service";
  return "rules:\n  - type: " + type + "\n    topic: " + topic + "\n    data_type: " + data_type +
         "\n" + RuleSide(service ? "proxy_service" : "src", src) +
         RuleSide(service ? "service" : "dst", dst);
}

// The corvane binary running one rule file, from its banner until Stop.
class Relay {
 public:
  explicit Relay(const std::string& rules) : rules_(rules) {
    const std::string path = dir_.WriteFile("bridge.yaml", rules_);
    if (path.empty()) {
      error_ = "cannot write the rule file";
      return;
    }
    child_ = corvane_test::ChildProcess::Start(
        corvane_test::CorvaneOptions(dir_.path(), {"-c", path}), &error_);
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
  ASSERT_TRUE(subscriber->WaitForLine("matched writers=1", MATCH_LIMIT))
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
                  "ros2-msg", "/chatter", "std_msgs/msg/String", "chatter", 32, 50}),
    [](const ::testing::TestParamInfo<RelayCase>& info) { return info.param.name; });

std::vector<std::string> ServicePeerCommand(const char* role, int domain_id) {
  return {INTEROP_FASTDDS_SERVICE_PEER,
          role,
          "--domain",
          std::to_string(domain_id),
          "--service",
          "/echo",
          "--type",
          "interop/srv/Echo",
          "--count",
          "10",
          "--size",
          "32",
          "--settle-ms",
          std::to_string(SETTLE_MS),
          "--timeout",
          std::to_string(static_cast<int>(PEER_TIMEOUT_SECONDS))};
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

}  // namespace
