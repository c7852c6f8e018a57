// Which discovered endpoints a pattern rule bridges, and under which names.

#include "bridge/pattern_bridge.h"

#include <gtest/gtest.h>

#include "config/topic_pattern.h"
#include "dds/dds_domain.h"

namespace {

TEST(TopicPattern, Wildcards) {
  const struct {
    const char* pattern;
    const char* name;
    bool matches;
  } cases[] = {
      {"/robot1/*", "/robot1/chatter", true},
      {"/robot1/*", "/robot2/chatter", false},
      {"/robot1/*", "/robot1/deep/chatter", false},
      {"/robot1/**", "/robot1/deep/chatter", true},
      {"/**/chatter", "/robot1/deep/chatter", true},
      {"/**/*x", "/a/bx", true},
      {"/**/*x", "/a/b/y", false},
      {"/r?bot", "/robot", true},
      {"/r?bot", "/r/bot", false},
      {"*", "", true},
      {"/chatter", "/chatter", true},
      {"/chatter", "/chatter2", false},
      {"DDSPerf?Data*", "DDSPerfRDataKS", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MatchesPattern(c.pattern, c.name), c.matches) << c.pattern << " vs " << c.name;
  }
}

RuleDescription Pattern(RuleType type, const char* topic, const char* data_type) {
  RuleDescription rule;
  rule.type = type;
  rule.topic = topic;
  rule.data_type = data_type;
  rule.src = {1, true};
  rule.dst = {2, false};
  return rule;
}

TEST(PatternBridge, MatchesDiscoveredEndpointsInTheRulesOwnTerms) {
  const struct {
    RuleDescription pattern;
    DiscoveredEndpoint endpoint;
    const char* topic;  // the rule's topic of the match; null: no match
    const char* data_type;
  } cases[] = {
      {Pattern(RuleType::kRosMsg, "/robot1/*", "*"),
       {"rt/robot1/chatter", "std_msgs::msg::dds_::String_", false, ""},
       "/robot1/chatter",
       "std_msgs/msg/String"},
      {Pattern(RuleType::kRosMsg, "/robot1/*", "*"),  // a subscription is not a source
       {"rt/robot1/chatter", "std_msgs::msg::dds_::String_", true, ""},
       nullptr,
       nullptr},
      {Pattern(RuleType::kRosMsg, "/**", "std_msgs/msg/Int32"),
       {"rt/robot1/chatter", "std_msgs::msg::dds_::String_", false, ""},
       nullptr,
       nullptr},
      {Pattern(RuleType::kRosMsg, "/**", "*"),  // not a ROS 2 topic
       {"DDSPerfRDataKS", "KeyedSeq", false, ""},
       nullptr,
       nullptr},
      {Pattern(RuleType::kDds, "DDSPerf*", "*"),
       {"DDSPerfRDataKS", "KeyedSeq", false, ""},
       "DDSPerfRDataKS",
       "KeyedSeq"},
      {Pattern(RuleType::kRosService, "/add_*", "*"),
       {"rq/add_two_intsRequest", "example_interfaces::srv::dds_::AddTwoInts_Request_", true, ""},
       "/add_two_ints",
       "example_interfaces/srv/AddTwoInts"},
      {Pattern(RuleType::kRosService, "/add_*", "*"),  // a client's request writer
       {"rq/add_two_intsRequest", "example_interfaces::srv::dds_::AddTwoInts_Request_", false, ""},
       nullptr,
       nullptr},
      {Pattern(RuleType::kRosAction, "/**", "*"),
       {"rq/fib/_action/send_goalRequest", "pkg::action::dds_::Fib_SendGoal_Request_", true, ""},
       "/fib",
       "pkg/action/Fib"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern.topic + " vs " + c.endpoint.topic_name);
    const std::optional<RuleDescription> match = MatchDiscovered(c.pattern, c.endpoint);
    ASSERT_EQ(match.has_value(), c.topic != nullptr);
    if (!match) continue;
    EXPECT_EQ(match->topic, c.topic);
    EXPECT_EQ(match->data_type, c.data_type);
    EXPECT_EQ(match->src.domain_id, 1);
    EXPECT_FALSE(match->dst.reliable);
  }
}

}  // namespace
