// How ROS 2 names its topics, services and actions on DDS.
#ifndef CORVANE_BRIDGE_ROS_H_
#define CORVANE_BRIDGE_ROS_H_

// How ROS 2 shows its topics, services and actions on DDS. With T the ROS 2
// name (with its leading "/") and D = ConvertRosTypeNameToDdsTypeName(type),
// a message travels on topic kRosTopicPrefix + T with type D + kRosMsgSuffix,
// a service request on kRosRequestPrefix + T + kRosRequestTopicSuffix, and so
// on; the action items add kRosActionInfix and their own names.

#include <string>

// "pkg/msg/Name" -> "pkg::msg::dds_::Name": every "/" becomes "::" and
// "dds_::" goes in front of the last segment. Never fails.
std::string ConvertRosTypeNameToDdsTypeName(const std::string& ros_type_name);

// The type hash entry of an endpoint's USER_DATA, as ROS 2 writes it since
// Iron ("…;typehash=RIHS01_<64 hex>;…"): "typehash=RIHS01_<64 hex>;", or
// empty when `user_data` has none.
std::string TypeHashEntry(const std::string& user_data);

// Topic name prefixes.
extern const char kRosTopicPrefix[];    // "rt": messages, feedback, status
extern const char kRosRequestPrefix[];  // "rq"
extern const char kRosReplyPrefix[];    // "rr"

// Topic name suffixes of services.
extern const char kRosRequestTopicSuffix[];  // "Request"
extern const char kRosReplyTopicSuffix[];    // "Reply"

// Type name suffixes.
extern const char kRosMsgSuffix[];       // "_"
extern const char kRosRequestSuffix[];   // "_Request_"
extern const char kRosResponseSuffix[];  // "_Response_"

// Actions: three services and two topics under T + kRosActionInfix.
extern const char kRosActionInfix[];  // "/_action/"
extern const char kRosActionSendGoal[];
extern const char kRosActionCancelGoal[];
extern const char kRosActionGetResult[];
extern const char kRosActionFeedback[];
extern const char kRosActionStatus[];
extern const char kRosSendGoalRequestSuffix[];
extern const char kRosSendGoalResponseSuffix[];
extern const char kRosGetResultRequestSuffix[];
extern const char kRosGetResultResponseSuffix[];
extern const char kRosFeedbackMessageSuffix[];
// Fixed types of the action_msgs package, the same for every action.
extern const char kRosCancelGoalRequestType[];
extern const char kRosCancelGoalResponseType[];
extern const char kRosGoalStatusArrayType[];

#endif  // CORVANE_BRIDGE_ROS_H_
