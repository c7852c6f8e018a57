// The bridge factory: one bridge kind per rule type.

#include "bridge/bridge.h"

#include "bridge/dds_bridge.h"
#include "bridge/pattern_bridge.h"
#include "bridge/ros_action_bridge.h"
#include "bridge/ros_msg_bridge.h"
#include "bridge/ros_service_bridge.h"
#include "config/topic_pattern.h"
#include "dds/dds_channel.h"

namespace {

std::shared_ptr<Bridge> MakeBridge(const RuleDescription& rule) {
  if (IsPatternRule(rule)) return std::make_shared<PatternBridge>();
  switch (rule.type) {
    case RuleType::kDds:
      return std::make_shared<DdsBridge>();
    case RuleType::kRosMsg:
      return std::make_shared<RosMsgBridge>();
    case RuleType::kRosService:
      return std::make_shared<RosServiceBridge>();
    case RuleType::kRosAction:
      return std::make_shared<RosActionBridge>();
  }
  return nullptr;  // a value outside the enumeration
}

}  // namespace

std::shared_ptr<Bridge> Bridge::Create(const RuleDescription& rule,
                                       const std::shared_ptr<DdsManager>& manager) {
  std::shared_ptr<Bridge> bridge = MakeBridge(rule);
  if (bridge == nullptr || !bridge->Initialize(rule, manager)) return nullptr;
  return bridge;
}

void Bridge::CountFor(rulestats_record* rule) const {
  for (DdsChannel* channel : channels_) channel->CountFor(rule);
}

void Bridge::CarryUserData(const std::map<std::string, std::string>& by_topic) const {
  for (DdsChannel* channel : channels_) {
    const auto it = by_topic.find(channel->topic_name());
    if (it != by_topic.end()) channel->SetUserData(it->second);
  }
}
