// Drives the ROS 2 action example_interfaces/action/Fibonacci as an rclcpp
// action client on the Cyclone-based middleware does: three service clients
// (each stamping requests with its own guid and a sequence number from 1 and
// taking only replies with its guid), a feedback and a status subscription.
//
// Steps: send goal 1 (--order), ask for its result, check the sequence and
// that feedback and a SUCCEEDED status arrived; send goal 2 (--cancel-order),
// cancel it, check the cancel reply, the CANCELED result and status.
//
// Output: "ready", "accepted goal=<k> id=<hex32>",
// "feedback goal=<k> partial=<numbers>", "status goal=<k> code=<n>" (on each
// change), "result goal=<k> status=<n> sequence=<numbers>",
// "cancel goal=2 return_code=<n> canceling=<n>", then "done". Failures print
// "error <what>" or "timeout <step>" and exit 1. "ready" comes once all eight
// endpoints matched and --settle-ms passed.

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
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
using GoalStatusArray = action_msgs_msg_dds__GoalStatusArray_;
using UuidField = unique_identifier_msgs_msg_dds__UUID_;

struct Goal {
  int number;  // 1 or 2, for the output
  UuidField id;
  int order;
  int feedback_count = 0;
  int8_t status = -1;
};

struct Result {
  int8_t status;
  std::vector<int32_t> sequence;
};

struct CancelOutcome {
  int8_t return_code;
  std::vector<UuidField> canceling;
};

// One service client: a request writer, a reply reader, its guid and the
// sequence number of its one outstanding call.
struct ServiceClient {
  dds_entity_t requests = 0;
  dds_entity_t replies = 0;
  uint64_t guid = 0;
  int64_t last_seq = 0;

  void Create(peers::Participant& participant, const std::string& service,
              const dds_topic_descriptor_t& request_type,
              const dds_topic_descriptor_t& reply_type) {
    requests = participant.CreateWriter(request_type, peers::RosRequestTopicName(service));
    replies = participant.CreateReader(reply_type, peers::RosReplyTopicName(service));
    if (requests > 0) dds_get_instance_handle(requests, &guid);
  }
  int64_t NextSeq() { return ++last_seq; }
};

class FibonacciClient {
 public:
  FibonacciClient(peers::Participant& participant, const std::string& action,
                  const peers::Deadline& deadline)
      : participant_(participant), deadline_(deadline) {
    const auto part = [&](const char* name) { return peers::RosActionPartName(action, name); };
    send_goal_.Create(participant, part("send_goal"),
                      example_interfaces_action_dds__Fibonacci_SendGoal_Request__desc,
                      example_interfaces_action_dds__Fibonacci_SendGoal_Response__desc);
    cancel_.Create(participant, part("cancel_goal"), action_msgs_srv_dds__CancelGoal_Request__desc,
                   action_msgs_srv_dds__CancelGoal_Response__desc);
    get_result_.Create(participant, part("get_result"),
                       example_interfaces_action_dds__Fibonacci_GetResult_Request__desc,
                       example_interfaces_action_dds__Fibonacci_GetResult_Response__desc);
    feedback_ =
        participant.CreateReader(example_interfaces_action_dds__Fibonacci_FeedbackMessage__desc,
                                 peers::RosTopicName(part("feedback")));
    status_ = participant.CreateReader(action_msgs_msg_dds__GoalStatusArray__desc,
                                       peers::RosTopicName(part("status")),
                                       peers::QosProfile::kActionStatus);
  }

  std::vector<dds_entity_t> Endpoints() const {
    return {send_goal_.requests,  send_goal_.replies,  cancel_.requests, cancel_.replies,
            get_result_.requests, get_result_.replies, feedback_,        status_};
  }

  bool ok() const {
    for (const dds_entity_t endpoint : Endpoints()) {
      if (endpoint <= 0) return false;
    }
    return true;
  }

  // Sends a goal; true once the server accepted it.
  bool SendGoal(Goal& goal) {
    const peers::Uuid uuid = peers::RandomUuid();
    std::memcpy(goal.id.uuid, uuid.data(), uuid.size());
    const SendGoalRequest request{send_goal_.guid, send_goal_.NextSeq(), goal.id, {goal.order}};
    goals_.push_back(&goal);
    accepted_.reset();
    dds_write(send_goal_.requests, &request);
    if (!Pump([&] { return accepted_.has_value(); })) return Fail("timeout send_goal");
    if (!*accepted_) return Fail("error goal=%d rejected", goal.number);
    peers::Emit("accepted goal=%d id=%s", goal.number, peers::UuidHex(goal.id.uuid).c_str());
    return true;
  }

