// Builds bridges from rules against real DDS domains and checks, through the
// DDS discovery data seen by an independent participant in each domain, which
// readers and writers each bridge created: topic names, type names and the
// reliability of every endpoint.

#include <dds/dds.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bridge/bridge.h"
#include "bridge/pattern_bridge.h"
#include "dds/dds_domain.h"
#include "dds/dds_manager.h"
#include "tests/support/cyclone_peer_basics.h"

namespace {

enum class Kind { kReader, kWriter };

struct Endpoint {
  Kind kind;
  std::string topic;
  std::string type;
  bool reliable;
  bool operator<(const Endpoint& o) const {
    return std::tie(kind, topic, type, reliable) < std::tie(o.kind, o.topic, o.type, o.reliable);
  }
  bool operator==(const Endpoint& o) const { return !(*this < o) && !(o < *this); }
};

std::ostream& operator<<(std::ostream& os, const Endpoint& e) {
  return os << (e.kind == Kind::kReader ? "reader " : "writer ") << e.topic << " [" << e.type
            << "] " << (e.reliable ? "reliable" : "best-effort");
}

// A participant that watches which endpoints other participants of its domain
// announce.
class DomainObserver {
 public:
  explicit DomainObserver(dds_domainid_t domain) {
    participant_ = corvane_test::CreatePeerParticipant(domain);
    publications_ =
        dds_create_reader(participant_, DDS_BUILTIN_TOPIC_DCPSPUBLICATION, nullptr, nullptr);
    subscriptions_ =
        dds_create_reader(participant_, DDS_BUILTIN_TOPIC_DCPSSUBSCRIPTION, nullptr, nullptr);
  }
  ~DomainObserver() { dds_delete(participant_); }
  bool ok() const { return participant_ > 0 && publications_ > 0 && subscriptions_ > 0; }

  // Endpoints of the other participants, as a set: the relay may announce
  // one logical endpoint more than once.
  std::set<Endpoint> Snapshot() {
    std::set<Endpoint> seen;
    Collect(publications_, Kind::kWriter, &seen);
    Collect(subscriptions_, Kind::kReader, &seen);
    return seen;
  }

  // Waits until the snapshot equals `expected`, up to a few seconds.
  std::set<Endpoint> WaitFor(const std::set<Endpoint>& expected) {
    std::set<Endpoint> seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      seen = Snapshot();
      if (seen == expected) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return seen;
  }

 private:
  void Collect(dds_entity_t reader, Kind kind, std::set<Endpoint>* out) {
    dds_instance_handle_t self = 0;
    dds_get_instance_handle(participant_, &self);
    constexpr int kMax = 4096;  // more than any case announces
    std::vector<void*> samples(kMax, nullptr);
    std::vector<dds_sample_info_t> infos(kMax);
    const int n = dds_read(reader, samples.data(), infos.data(), kMax, kMax);
    for (int i = 0; i < n; ++i) {
      if (!infos[i].valid_data || infos[i].instance_state != DDS_IST_ALIVE) continue;
      const auto* ep = static_cast<const dds_builtintopic_endpoint_t*>(samples[i]);
      if (ep->participant_instance_handle == self) continue;
      dds_reliability_kind_t rel = DDS_RELIABILITY_BEST_EFFORT;
      dds_duration_t blocking = 0;
      dds_qget_reliability(ep->qos, &rel, &blocking);
      out->insert({kind, ep->topic_name, ep->type_name, rel == DDS_RELIABILITY_RELIABLE});
    }
    if (n > 0) dds_return_loan(reader, samples.data(), n);
  }

