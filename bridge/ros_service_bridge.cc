// The ROS 2 service bridge: requests towards the server, replies back.

#include "bridge/ros_service_bridge.h"

#include "bridge/channel_rows.h"
#include "bridge/ros.h"

bool RosServiceBridge::Initialize(const RuleDescription& rule,
                                  const std::shared_ptr<DdsManager>& manager) {
  const std::string& name = rule.topic;
  const std::string type = ConvertRosTypeNameToDdsTypeName(rule.data_type);
  return InitializeChannelRows(
      rule, manager,
      {
          {&request_channel_, kRosRequestPrefix + name + kRosRequestTopicSuffix,
           type + kRosRequestSuffix, true},
          {&reply_channel_, kRosReplyPrefix + name + kRosReplyTopicSuffix,
           type + kRosResponseSuffix, false, &request_channel_},
      },
      channels_);
}