  std::optional<Result> GetResult(const Goal& goal) {
    const GetResultRequest request{get_result_.guid, get_result_.NextSeq(), goal.id};
    result_.reset();
    dds_write(get_result_.requests, &request);
    if (!Pump([&] { return result_.has_value(); })) {
      Fail("timeout get_result goal=%d", goal.number);
      return std::nullopt;
    }
    peers::Emit("result goal=%d status=%d sequence=%s", goal.number, result_->status,
                peers::Join(result_->sequence.data(), result_->sequence.size()).c_str());
    return result_;
  }

  std::optional<CancelOutcome> Cancel(const Goal& goal) {
    const CancelRequest request{cancel_.guid, cancel_.NextSeq(), {goal.id, {0, 0}}};
    cancel_outcome_.reset();
    dds_write(cancel_.requests, &request);
    if (!Pump([&] { return cancel_outcome_.has_value(); })) {
      Fail("timeout cancel_goal goal=%d", goal.number);
      return std::nullopt;
    }
    peers::Emit("cancel goal=%d return_code=%d canceling=%zu", goal.number,
                cancel_outcome_->return_code, cancel_outcome_->canceling.size());
    return cancel_outcome_;
  }

  // Processes incoming samples until `done` holds; false on a failed check
  // or when the deadline passes first.
  bool Pump(const std::function<bool()>& done) {
    while (!failed_ && !done()) {
      if (deadline_.Passed()) return false;
      participant_.WaitForData(
          {send_goal_.replies, cancel_.replies, get_result_.replies, feedback_, status_}, deadline_,
          DDS_MSECS(100));
      TakeAll();
    }
    return !failed_;
  }

  bool Fail(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (failed_) return false;  // the first failure has been reported
    failed_ = true;
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    peers::Emit("%s", text);
    return false;
  }

 private:
  // A reply is ours when it carries the client's guid; with our guid it must
  // also answer the one outstanding call.
  bool Ours(const ServiceClient& client, uint64_t guid, int64_t seq) {
    if (guid != client.guid) return false;
    if (seq != client.last_seq) Fail("error unexpected seq=%lld", static_cast<long long>(seq));
    return !failed_;
  }

  Goal* FindGoal(const UuidField& id) {
    for (Goal* goal : goals_) {
      if (std::memcmp(goal->id.uuid, id.uuid, sizeof id.uuid) == 0) return goal;
    }
    return nullptr;
  }

  void TakeAll() {
    peers::TakeEach<SendGoalReply>(send_goal_.replies, [this](const SendGoalReply& reply) {
      if (Ours(send_goal_, reply.guid, reply.seq)) accepted_ = reply.accepted;
    });
    peers::TakeEach<CancelReply>(cancel_.replies, [this](const CancelReply& reply) {
      if (!Ours(cancel_, reply.guid, reply.seq)) return;
      const auto& list = reply.goals_canceling;
      CancelOutcome outcome{reply.return_code, {}};
      for (uint32_t i = 0; i < list._length; ++i)
        outcome.canceling.push_back(list._buffer[i].goal_id);
      cancel_outcome_ = outcome;
    });
    peers::TakeEach<GetResultReply>(get_result_.replies, [this](const GetResultReply& reply) {
      if (!Ours(get_result_, reply.guid, reply.seq)) return;
      const auto& numbers = reply.result.sequence;
      result_ = Result{reply.status, {numbers._buffer, numbers._buffer + numbers._length}};
    });
    peers::TakeEach<FeedbackMessage>(feedback_, [this](const FeedbackMessage& message) {
      Goal* goal = FindGoal(message.goal_id);
      if (goal == nullptr) return;  // another client's goal
      const auto& partial = message.feedback.partial_sequence;
      const std::vector<int32_t> expected = peers::FibonacciSequence(goal->order);
      const std::string text = peers::Join(partial._buffer, partial._length);
      peers::Emit("feedback goal=%d partial=%s", goal->number, text.c_str());
      if (partial._length > expected.size() ||
          !std::equal(partial._buffer, partial._buffer + partial._length, expected.begin())) {
        Fail("error feedback goal=%d is no prefix of the result", goal->number);
      }
      ++goal->feedback_count;
    });
    peers::TakeEach<GoalStatusArray>(status_, [this](const GoalStatusArray& array) {
      for (uint32_t i = 0; i < array.status_list._length; ++i) {
        const auto& entry = array.status_list._buffer[i];
        Goal* goal = FindGoal(entry.goal_info.goal_id);
        if (goal == nullptr || goal->status == entry.status) continue;
        goal->status = entry.status;
        peers::Emit("status goal=%d code=%d", goal->number, entry.status);
      }
    });
  }

