// Serves the ROS 2 action example_interfaces/action/Fibonacci on its eight
// DDS topics, as an rclcpp action server on the Cyclone-based middleware
// does: accepts goals of order 1..46, extends the sequence by one number
// every --period-ms (publishing feedback), publishes the status array on
// every transition, cancels on request and answers result requests once the
// goal has ended.
//
// Output: "ready" (with --wait-match only once a client matched all eight
// endpoints), "goal id=<hex32> order=<n> accepted=<0|1>",
// "status id=<hex32> code=<n>" per transition,
// "cancel id=<hex32> return_code=<n> canceling=<n>",
// "result id=<hex32> status=<n>", and "done results=<n>" or
// "timeout results=<n>". --count is the number of results to serve before
// exiting; 0 serves until the timeout (success).

#include <chrono>
#include <cstring>
#include <vector>

#include "example_interfaces.h"
#include "tests/peers/peer_common.h"

namespace {

using SendGoalRequest = example_interfaces_action_dds__Fibonacci_SendGoal_Request_;
using SendGoalReply = example_interfaces_action_dds__Fibonacci_SendGoal_Response_;
using GetResultRequest = example_interfaces_action_dds__Fibonacci_GetResult_Request_;
using GetResultReply = example_interfaces_action_dds__Fibonacci_GetResult_Response_;
using FeedbackMessage = example_interfaces_action_dds__Fibonacci_FeedbackMessage_;
using CancelRequest = action_msgs_srv_dds__CancelGoal_Request_;
using CancelReply = action_msgs_srv_dds__CancelGoal_Response_;
using GoalInfo = action_msgs_msg_dds__GoalInfo_;
using GoalStatus = action_msgs_msg_dds__GoalStatus_;
using GoalStatusArray = action_msgs_msg_dds__GoalStatusArray_;
using Clock = std::chrono::steady_clock;

constexpr int kMaxOrder = 46;  // the last Fibonacci number that fits in int32

struct Caller {
  uint64_t guid;
  int64_t seq;
};

struct Goal {
  GoalInfo info;
  int order;
  int8_t status;
  std::vector<int32_t> sequence;
  Clock::time_point next_step;
  std::vector<Caller> waiting_for_result;
};

bool SameId(const GoalInfo& info, const unique_identifier_msgs_msg_dds__UUID_& id) {
  return std::memcmp(info.goal_id.uuid, id.uuid, sizeof id.uuid) == 0;
}

bool IsZero(const GoalInfo& info) {
  static const GoalInfo kZero{};
  return std::memcmp(&info, &kZero, sizeof info) == 0;
}

bool IsTerminal(int8_t status) {
  return status == peers::kStatusSucceeded || status == peers::kStatusCanceled ||
         status == peers::kStatusAborted;
}

builtin_interfaces_msg_dds__Time_ Now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - seconds);
  return {static_cast<int32_t>(seconds.count()), static_cast<uint32_t>(nanos.count())};
}

bool NotLater(const builtin_interfaces_msg_dds__Time_& a,
              const builtin_interfaces_msg_dds__Time_& b) {
  return a.sec < b.sec || (a.sec == b.sec && a.nanosec <= b.nanosec);
}

class FibonacciServer {
 public:
  FibonacciServer(peers::Participant& participant, const std::string& action,
                  std::chrono::milliseconds period)
      : participant_(participant), period_(period) {
    const auto part = [&](const char* name) { return peers::RosActionPartName(action, name); };
    send_goal_requests_ =
        participant.CreateReader(example_interfaces_action_dds__Fibonacci_SendGoal_Request__desc,
                                 peers::RosRequestTopicName(part("send_goal")));
    send_goal_replies_ =
        participant.CreateWriter(example_interfaces_action_dds__Fibonacci_SendGoal_Response__desc,
                                 peers::RosReplyTopicName(part("send_goal")));
    cancel_requests_ = participant.CreateReader(action_msgs_srv_dds__CancelGoal_Request__desc,
                                                peers::RosRequestTopicName(part("cancel_goal")));
    cancel_replies_ = participant.CreateWriter(action_msgs_srv_dds__CancelGoal_Response__desc,
                                               peers::RosReplyTopicName(part("cancel_goal")));
    result_requests_ =
        participant.CreateReader(example_interfaces_action_dds__Fibonacci_GetResult_Request__desc,
                                 peers::RosRequestTopicName(part("get_result")));
    result_replies_ =
        participant.CreateWriter(example_interfaces_action_dds__Fibonacci_GetResult_Response__desc,
                                 peers::RosReplyTopicName(part("get_result")));
    feedback_ =
        participant.CreateWriter(example_interfaces_action_dds__Fibonacci_FeedbackMessage__desc,
                                 peers::RosTopicName(part("feedback")));
    status_ = participant.CreateWriter(action_msgs_msg_dds__GoalStatusArray__desc,
                                       peers::RosTopicName(part("status")),
                                       peers::QosProfile::kActionStatus);
  }

