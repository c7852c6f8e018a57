// The ROS 2 action bridge: eight channels as one table.

#include "bridge/ros_action_bridge.h"

#include "bridge/channel_rows.h"
#include "bridge/ros.h"

namespace {

// "rq" + T + "/_action/send_goal" + "Request", and the like.
std::string ActionTopic(const char* prefix, const std::string& action, const char* item,
                        const char* suffix = "") {
  return prefix + action + kRosActionInfix + item + suffix;
}

}  // namespace

bool RosActionBridge::Initialize(const RuleDescription& rule,
                                 const std::shared_ptr<DdsManager>& manager) {
  const std::string& t = rule.topic;
  const std::string d = ConvertRosTypeNameToDdsTypeName(rule.data_type);
  const char* rq = kRosRequestPrefix;
  const char* rr = kRosReplyPrefix;
  const char* rt = kRosTopicPrefix;
  const char* request = kRosRequestTopicSuffix;
  const char* reply = kRosReplyTopicSuffix;
  return InitializeChannelRows(
      rule, manager,
      {
          {&send_goal_request_channel_, ActionTopic(rq, t, kRosActionSendGoal, request),
           d + kRosSendGoalRequestSuffix, true},
          {&cancel_goal_request_channel_, ActionTopic(rq, t, kRosActionCancelGoal, request),
           kRosCancelGoalRequestType, true},
          {&get_result_request_channel_, ActionTopic(rq, t, kRosActionGetResult, request),
           d + kRosGetResultRequestSuffix, true},
          {&get_result_reply_channel_, ActionTopic(rr, t, kRosActionGetResult, reply),
           d + kRosGetResultResponseSuffix, false, &get_result_request_channel_},
          {&feedback_channel_, ActionTopic(rt, t, kRosActionFeedback),
           d + kRosFeedbackMessageSuffix, false},
          {&status_channel_, ActionTopic(rt, t, kRosActionStatus), kRosGoalStatusArrayType, false},
          {&send_goal_reply_channel_, ActionTopic(rr, t, kRosActionSendGoal, reply),
           d + kRosSendGoalResponseSuffix, false, &send_goal_request_channel_},
          {&cancel_goal_reply_channel_, ActionTopic(rr, t, kRosActionCancelGoal, reply),
           kRosCancelGoalResponseType, false, &cancel_goal_request_channel_},
      },
      channels_);
}
