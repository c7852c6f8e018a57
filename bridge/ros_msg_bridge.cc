// The ROS 2 message bridge: one channel on the topic's DDS names.

#include "bridge/ros_msg_bridge.h"

#include "bridge/channel_rows.h"
#include "bridge/ros.h"

bool RosMsgBridge::Initialize(const RuleDescription& rule,
                              const std::shared_ptr<DdsManager>& manager) {
  const std::string type = ConvertRosTypeNameToDdsTypeName(rule.data_type);
  return InitializeChannelRows(
      rule, manager, {{&channel_, kRosTopicPrefix + rule.topic, type + kRosMsgSuffix, true}},
      channels_);
}