  std::vector<dds_entity_t> Endpoints() const {
    return {send_goal_requests_, send_goal_replies_, cancel_requests_, cancel_replies_,
            result_requests_,    result_replies_,    feedback_,        status_};
  }

  bool ok() const {
    for (const dds_entity_t endpoint : Endpoints()) {
      if (endpoint <= 0) return false;
    }
    return true;
  }

  long long results_served() const { return results_served_; }

  // Handles the waiting requests and moves the goals on; returns within
  // `slice` or when the deadline passes.
  void Spin(const peers::Deadline& deadline, dds_duration_t slice) {
    participant_.WaitForData({send_goal_requests_, cancel_requests_, result_requests_}, deadline,
                             slice);
    peers::TakeEach<SendGoalRequest>(send_goal_requests_,
                                     [this](const SendGoalRequest& r) { OnSendGoal(r); });
    peers::TakeEach<CancelRequest>(cancel_requests_,
                                   [this](const CancelRequest& r) { OnCancel(r); });
    peers::TakeEach<GetResultRequest>(result_requests_,
                                      [this](const GetResultRequest& r) { OnGetResult(r); });
    for (Goal& goal : goals_) Step(goal);
  }

  void Flush(const peers::Deadline& deadline) {
    for (const dds_entity_t writer :
         {send_goal_replies_, cancel_replies_, result_replies_, feedback_, status_}) {
      peers::FlushWriter(writer, deadline);
    }
  }

 private:
  void OnSendGoal(const SendGoalRequest& request) {
    const int order = request.goal.order;
    bool accepted = order >= 1 && order <= kMaxOrder;
    for (const Goal& goal : goals_) accepted = accepted && !SameId(goal.info, request.goal_id);
    // Zeroed first: Cyclone copies this struct to the wire as it is, padding
    // after `accepted` included.
    SendGoalReply reply;
    std::memset(&reply, 0, sizeof reply);
    reply.guid = request.guid;
    reply.seq = request.seq;
    reply.accepted = accepted;
    reply.stamp = Now();
    dds_write(send_goal_replies_, &reply);
    peers::Emit("goal id=%s order=%d accepted=%d", peers::UuidHex(request.goal_id.uuid).c_str(),
                order, accepted ? 1 : 0);
    if (!accepted) return;
    goals_.push_back(Goal{GoalInfo{request.goal_id, reply.stamp},
                          order,
                          peers::kStatusAccepted,
                          {0, 1},
                          Clock::now() + period_,
                          {}});
    SetStatus(goals_.back(), peers::kStatusExecuting);
  }

  // A zero goal id with a zero stamp cancels every goal; otherwise the goal
  // with that id and every goal accepted at or before a non-zero stamp.
  void OnCancel(const CancelRequest& request) {
    const GoalInfo& target = request.goal_info;
    const bool all = IsZero(target);
    const bool by_stamp = target.stamp.sec != 0 || target.stamp.nanosec != 0;
    bool id_known = false;
    std::vector<GoalInfo> canceling;
    for (Goal& goal : goals_) {
      const bool by_id = SameId(goal.info, target.goal_id);
      id_known = id_known || by_id;
      const bool selected = all || by_id || (by_stamp && NotLater(goal.info.stamp, target.stamp));
      if (!selected || IsTerminal(goal.status)) continue;
      canceling.push_back(goal.info);
      if (goal.status != peers::kStatusCanceling) SetStatus(goal, peers::kStatusCanceling);
    }
    int8_t code = peers::kCancelNone;
    if (canceling.empty()) {
      const bool specific = !all && !by_stamp;
      code = !specific  ? peers::kCancelRejected
             : id_known ? peers::kCancelGoalTerminated
                        : peers::kCancelUnknownGoal;
    }
    const CancelReply reply{
        request.guid, request.seq, code,
        peers::BorrowSequence<dds_sequence_action_msgs_msg_dds__GoalInfo_>(canceling)};
    dds_write(cancel_replies_, &reply);
    peers::Emit("cancel id=%s return_code=%d canceling=%zu",
                peers::UuidHex(target.goal_id.uuid).c_str(), code, canceling.size());
  }

