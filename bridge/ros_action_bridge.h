// The bridge of a ROS 2 action.
#ifndef CORVANE_BRIDGE_ROS_ACTION_BRIDGE_H_
#define CORVANE_BRIDGE_ROS_ACTION_BRIDGE_H_

#include "bridge/bridge.h"
#include "dds/dds_channel.h"

// Relays one ROS 2 action on its eight DDS topics: the requests of its three
// services from the proxy-service side (the rule's src) to the service side
// (dst); their replies, the feedback and the status back. The channels are
// set up in the order declared and destroyed in reverse.
class RosActionBridge : public Bridge {
 public:
  RosActionBridge() = default;
  ~RosActionBridge() override = default;

  bool Initialize(const RuleDescription& rule, const std::shared_ptr<DdsManager>& manager) override;

 private:
  DdsChannel send_goal_request_channel_;
  DdsChannel cancel_goal_request_channel_;
  DdsChannel get_result_request_channel_;
  DdsChannel get_result_reply_channel_;
  DdsChannel feedback_channel_;
  DdsChannel status_channel_;
  DdsChannel send_goal_reply_channel_;
  DdsChannel cancel_goal_reply_channel_;
};

#endif  // CORVANE_BRIDGE_ROS_ACTION_BRIDGE_H_
