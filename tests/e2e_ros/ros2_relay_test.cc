// corvane between ROS 2-like peers in two DDS domains: a ROS 2 topic, a
// service and an action relayed through the real binary, in the direction
// each rule gives and no other.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e_ros/ros2_relay_harness.h"

namespace corvane_test {
namespace {

const char kMsgType[] = "std_msgs/msg/String";
const char kSrvType[] = "example_interfaces/srv/AddTwoInts";
const char kActionType[] = "example_interfaces/action/Fibonacci";

// Long enough for a wrongly relayed sample to show up: discovery on loopback
// and a write take well under a second.
constexpr int kSilenceSeconds = 3;

std::string Str(int value) {
  return std::to_string(value);
}

Lines Heard(const std::string& message, int count) {
  Lines lines;
  for (int n = 1; n <= count; ++n) lines.push_back("heard " + message + ": " + Str(n));
  return lines;
}

// The client's "sum" lines for calls 1..count with a = base + n, b = 100 + n.
Lines Sums(int base, int count) {
  Lines lines;
  for (int n = 1; n <= count; ++n) {
    const int a = base + n;
    const int b = 100 + n;
    lines.push_back("sum seq=" + Str(n) + " a=" + Str(a) + " b=" + Str(b) + " sum=" + Str(a + b));
  }
  return lines;
}

Lines Sorted(Lines lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST(RosTopicRelay, CarriesSourceToDestinationOnly) {
  constexpr int kSrc = 65, kDst = 66, kCount = 5;
  Relay relay({{"ros2-msg", "/chatter", kMsgType, kSrc, kDst}});
  ASSERT_TRUE(relay.running()) << relay.Output();

  {
    Peer listener(kListener, {"--domain", Str(kDst), "--publishers", "1", "--count", Str(kCount)});
    ASSERT_TRUE(listener.WaitFor("ready")) << listener.Output() << relay.Output();
    Peer talker(kTalker, {"--domain", Str(kSrc), "--count", Str(kCount), "--period-ms", "50",
                          "--settle-ms", "200"});
    EXPECT_EQ(talker.Finish(), 0) << talker.Output();
    EXPECT_EQ(listener.Finish(), 0) << listener.Output() << relay.Output();
    EXPECT_EQ(WithPrefix(listener.lines(), "heard "), Heard("Hello World", kCount))
        << listener.Output();
  }

  // The talker waits without a match, so that a wrongly bridged reader in
  // the destination domain would have time to be discovered.
  Peer listener(kListener, {"--domain", Str(kSrc), "--count", "1"}, kSilenceSeconds);
  ASSERT_TRUE(listener.WaitFor("ready")) << listener.Output();
  Peer talker(kTalker, {"--domain", Str(kDst), "--subscribers", "0", "--settle-ms", "1000",
                        "--count", "3", "--period-ms", "50", "--message", "Back"});
  EXPECT_EQ(talker.Finish(), 0) << talker.Output();
  EXPECT_EQ(listener.Finish(), 1) << listener.Output();
  EXPECT_EQ(WithPrefix(listener.lines(), "heard "), Lines{}) << listener.Output();
  EXPECT_TRUE(HasInOrder(listener.lines(), {"ready", "timeout received=0"})) << listener.Output();

  EXPECT_EQ(relay.Stop(), 0) << relay.Output();
}

TEST(RosServiceRelay, ConcurrentClientsGetExactlyTheirOwnReplies) {
  constexpr int kProxy = 67, kService = 68, kCalls = 10;
  const std::vector<int> bases = {0, 1000};
  Relay relay({{"ros2-service", "/add_two_ints", kSrvType, kProxy, kService}});
  ASSERT_TRUE(relay.running()) << relay.Output();

  Peer server(kAddServer, {"--domain", Str(kService), "--wait-match", "--count", Str(2 * kCalls)});
  ASSERT_TRUE(server.WaitFor("ready")) << server.Output() << relay.Output();
  std::vector<std::unique_ptr<Peer>> clients;
  for (const int base : bases) {
    clients.push_back(std::make_unique<Peer>(
        kAddClient, Lines{"--domain", Str(kProxy), "--count", Str(kCalls), "--a", Str(base),
                          "--window", "2", "--settle-ms", "200"}));
  }

  Lines guids;
  for (size_t i = 0; i < clients.size(); ++i) {
    Peer& client = *clients[i];
    EXPECT_EQ(client.Finish(), 0) << client.Output() << relay.Output();
    const Lines lines = client.lines();
    EXPECT_EQ(Sorted(WithPrefix(lines, "sum ")), Sorted(Sums(bases[i], kCalls))) << client.Output();
    EXPECT_EQ(WithPrefix(lines, "done replies=" + Str(kCalls) + " ").size(), 1u) << client.Output();
    const Lines ready = WithPrefix(lines, "ready guid=");
    ASSERT_EQ(ready.size(), 1u) << client.Output();
    guids.push_back(ready[0].substr(std::string("ready guid=").size()));
  }
  EXPECT_NE(guids[0], guids[1]);

  EXPECT_EQ(server.Finish(), 0) << server.Output();
  for (const std::string& guid : guids) {
    EXPECT_EQ(WithPrefix(server.lines(), "request guid=" + guid + " ").size(), size_t{kCalls})
        << server.Output();
  }
  EXPECT_EQ(relay.Stop(), 0) << relay.Output();
}

TEST(RosServiceRelay, RequestsInServiceDomainGoNowhere) {
  constexpr int kProxy = 69, kService = 70;
  Relay relay({{"ros2-service", "/add_two_ints", kSrvType, kProxy, kService}});
  ASSERT_TRUE(relay.running()) << relay.Output();

  // A server on the clients' side and a client on the server's side: the
  // bridge must not carry this call in either direction.
  Peer server(kAddServer, {"--domain", Str(kProxy)}, kSilenceSeconds);
  ASSERT_TRUE(server.WaitFor("ready")) << server.Output();
  Peer client(kAddClient,
              {"--domain", Str(kService), "--no-wait", "--settle-ms", "1000", "--count", "1"},
              kSilenceSeconds);

  EXPECT_EQ(client.Finish(), 1) << client.Output();
  EXPECT_TRUE(HasInOrder(client.lines(), {"ready guid=", "timeout replies=0"})) << client.Output();
  EXPECT_EQ(server.Finish(), 0) << server.Output();
  EXPECT_EQ(WithPrefix(server.lines(), "request "), Lines{}) << server.Output();
  EXPECT_TRUE(HasInOrder(server.lines(), {"ready", "done served=0"})) << server.Output();
  EXPECT_EQ(relay.Stop(), 0) << relay.Output();
}

TEST(RosActionRelay, GoalFeedbackStatusResultAndCancel) {
  constexpr int kProxy = 71, kService = 72;
  Relay relay({{"ros2-action", "/fibonacci", kActionType, kProxy, kService}});
  ASSERT_TRUE(relay.running()) << relay.Output();

  Peer server(kFibServer, {"--domain", Str(kService), "--wait-match", "--count", "2"});
  ASSERT_TRUE(server.WaitFor("ready")) << server.Output() << relay.Output();
  Peer client(kFibClient, {"--domain", Str(kProxy), "--settle-ms", "200"});

  EXPECT_EQ(client.Finish(), 0) << client.Output() << server.Output() << relay.Output();
  const Lines lines = client.lines();
  // Feedback travels on its own topic (on Cyclone DDS), the goal's acceptance
  // on the reply topic (on Fast DDS): either may arrive first.
  EXPECT_TRUE(HasInOrder(lines, {"feedback goal=1 partial=0 1 1", "result goal=1 status=4"}))
      << client.Output();
  EXPECT_TRUE(HasInOrder(
      lines, {"ready", "accepted goal=1 id=", "result goal=1 status=4 sequence=0 1 1 2 3 5",
              "accepted goal=2 id=", "cancel goal=2 return_code=0 canceling=1",
              "result goal=2 status=5 sequence=0 1", "done"}))
      << client.Output();
  // Order 5 grows the sequence from two numbers to six: four feedback messages.
  EXPECT_EQ(WithPrefix(lines, "feedback goal=1 ").size(), 4u) << client.Output();
  EXPECT_EQ(WithPrefix(lines, "status goal=1 code=4").size(), 1u) << client.Output();
  EXPECT_EQ(WithPrefix(lines, "status goal=2 code=5").size(), 1u) << client.Output();

  EXPECT_EQ(server.Finish(), 0) << server.Output();
  EXPECT_TRUE(HasInOrder(server.lines(), {"ready", "goal id=", "result id=", "goal id=",
                                          "cancel id=", "result id=", "done results=2"}))
      << server.Output();
  EXPECT_EQ(relay.Stop(), 0) << relay.Output();
}

// One relay with a topic, a service and an action rule whose type texts carry
// the same distribution word (or none), each carried once end to end.
struct TypeTextCase {
  const char* name;
  const char* word;  // "" for the texts without a distribution word
  int src;           // the clients' side; the servers run in src + 1
};

void PrintTo(const TypeTextCase& c, std::ostream* os) {
  *os << c.name;
}

std::string TypeText(const TypeTextCase& c, const std::string& kind) {
  const std::string word = c.word;
  return "ros2-" + (word.empty() ? "" : word + "-") + kind;
}

class RosTypeTextRelay : public testing::TestWithParam<TypeTextCase> {};

TEST_P(RosTypeTextRelay, RelaysTopicServiceAndAction) {
  const TypeTextCase& c = GetParam();
  const int src = c.src;
  const int dst = c.src + 1;
  Relay relay({{TypeText(c, "msg"), "/chatter", kMsgType, src, dst},
               {TypeText(c, "service"), "/add_two_ints", kSrvType, src, dst},
               {TypeText(c, "action"), "/fibonacci", kActionType, src, dst}});
  ASSERT_TRUE(relay.running()) << relay.Output();

  Peer listener(kListener, {"--domain", Str(dst), "--publishers", "1", "--count", "3"});
  Peer add_server(kAddServer, {"--domain", Str(dst), "--wait-match", "--count", "1"});
  Peer fib_server(kFibServer,
                  {"--domain", Str(dst), "--wait-match", "--count", "2", "--period-ms", "20"});
  ASSERT_TRUE(listener.WaitFor("ready")) << listener.Output() << relay.Output();
  ASSERT_TRUE(add_server.WaitFor("ready")) << add_server.Output() << relay.Output();
  ASSERT_TRUE(fib_server.WaitFor("ready")) << fib_server.Output() << relay.Output();

  Peer talker(kTalker,
              {"--domain", Str(src), "--count", "3", "--period-ms", "50", "--settle-ms", "200"});
  Peer add_client(kAddClient, {"--domain", Str(src), "--count", "1", "--settle-ms", "200"});
  Peer fib_client(kFibClient, {"--domain", Str(src), "--order", "2", "--settle-ms", "200"});

  EXPECT_EQ(talker.Finish(), 0) << talker.Output();
  EXPECT_EQ(listener.Finish(), 0) << listener.Output();
  EXPECT_EQ(WithPrefix(listener.lines(), "heard "), Heard("Hello World", 3)) << listener.Output();

  EXPECT_EQ(add_client.Finish(), 0) << add_client.Output();
  EXPECT_EQ(WithPrefix(add_client.lines(), "sum "), Sums(0, 1)) << add_client.Output();
  EXPECT_EQ(add_server.Finish(), 0) << add_server.Output();

  EXPECT_EQ(fib_client.Finish(), 0) << fib_client.Output() << fib_server.Output();
  // Feedback and the goal's acceptance travel on different topics (and DDS
  // engines): either may arrive first.
  EXPECT_TRUE(
      HasInOrder(fib_client.lines(), {"feedback goal=1 partial=0 1 1", "result goal=1 status=4"}))
      << fib_client.Output();
  EXPECT_TRUE(HasInOrder(fib_client.lines(),
                         {"accepted goal=1 id=", "result goal=1 status=4 sequence=0 1 1",
                          "accepted goal=2 id=", "cancel goal=2 return_code=0 canceling=1",
                          "result goal=2 status=5", "done"}))
      << fib_client.Output();
  EXPECT_EQ(fib_server.Finish(), 0) << fib_server.Output();

  EXPECT_EQ(relay.Stop(), 0) << relay.Output();
}

INSTANTIATE_TEST_SUITE_P(
    EveryDistributionWord, RosTypeTextRelay,
    testing::Values(TypeTextCase{"NoWord", "", 73}, TypeTextCase{"Dashing", "dashing", 75},
                    TypeTextCase{"Eloquent", "eloquent", 77}, TypeTextCase{"Foxy", "foxy", 79}),
    [](const testing::TestParamInfo<TypeTextCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corvane_test
