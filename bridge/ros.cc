// How ROS 2 names its topics, services and actions on DDS.

#include "bridge/ros.h"

const char kRosTopicPrefix[] = "rt";
const char kRosRequestPrefix[] = "rq";
const char kRosReplyPrefix[] = "rr";
const char kRosRequestTopicSuffix[] = "Request";
const char kRosReplyTopicSuffix[] = "Reply";
const char kRosMsgSuffix[] = "_";
const char kRosRequestSuffix[] = "_Request_";
const char kRosResponseSuffix[] = "_Response_";
const char kRosActionInfix[] = "/_action/";
const char kRosActionSendGoal[] = "send_goal";
const char kRosActionCancelGoal[] = "cancel_goal";
const char kRosActionGetResult[] = "get_result";
const char kRosActionFeedback[] = "feedback";
const char kRosActionStatus[] = "status";
const char kRosSendGoalRequestSuffix[] = "_SendGoal_Request_";
const char kRosSendGoalResponseSuffix[] = "_SendGoal_Response_";
const char kRosGetResultRequestSuffix[] = "_GetResult_Request_";
const char kRosGetResultResponseSuffix[] = "_GetResult_Response_";
const char kRosFeedbackMessageSuffix[] = "_FeedbackMessage_";
const char kRosCancelGoalRequestType[] = "action_msgs::srv::dds_::CancelGoal_Request_";
const char kRosCancelGoalResponseType[] = "action_msgs::srv::dds_::CancelGoal_Response_";
const char kRosGoalStatusArrayType[] = "action_msgs::msg::dds_::GoalStatusArray_";

std::string ConvertRosTypeNameToDdsTypeName(const std::string& ros_type_name) {
  std::string result;
  result.reserve(256);
  const std::string::size_type last = ros_type_name.rfind('/');
  std::string::size_type start = 0;
  for (auto slash = ros_type_name.find('/', start); slash != std::string::npos;
       slash = ros_type_name.find('/', start)) {
    result.append(ros_type_name, start, slash - start);
    start = slash + 1;
    result.append("::");
  }
  result.append("dds_::");
  result.append(ros_type_name, last == std::string::npos ? 0 : last + 1, std::string::npos);
  return result;
}

std::string TypeHashEntry(const std::string& user_data) {
  static const std::string kKey = "typehash=";
  for (std::string::size_type at = user_data.find(kKey); at != std::string::npos;
       at = user_data.find(kKey, at + 1)) {
    if (at != 0 && user_data[at - 1] != ';') continue;  // the end of another key
    const std::string::size_type end = user_data.find(';', at);
    const std::string value = user_data.substr(
        at + kKey.size(), end == std::string::npos ? std::string::npos : end - at - kKey.size());
    if (value.compare(0, 4, "RIHS") != 0) return "";
    return kKey + value + ";";
  }
  return "";
}