  dds_entity_t participant_ = 0;
  dds_entity_t publications_ = 0;
  dds_entity_t subscriptions_ = 0;
};

RuleDescription MakeRule(RuleType type, const std::string& topic, const std::string& data_type,
                         int32_t src, bool src_reliable, int32_t dst, bool dst_reliable) {
  RuleDescription rule;
  rule.type = type;
  rule.topic = topic;
  rule.data_type = data_type;
  rule.src.domain_id = src;
  rule.src.reliable = src_reliable;
  rule.dst.domain_id = dst;
  rule.dst.reliable = dst_reliable;
  return rule;
}

struct BridgeCase {
  const char* name;
  RuleDescription rule;
  std::set<Endpoint> in_src;
  std::set<Endpoint> in_dst;
};

std::vector<BridgeCase> Cases() {
  const Kind R = Kind::kReader;
  const Kind W = Kind::kWriter;
  const std::string ms = "pkg::action::dds_::Move";
  const std::string aq = "rq/arm/move/_action/";
  const std::string ar = "rr/arm/move/_action/";
  const std::string at = "rt/arm/move/_action/";
  return {
      {"dds topic as written",
       MakeRule(RuleType::kDds, "sensor_state", "pkg/msg/Text", 25, false, 26, true),
       {{R, "sensor_state", "pkg/msg/Text", false}},
       {{W, "sensor_state", "pkg/msg/Text", true}}},
      {"ros2 topic",
       MakeRule(RuleType::kRosMsg, "/chatter", "pkg/msg/Text", 27, true, 28, false),
       {{R, "rt/chatter", "pkg::msg::dds_::Text_", true}},
       {{W, "rt/chatter", "pkg::msg::dds_::Text_", false}}},
      {"ros2 service",
       MakeRule(RuleType::kRosService, "/add", "pkg/srv/Add", 29, true, 30, false),
       {{R, "rq/addRequest", "pkg::srv::dds_::Add_Request_", true},
        {W, "rr/addReply", "pkg::srv::dds_::Add_Response_", true}},
       {{W, "rq/addRequest", "pkg::srv::dds_::Add_Request_", false},
        {R, "rr/addReply", "pkg::srv::dds_::Add_Response_", false}}},
      {"ros2 action",
       MakeRule(RuleType::kRosAction, "/arm/move", "pkg/action/Move", 31, false, 32, true),
       {{R, aq + "send_goalRequest", ms + "_SendGoal_Request_", false},
        {R, aq + "cancel_goalRequest", "action_msgs::srv::dds_::CancelGoal_Request_", false},
        {R, aq + "get_resultRequest", ms + "_GetResult_Request_", false},
        {W, ar + "get_resultReply", ms + "_GetResult_Response_", false},
        {W, at + "feedback", ms + "_FeedbackMessage_", false},
        {W, at + "status", "action_msgs::msg::dds_::GoalStatusArray_", false},
        {W, ar + "send_goalReply", ms + "_SendGoal_Response_", false},
        {W, ar + "cancel_goalReply", "action_msgs::srv::dds_::CancelGoal_Response_", false}},
       {{W, aq + "send_goalRequest", ms + "_SendGoal_Request_", true},
        {W, aq + "cancel_goalRequest", "action_msgs::srv::dds_::CancelGoal_Request_", true},
        {W, aq + "get_resultRequest", ms + "_GetResult_Request_", true},
        {R, ar + "get_resultReply", ms + "_GetResult_Response_", true},
        {R, at + "feedback", ms + "_FeedbackMessage_", true},
        {R, at + "status", "action_msgs::msg::dds_::GoalStatusArray_", true},
        {R, ar + "send_goalReply", ms + "_SendGoal_Response_", true},
        {R, ar + "cancel_goalReply", "action_msgs::srv::dds_::CancelGoal_Response_", true}}},
  };
}

TEST(BridgeEntities, EachKindCreatesItsEndpointsUnderTheRightNames) {
  for (const BridgeCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    DomainObserver src(c.rule.src.domain_id);
    DomainObserver dst(c.rule.dst.domain_id);
    ASSERT_TRUE(src.ok() && dst.ok());
    const std::shared_ptr<DdsManager> manager = DdsManager::Create();
    std::shared_ptr<Bridge> bridge = Bridge::Create(c.rule, manager);
    ASSERT_NE(bridge, nullptr);
    EXPECT_EQ(src.WaitFor(c.in_src), c.in_src);
    EXPECT_EQ(dst.WaitFor(c.in_dst), c.in_dst);
    bridge.reset();
    // Releasing the bridge deletes every reader and writer it made.
    EXPECT_EQ(src.WaitFor({}), std::set<Endpoint>());
    EXPECT_EQ(dst.WaitFor({}), std::set<Endpoint>());
  }
}

TEST(BridgeEntities, EqualRulesGiveIndependentBridges) {
  const RuleDescription rule =
      MakeRule(RuleType::kRosService, "/add", "pkg/srv/Add", 33, true, 34, true);
  const std::shared_ptr<DdsManager> manager = DdsManager::Create();
  std::shared_ptr<Bridge> first = Bridge::Create(rule, manager);
  std::shared_ptr<Bridge> second = Bridge::Create(rule, manager);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
}

// A pattern bridges each topic it finds once, keeps a topic's first type,
// leaves what another rule carries, and stops at its bound.
TEST(BridgeEntities, PatternBridgesEachFoundTopicOnceUpToItsBound) {
  const std::shared_ptr<DdsManager> manager = DdsManager::Create();
  const RuleDescription rule = MakeRule(RuleType::kDds, "t*", "*", 86, true, 87, true);
  const auto pattern = std::dynamic_pointer_cast<PatternBridge>(Bridge::Create(rule, manager));
  ASSERT_NE(pattern, nullptr);
  BridgedTopics bridged;
  ASSERT_TRUE(bridged.Claim(MakeRule(RuleType::kDds, "t0000", "T", 86, true, 87, true)));
  std::vector<DiscoveredEndpoint> found;
  std::set<Endpoint> expected;
  for (size_t i = 0; i <= PatternBridge::kMaxTopics + 1; i++) {
    char topic[16];
    std::snprintf(topic, sizeof topic, "t%04zu", i);
    found.push_back({topic, "T", false, ""});
    if (i >= 1 && i <= PatternBridge::kMaxTopics)
      expected.insert({Kind::kWriter, topic, "T", true});
  }
  found.push_back({"t0001", "U", false, ""});  // the same name with another type
  found.push_back({"x", "T", false, ""});      // not a match
  DomainObserver dst(87);
  ASSERT_TRUE(dst.ok());
  for (int round = 0; round < 2; round++) {
    pattern->BridgeDiscovered(found, {0, "dds", nullptr}, manager, bridged, {});
  }
  EXPECT_EQ(dst.WaitFor(expected), expected);
}

TEST(BridgeEntities, UnknownTypeGivesNoBridge) {
  const std::shared_ptr<DdsManager> manager = DdsManager::Create();
  for (const int32_t type : {4, -1, 1000}) {
    RuleDescription rule = MakeRule(RuleType::kDds, "t", "T", 35, true, 36, true);
    rule.type = static_cast<RuleType>(type);
    EXPECT_EQ(Bridge::Create(rule, manager), nullptr) << "type " << type;
  }
}

TEST(BridgeEntities, RefusedDomainGivesNoBridgeButKeepsTheOtherDomain) {
  const std::shared_ptr<DdsManager> manager = DdsManager::Create();
  for (const RuleType type :
       {RuleType::kDds, RuleType::kRosMsg, RuleType::kRosService, RuleType::kRosAction}) {
    EXPECT_EQ(Bridge::Create(MakeRule(type, "/t", "p/msg/T", 37, true, 300, true), manager),
              nullptr);
    EXPECT_EQ(Bridge::Create(MakeRule(type, "/t", "p/msg/T", -1, true, 37, true), manager),
              nullptr);
  }
  // The domain that could be created stays with the manager and is reused.
  const auto domain = manager->GetDomain(37);
  ASSERT_NE(domain, nullptr);
  EXPECT_EQ(manager->GetDomain(37), domain);
}

}  // namespace
