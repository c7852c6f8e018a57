// Pattern rules through the real binary: what discovery finds and the
// pattern matches is bridged, and nothing else.

#include <gtest/gtest.h>

#include <string>

#include "tests/e2e_ros/ros2_relay_harness.h"

namespace corvane_test {
namespace {

// Long enough for a wrongly bridged topic to be found and carry a sample.
constexpr int kSilenceSeconds = 4;

std::string Str(int value) {
  return std::to_string(value);
}

bool Logged(const Relay& relay, const std::string& line) {
  return relay.Output().find(line) != std::string::npos;
}

// "/robot1/*" bridges a topic published after start and a latched one
// published before it, and leaves a sibling and a deeper topic alone.
TEST(RosPatternRelay, BridgesTheTopicsItMatchesAndNoOthers) {
  constexpr int kSrc = 111, kDst = 112, kCount = 20;
  Peer latched(kTalker,
               {"--domain", Str(kSrc), "--topic", "/robot1/tf_static", "--message", "static",
                "--transient-local", "--subscribers", "0", "--count", "1", "--linger-ms", "12000"});
  ASSERT_TRUE(latched.WaitFor("done")) << latched.Output();
  Relay relay({{"ros2-msg", "/robot1/*", "*", kSrc, kDst}});
  ASSERT_TRUE(relay.running()) << relay.Output();

  Peer late(kListener, {"--domain", Str(kDst), "--topic", "/robot1/tf_static", "--transient-local",
                        "--count", "1"});
  Peer listener(kListener,
                {"--domain", Str(kDst), "--topic", "/robot1/chatter", "--count", Str(kCount)});
  Peer sibling(kListener, {"--domain", Str(kDst), "--topic", "/robot2/chatter", "--count", "1"},
               kSilenceSeconds);
  Peer deeper(kListener, {"--domain", Str(kDst), "--topic", "/robot1/deep/chatter", "--count", "1"},
              kSilenceSeconds);
  Peer talker(kTalker, {"--domain", Str(kSrc), "--topic", "/robot1/chatter", "--count", Str(kCount),
                        "--period-ms", "20", "--settle-ms", "500"});
  for (const char* topic : {"/robot2/chatter", "/robot1/deep/chatter"}) {
    Peer other(kTalker, {"--domain", Str(kSrc), "--topic", topic, "--subscribers", "0",
                         "--settle-ms", "1500", "--count", "5", "--period-ms", "20"});
    EXPECT_EQ(other.Finish(), 0) << other.Output();
  }
  EXPECT_EQ(talker.Finish(), 0) << talker.Output();
  EXPECT_EQ(listener.Finish(), 0) << listener.Output() << relay.Output();
  EXPECT_EQ(WithPrefix(listener.lines(), "heard ").size(), size_t{kCount}) << listener.Output();
  EXPECT_EQ(late.Finish(), 0) << late.Output() << relay.Output();
  EXPECT_EQ(WithPrefix(late.lines(), "heard static: 1").size(), 1u) << late.Output();
  for (Peer* alone : {&sibling, &deeper}) {
    EXPECT_EQ(alone->Finish(), 1) << alone->Output();
    EXPECT_EQ(WithPrefix(alone->lines(), "heard "), Lines{}) << alone->Output();
  }
  for (const char* topic : {"rt/robot1/chatter", "rt/robot1/tf_static"}) {
    EXPECT_TRUE(Logged(relay, std::string("rule 0 ros2-msg: bridging ") + topic +
                                  " (std_msgs::msg::dds_::String_), domain 111 -> 112"))
        << relay.Output();
  }
  EXPECT_FALSE(Logged(relay, "bridging rt/robot2")) << relay.Output();
  EXPECT_FALSE(Logged(relay, "bridging rt/robot1/deep")) << relay.Output();
  EXPECT_EQ(relay.Stop(), 0) << relay.Output();
}

// A service found by its server answers the clients' calls; corvane's
// request writer carries the server's type hash.
TEST(RosPatternRelay, ServiceFoundByItsServerAnswers) {
  constexpr int kProxy = 113, kService = 114, kCalls = 5;
  const std::string hash = "RIHS01_" + std::string(64, 'b');
  Relay relay({{"ros2-service", "/add_*", "*", kProxy, kService}});
  ASSERT_TRUE(relay.running()) << relay.Output();
  Peer server(kAddServer, {"--domain", Str(kService), "--wait-match", "--count", Str(kCalls),
                           "--type-hash", hash});
  ASSERT_TRUE(server.WaitFor("ready")) << server.Output() << relay.Output();
  Peer client(kAddClient, {"--domain", Str(kProxy), "--count", Str(kCalls), "--settle-ms", "500"});
  EXPECT_EQ(client.Finish(), 0) << client.Output() << relay.Output();
  EXPECT_EQ(WithPrefix(client.lines(), "done replies=" + Str(kCalls) + " ").size(), 1u)
      << client.Output();
  EXPECT_EQ(server.Finish(), 0) << server.Output();
  EXPECT_EQ(WithPrefix(server.lines(), "peer user_data="),
            Lines{"peer user_data=typehash=" + hash + ";"})
      << server.Output();
  EXPECT_TRUE(Logged(relay,
                     "rule 0 ros2-service: bridging rq/add_two_intsRequest "
                     "(example_interfaces::srv::dds_::AddTwoInts_Request_), domain 113 <-> "
                     "114"))
      << relay.Output();
  EXPECT_EQ(relay.Stop(), 0) << relay.Output();
}

// Opposite patterns over the same two domains: corvane's own endpoints are
// never matches, so nothing comes back.
TEST(RosPatternRelay, OppositePatternsDoNotEcho) {
  constexpr int kA = 115, kB = 116, kCount = 10;
  Relay relay({{"ros2-msg", "/**", "*", kA, kB}, {"ros2-msg", "/**", "*", kB, kA}});
  ASSERT_TRUE(relay.running()) << relay.Output();
  Peer far(kListener, {"--domain", Str(kB), "--count", Str(kCount)});
  Peer near(kListener, {"--domain", Str(kA), "--count", "0"}, kSilenceSeconds + 4);
  Peer talker(kTalker, {"--domain", Str(kA), "--subscribers", "2", "--settle-ms", "500", "--count",
                        Str(kCount), "--period-ms", "20"});
  EXPECT_EQ(talker.Finish(), 0) << talker.Output();
  EXPECT_EQ(far.Finish(), 0) << far.Output() << relay.Output();
  EXPECT_EQ(near.Finish(), 0) << near.Output();
  EXPECT_EQ(WithPrefix(far.lines(), "heard ").size(), size_t{kCount}) << far.Output();
  EXPECT_EQ(WithPrefix(near.lines(), "heard ").size(), size_t{kCount}) << near.Output();
  EXPECT_FALSE(Logged(relay, "rule 1 ros2-msg: bridging")) << relay.Output();
  EXPECT_EQ(relay.Stop(), 0) << relay.Output();
}

// corvane's endpoints of an explicit and of a pattern rule carry the type
// hash of the peers they bridge, in both domains.
TEST(RosTypeHash, EndpointsCarryThePeersTypeHash) {
  constexpr int kSrc = 119, kDst = 121;
  const std::string hash = "RIHS01_" + std::string(64, 'a');
  Relay relay({{"ros2-msg", "/chatter", "std_msgs/msg/String", kSrc, kDst},
               {"ros2-msg", "/hashed/*", "*", kSrc, kDst}});
  ASSERT_TRUE(relay.running()) << relay.Output();
  for (const char* topic : {"/chatter", "/hashed/chatter"}) {
    SCOPED_TRACE(topic);
    Peer listener(kListener,
                  {"--domain", Str(kDst), "--topic", topic, "--count", "5", "--type-hash", hash});
    Peer talker(kTalker, {"--domain", Str(kSrc), "--topic", topic, "--count", "5", "--period-ms",
                          "50", "--settle-ms", "800", "--type-hash", hash});
    EXPECT_EQ(talker.Finish(), 0) << talker.Output();
    EXPECT_EQ(listener.Finish(), 0) << listener.Output() << relay.Output();
    // corvane's reader is the talker's only peer, its writer the listener's.
    for (const Peer* peer : {&talker, &listener}) {
      EXPECT_EQ(WithPrefix(peer->lines(), "peer user_data="),
                Lines{"peer user_data=typehash=" + hash + ";"})
          << peer->Output();
    }
  }
  EXPECT_EQ(relay.Stop(), 0) << relay.Output();
}

}  // namespace
}  // namespace corvane_test
