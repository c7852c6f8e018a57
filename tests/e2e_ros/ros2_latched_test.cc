// corvane between ROS 2-like peers on latched (transient-local) topics: late
// subscribers get what each publisher latched, once, and nothing else.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "tests/e2e_ros/ros2_relay_harness.h"

namespace corvane_test {
namespace {

const char kMsgType[] = "std_msgs/msg/String";

// The relay keeps a departed publisher's samples 5 s, looked at every second.
constexpr auto kPastGrace = std::chrono::seconds(8);
// Publishers that stay for the whole test (ended by the test's end).
constexpr int kLongSeconds = 40;
constexpr int kLongMs = kLongSeconds * 1000;

std::string Str(int value) {
  return std::to_string(value);
}

Lines SortedHeard(const Peer& peer) {
  Lines heard = WithPrefix(peer.lines(), "heard ");
  std::sort(heard.begin(), heard.end());
  return heard;
}

// A latched publisher: writes `message` `count` times at its start, then
// stays `linger_ms`.
std::vector<std::string> Latched(const char* topic, int domain, const std::string& message,
                                 int linger_ms, int count = 1) {
  return {"--topic",
          topic,
          "--domain",
          Str(domain),
          "--transient-local",
          "--subscribers",
          "0",
          "--count",
          Str(count),
          "--period-ms",
          "0",
          "--message",
          message,
          "--linger-ms",
          Str(linger_ms)};
}

// A transient-local subscriber that reports all it hears until its timeout.
std::vector<std::string> LateJoiner(const char* topic, int domain) {
  return {"--topic", topic, "--domain", Str(domain), "--transient-local", "--count", "0"};
}

TEST(RosLatchedRelay, EachPublisherReachesLateJoinersOnceUntilItLeaves) {
  constexpr int kSrc = 180, kDst = 181;
  Peer early(kTalker, Latched("/tf_static", kSrc, "Early", kLongMs), kLongSeconds);
  ASSERT_TRUE(early.WaitFor("done")) << early.Output();

  Relay relay({{"ros2-msg", "/tf_static", kMsgType, kSrc, kDst},
               {"ros2-msg", "/chatter", kMsgType, kSrc, kDst}});
  ASSERT_TRUE(relay.running()) << relay.Output();
  Peer present(kListener, LateJoiner("/tf_static", kDst), 8);
  ASSERT_TRUE(present.WaitFor("ready")) << present.Output();

  Peer leaving(kTalker, Latched("/tf_static", kSrc, "Leaving", 3000));
  Peer staying(kTalker, Latched("/tf_static", kSrc, "Staying", kLongMs), kLongSeconds);
  Peer chatter_listener(kListener, {"--domain", Str(kDst), "--publishers", "1", "--count", "0"}, 6);
  ASSERT_TRUE(chatter_listener.WaitFor("ready")) << chatter_listener.Output();
  Peer chatter(kTalker,
               {"--domain", Str(kSrc), "--count", "20", "--period-ms", "10", "--settle-ms", "300"});
  for (const char* text : {"heard Early: 1", "heard Leaving: 1", "heard Staying: 1"}) {
    ASSERT_TRUE(present.WaitFor(text)) << present.Output() << relay.Output();
  }

  const Lines all = {"heard Early: 1", "heard Leaving: 1", "heard Staying: 1"};
  {
    Peer late(kListener, LateJoiner("/tf_static", kDst), 3);
    EXPECT_EQ(late.Finish(), 0) << late.Output();
    EXPECT_EQ(SortedHeard(late), all) << late.Output() << relay.Output();
  }

  EXPECT_EQ(chatter.Finish(), 0) << chatter.Output();
  EXPECT_EQ(chatter_listener.Finish(), 0) << chatter_listener.Output();
  Lines twenty;
  for (int n = 1; n <= 20; ++n) twenty.push_back("heard Hello World: " + Str(n));
  EXPECT_EQ(WithPrefix(chatter_listener.lines(), "heard "), twenty) << chatter_listener.Output();
  EXPECT_EQ(present.Finish(), 0) << present.Output();
  EXPECT_EQ(SortedHeard(present), all) << present.Output();

  EXPECT_EQ(leaving.Finish(), 0) << leaving.Output();
  std::this_thread::sleep_for(kPastGrace);
  {
    Peer late(kListener, LateJoiner("/tf_static", kDst), 3);
    EXPECT_EQ(late.Finish(), 0) << late.Output();
    EXPECT_EQ(SortedHeard(late), (Lines{"heard Early: 1", "heard Staying: 1"}))
        << late.Output() << relay.Output();
  }
  EXPECT_EQ(relay.Stop(), 0) << relay.Output();
}

// What the relay keeps follows the publisher's depth (1), however much it
// writes: only the last of 10,000 samples reaches a late joiner.
TEST(RosLatchedRelay, KeepsOnlyThePublishersDepth) {
  constexpr int kSrc = 182, kDst = 183, kCount = 10000;
  Relay relay({{"ros2-msg", "/map", kMsgType, kSrc, kDst}});
  ASSERT_TRUE(relay.running()) << relay.Output();
  Peer map(kTalker, Latched("/map", kSrc, "Map", kLongMs, kCount), kLongSeconds);
  ASSERT_TRUE(map.WaitFor("done")) << map.Output();

  Peer late(kListener, LateJoiner("/map", kDst), 3);
  EXPECT_EQ(late.Finish(), 0) << late.Output();
  EXPECT_EQ(SortedHeard(late), Lines{"heard Map: " + Str(kCount)})
      << late.Output() << relay.Output();
  EXPECT_EQ(relay.Stop(), 0) << relay.Output();
}

}  // namespace
}  // namespace corvane_test
