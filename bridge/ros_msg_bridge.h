// The bridge of a ROS 2 topic.
#ifndef CORVANE_BRIDGE_ROS_MSG_BRIDGE_H_
#define CORVANE_BRIDGE_ROS_MSG_BRIDGE_H_

#include "bridge/bridge.h"
#include "dds/dds_channel.h"

// Relays one ROS 2 topic from the rule's src domain to its dst domain, on the
// DDS topic "rt" + topic with the converted type name + "_".
class RosMsgBridge : public Bridge {
 public:
  RosMsgBridge() = default;
  ~RosMsgBridge() override = default;

  bool Initialize(const RuleDescription& rule, const std::shared_ptr<DdsManager>& manager) override;

 private:
  DdsChannel channel_;
};

#endif  // CORVANE_BRIDGE_ROS_MSG_BRIDGE_H_
