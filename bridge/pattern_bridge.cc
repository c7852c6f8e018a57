// Pattern rules: matching what discovery finds, and bridging each match.

#include "bridge/pattern_bridge.h"

#include <cstring>
#include <utility>

#include "bridge/ros.h"
#include "config/topic_pattern.h"
#include "dds/dds_domain.h"
#include "dds/dds_manager.h"
#include "middleware/logger.h"

namespace {

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() > suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// `topic` without `prefix` and `suffix`; empty when it lacks either.
std::string Between(const std::string& topic, const std::string& prefix,
                    const std::string& suffix) {
  if (topic.size() <= prefix.size() + suffix.size() ||
      topic.compare(0, prefix.size(), prefix) != 0 ||
      (!suffix.empty() && !EndsWith(topic, suffix))) {
    return "";
  }
  return topic.substr(prefix.size(), topic.size() - prefix.size() - suffix.size());
}

// The ROS 2 type of DDS type `dds_type` that ends in `suffix`:
// "pkg::msg::dds_::Name_" with "_" -> "pkg/msg/Name"; empty when it is not
// of that form.
std::string RosTypeName(const std::string& dds_type, const std::string& suffix) {
  if (!EndsWith(dds_type, suffix)) return "";
  std::string name = dds_type.substr(0, dds_type.size() - suffix.size());
  const std::string::size_type infix = name.rfind("::dds_::");
  if (infix == std::string::npos) return "";
  name.erase(infix, std::strlen("::dds_"));
  std::string result;
  for (std::string::size_type at = 0; at < name.size(); at++) {
    if (name.compare(at, 2, "::") == 0) {
      result += '/';
      at++;
    } else {
      result += name[at];
    }
  }
  return result;
}

// The DDS topic a rule is known by: its message or its request topic.
std::string FirstTopic(const RuleDescription& rule) {
  switch (rule.type) {
    case RuleType::kDds:
      return rule.topic;
    case RuleType::kRosMsg:
      return kRosTopicPrefix + rule.topic;
    case RuleType::kRosService:
      return kRosRequestPrefix + rule.topic + kRosRequestTopicSuffix;
    case RuleType::kRosAction:
      return std::string(kRosRequestPrefix) + rule.topic + kRosActionInfix + kRosActionSendGoal +
             kRosRequestTopicSuffix;
  }
  return rule.topic;
}

// Topic rules find their topics by the publications in their src domain;
// service and action rules by the servers' request readers in their dst.
bool FindsPublications(RuleType type) {
  return type == RuleType::kDds || type == RuleType::kRosMsg;
}

bool MatchesType(const std::string& pattern, const std::string& type) {
  return pattern == "*" || MatchesPattern(pattern, type);
}

}  // namespace

std::optional<RuleDescription> MatchDiscovered(const RuleDescription& pattern,
                                               const DiscoveredEndpoint& endpoint) {
  if (endpoint.is_reader == FindsPublications(pattern.type)) return std::nullopt;
  const std::string action_request =
      std::string(kRosActionInfix) + kRosActionSendGoal + kRosRequestTopicSuffix;
  std::string name;
  std::string type;
  switch (pattern.type) {
    case RuleType::kDds:
      name = endpoint.topic_name;
      type = endpoint.type_name;
      break;
    case RuleType::kRosMsg:
      name = Between(endpoint.topic_name, kRosTopicPrefix, "");
      type = RosTypeName(endpoint.type_name, kRosMsgSuffix);
      break;
    case RuleType::kRosService:
      name = Between(endpoint.topic_name, kRosRequestPrefix, kRosRequestTopicSuffix);
      type = RosTypeName(endpoint.type_name, kRosRequestSuffix);
      break;
    case RuleType::kRosAction:
      name = Between(endpoint.topic_name, kRosRequestPrefix, action_request);
      type = RosTypeName(endpoint.type_name, kRosSendGoalRequestSuffix);
      break;
  }
  if (name.empty() || type.empty() || HasWildcard(name) || HasWildcard(type)) return std::nullopt;
  if (pattern.type != RuleType::kDds && name[0] != '/') return std::nullopt;
  if (!MatchesPattern(pattern.topic, name) || !MatchesType(pattern.data_type, type)) {
    return std::nullopt;
  }
  RuleDescription match = pattern;
  match.topic = std::move(name);
  match.data_type = std::move(type);
  return match;
}

int32_t DiscoveryDomain(const RuleDescription& rule) {
  return FindsPublications(rule.type) ? rule.src.domain_id : rule.dst.domain_id;
}

bool BridgedTopics::Claim(const RuleDescription& rule) {
  return topics_.emplace(FirstTopic(rule), rule.src.domain_id, rule.dst.domain_id).second;
}

bool PatternBridge::Initialize(const RuleDescription& rule,
                               const std::shared_ptr<DdsManager>& manager) {
  rule_ = rule;
  return manager->GetDomain(rule.src.domain_id) != nullptr &&
         manager->GetDomain(rule.dst.domain_id) != nullptr;
}

void PatternBridge::BridgeDiscovered(const std::vector<DiscoveredEndpoint>& found,
                                     const PatternRuleName& name,
                                     const std::shared_ptr<DdsManager>& manager,
                                     BridgedTopics& bridged,
                                     const std::map<std::string, std::string>& user_data) {
  const bool both_ways = !FindsPublications(rule_.type);  // replies run back
  for (const DiscoveredEndpoint& endpoint : found) {
    const std::optional<RuleDescription> match = MatchDiscovered(rule_, endpoint);
    if (!match) continue;
    const auto known = types_.find(match->topic);
    if (known != types_.end()) {
      // A topic name stands for one type in a domain.
      if (known->second != match->data_type && warned_types_.insert(match->topic).second) {
        logger_log(LOGGER_WARNING,
                   "rule %d %s: %s is seen with type %s too; it stays bridged as %s", name.index,
                   name.type, endpoint.topic_name.c_str(), endpoint.type_name.c_str(),
                   known->second.c_str());
      }
      continue;
    }
    if (types_.size() >= kMaxTopics) {
      if (!warned_full_) {
        warned_full_ = true;
        logger_log(LOGGER_WARNING,
                   "rule %d %s: %zu topics bridged, as many as one rule may; no more", name.index,
                   name.type, kMaxTopics);
      }
      continue;
    }
    if (!bridged.Claim(*match)) continue;  // an explicit rule or an earlier pattern has it
    types_[match->topic] = match->data_type;
    std::shared_ptr<Bridge> bridge = Bridge::Create(*match, manager);
    if (bridge == nullptr) {
      logger_log(LOGGER_ERROR, "rule %d %s: cannot bridge %s (%s)", name.index, name.type,
                 endpoint.topic_name.c_str(), endpoint.type_name.c_str());
      continue;
    }
    bridge->CountFor(name.record);
    if (rule_.type != RuleType::kDds) bridge->CarryUserData(user_data);
    matches_.push_back(std::move(bridge));
    logger_log(LOGGER_INFO, "rule %d %s: bridging %s (%s), domain %d %s %d", name.index, name.type,
               endpoint.topic_name.c_str(), endpoint.type_name.c_str(),
               static_cast<int>(rule_.src.domain_id), both_ways ? "<->" : "->",
               static_cast<int>(rule_.dst.domain_id));
  }
}

void PatternBridge::CarryUserData(const std::map<std::string, std::string>& by_topic) const {
  if (rule_.type == RuleType::kDds) return;
  for (const std::shared_ptr<Bridge>& match : matches_) match->CarryUserData(by_topic);
}