  peers::Participant& participant_;
  const peers::Deadline& deadline_;
  ServiceClient send_goal_, cancel_, get_result_;
  dds_entity_t feedback_ = 0, status_ = 0;
  std::vector<Goal*> goals_;
  std::optional<bool> accepted_;
  std::optional<Result> result_;
  std::optional<CancelOutcome> cancel_outcome_;
  bool failed_ = false;
};

// Goal 1 runs to completion: full sequence, feedback on the way, SUCCEEDED.
bool RunToCompletion(FibonacciClient& client, Goal& goal) {
  if (!client.SendGoal(goal)) return false;
  const std::optional<Result> result = client.GetResult(goal);
  if (!result) return false;
  if (result->status != peers::kStatusSucceeded) {
    return client.Fail("error goal=1 status=%d", result->status);
  }
  if (result->sequence != peers::FibonacciSequence(goal.order)) {
    return client.Fail("error goal=1 wrong sequence");
  }
  const bool expect_feedback = goal.order >= 2;
  if (!client.Pump([&] {
        return goal.status == peers::kStatusSucceeded &&
               (!expect_feedback || goal.feedback_count > 0);
      })) {
    return client.Fail("timeout feedback/status goal=1 feedback=%d status=%d", goal.feedback_count,
                       goal.status);
  }
  return true;
}

// Goal 2 is cancelled while it runs: cancel accepted for exactly that goal,
// result CANCELED with a partial sequence, status CANCELED.
bool CancelWhileRunning(FibonacciClient& client, Goal& goal) {
  if (!client.SendGoal(goal)) return false;
  const std::optional<CancelOutcome> cancel = client.Cancel(goal);
  if (!cancel) return false;
  if (cancel->return_code != peers::kCancelNone || cancel->canceling.size() != 1 ||
      std::memcmp(cancel->canceling[0].uuid, goal.id.uuid, sizeof goal.id.uuid) != 0) {
    return client.Fail("error cancel goal=2 not accepted for this goal");
  }
  const std::optional<Result> result = client.GetResult(goal);
  if (!result) return false;
  if (result->status != peers::kStatusCanceled) {
    return client.Fail("error goal=2 status=%d", result->status);
  }
  const std::vector<int32_t> full = peers::FibonacciSequence(goal.order);
  if (result->sequence.size() > full.size() ||
      !std::equal(result->sequence.begin(), result->sequence.end(), full.begin())) {
    return client.Fail("error goal=2 wrong partial sequence");
  }
  if (!client.Pump([&] { return goal.status == peers::kStatusCanceled; })) {
    return client.Fail("timeout status goal=2 status=%d", goal.status);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  peers::Options options(
      "ros2_fib_client",
      {{"action", "/fibonacci"}, {"order", "5"}, {"cancel-order", "40"}, {"settle-ms", "0"}});
  if (!options.Parse(argc, argv)) return peers::kExitSetup;
  const peers::Deadline deadline = peers::BeginRun(options);

  peers::Participant participant(static_cast<dds_domainid_t>(options.Int("domain")));
  if (!participant.ok()) return peers::kExitSetup;
  FibonacciClient client(participant, options.Str("action"), deadline);
  if (!client.ok()) return peers::kExitSetup;

  if (!peers::WaitForMatch(client.Endpoints(), deadline)) {
    peers::Emit("timeout waiting for server");
    return peers::kExitFailed;
  }
  dds_sleepfor(deadline.Remaining(DDS_MSECS(options.Int("settle-ms"))));
  peers::Emit("ready");

  Goal first{1, {}, static_cast<int>(options.Int("order"))};
  Goal second{2, {}, static_cast<int>(options.Int("cancel-order"))};
  if (!RunToCompletion(client, first) || !CancelWhileRunning(client, second)) {
    return peers::kExitFailed;
  }
  peers::Emit("done");
  return peers::kExitOk;
}