  void OnGetResult(const GetResultRequest& request) {
    for (Goal& goal : goals_) {
      if (!SameId(goal.info, request.goal_id)) continue;
      if (IsTerminal(goal.status)) {
        SendResult(goal, {request.guid, request.seq});
      } else {
        goal.waiting_for_result.push_back({request.guid, request.seq});
      }
      return;
    }
    std::vector<int32_t> none;
    const GetResultReply reply{request.guid,
                               request.seq,
                               peers::kStatusUnknown,
                               {peers::BorrowSequence<dds_sequence_long>(none)}};
    dds_write(result_replies_, &reply);
    ++results_served_;
    peers::Emit("result id=%s status=%d", peers::UuidHex(request.goal_id.uuid).c_str(),
                peers::kStatusUnknown);
  }

  // One step of a running goal: end it if cancelled or complete, else add
  // the next number and publish it as feedback.
  void Step(Goal& goal) {
    if (IsTerminal(goal.status) || Clock::now() < goal.next_step) return;
    goal.next_step += period_;
    if (goal.status == peers::kStatusCanceling) return Finish(goal, peers::kStatusCanceled);
    if (goal.sequence.size() == static_cast<size_t>(goal.order) + 1) {
      return Finish(goal, peers::kStatusSucceeded);
    }
    const size_t n = goal.sequence.size();
    goal.sequence.push_back(goal.sequence[n - 1] + goal.sequence[n - 2]);
    const FeedbackMessage feedback{goal.info.goal_id,
                                   {peers::BorrowSequence<dds_sequence_long>(goal.sequence)}};
    dds_write(feedback_, &feedback);
  }

  void Finish(Goal& goal, int8_t status) {
    SetStatus(goal, status);
    for (const Caller& caller : goal.waiting_for_result) SendResult(goal, caller);
    goal.waiting_for_result.clear();
  }

  void SendResult(Goal& goal, const Caller& caller) {
    const GetResultReply reply{caller.guid,
                               caller.seq,
                               goal.status,
                               {peers::BorrowSequence<dds_sequence_long>(goal.sequence)}};
    dds_write(result_replies_, &reply);
    ++results_served_;
    peers::Emit("result id=%s status=%d", peers::UuidHex(goal.info.goal_id.uuid).c_str(),
                goal.status);
  }

  void SetStatus(Goal& goal, int8_t status) {
    goal.status = status;
    peers::Emit("status id=%s code=%d", peers::UuidHex(goal.info.goal_id.uuid).c_str(), status);
    std::vector<GoalStatus> list;
    for (const Goal& g : goals_) list.push_back(GoalStatus{g.info, g.status});
    const GoalStatusArray array{
        peers::BorrowSequence<dds_sequence_action_msgs_msg_dds__GoalStatus_>(list)};
    dds_write(status_, &array);
  }

  peers::Participant& participant_;
  const std::chrono::milliseconds period_;
  dds_entity_t send_goal_requests_, send_goal_replies_, cancel_requests_, cancel_replies_,
      result_requests_, result_replies_, feedback_, status_;
  std::vector<Goal> goals_;
  long long results_served_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  peers::Options options(
      "ros2_fib_server",
      {{"action", "/fibonacci"}, {"count", "0"}, {"period-ms", "100"}, {"wait-match", "false"}});
  if (!options.Parse(argc, argv)) return peers::kExitSetup;
  const peers::Deadline deadline = peers::BeginRun(options);

  peers::Participant participant(static_cast<dds_domainid_t>(options.Int("domain")));
  if (!participant.ok()) return peers::kExitSetup;
  FibonacciServer server(participant, options.Str("action"),
                         std::chrono::milliseconds(options.Int("period-ms")));
  if (!server.ok()) return peers::kExitSetup;

  if (options.Flag("wait-match") && !peers::WaitForMatch(server.Endpoints(), deadline)) {
    peers::Emit("timeout waiting for clients");
    return peers::kExitFailed;
  }
  peers::Emit("ready");

  const long long count = options.Int("count");
  while (!deadline.Passed() && (count == 0 || server.results_served() < count)) {
    server.Spin(deadline, DDS_MSECS(10));
  }
  server.Flush(deadline);
  if (count != 0 && server.results_served() < count) {
    peers::Emit("timeout results=%lld", server.results_served());
    return peers::kExitFailed;
  }
  peers::Emit("done results=%lld", server.results_served());
  return peers::kExitOk;
}
