// A client or server of interop/srv/Echo (one string each way) that pairs as
// ROS 2 on Cyclone DDS does, through the request header in the payload; its
// texts are "<n>:" followed by lower-case letters, as the Fast DDS service
// peer's. As an action client or server of interop/action/Fib it speaks the
// Fast DDS service peer's word protocol on the same eight topics.
//
//   ros2_echo_peer --role client|server|action-client|action-server
//       --domain N [--service /NAME] [--count N] [--timeout S]
//
// The client calls --count times, one call at a time, and keeps only replies
// that carry its guid: "done ok=<n> wrong=<m>" (wrong: the text is not the
// one it sent). The server prints "serving" once a client's endpoints
// matched and echoes each request under its header: "done answered=<n>
// bad=<m>" (bad: a request whose text is not "<n>:letters", which is what a
// request of another shape reads as, if it reads at all).

#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "interop_echo.h"
#include "std_msgs.h"
#include "tests/peers/peer_common.h"

namespace {

using Request = interop_srv_dds__Echo_Request_;
using Reply = interop_srv_dds__Echo_Response_;

std::string TextOf(long long n) {
  return std::to_string(n) + ":" + std::string(8 + n % 24, static_cast<char>('a' + n % 26));
}

// "<n>:" and lower-case letters, as every text of the peers is.
bool WellFormed(const char* text) {
  char* end = nullptr;
  std::strtoll(text, &end, 10);
  if (end == text || *end != ':') return false;
  for (const char* c = end + 1; *c != '\0'; c++) {
    if (*c < 'a' || *c > 'z') return false;
  }
  return true;
}

int Serve(peers::Participant& participant, const std::string& service, long long count,
          const peers::Deadline& deadline) {
  const dds_entity_t requests = participant.CreateReader(interop_srv_dds__Echo_Request__desc,
                                                         peers::RosRequestTopicName(service));
  const dds_entity_t replies = participant.CreateWriter(interop_srv_dds__Echo_Response__desc,
                                                        peers::RosReplyTopicName(service));
  if (requests <= 0 || replies <= 0) return peers::kExitSetup;
  peers::Emit("ready");
  if (!peers::WaitForMatch({requests, replies}, deadline)) return peers::kExitFailed;
  peers::Emit("serving");
  long long answered = 0;
  long long bad = 0;
  while (!deadline.Passed() && answered + bad < count) {
    participant.WaitForData({requests}, deadline, DDS_MSECS(200));
    peers::TakeEach<Request>(requests, [&](const Request& request) {
      if (!WellFormed(request.data)) {
        ++bad;
        return;
      }
      Reply reply{request.guid, request.seq, request.data};
      dds_write(replies, &reply);
      ++answered;
    });
  }
  peers::FlushWriter(replies, deadline);
  peers::Emit("done answered=%lld bad=%lld", answered, bad);
  return answered == count && bad == 0 ? peers::kExitOk : peers::kExitFailed;
}

int Call(peers::Participant& participant, const std::string& service, long long count,
         const peers::Deadline& deadline) {
  const dds_entity_t requests = participant.CreateWriter(interop_srv_dds__Echo_Request__desc,
                                                         peers::RosRequestTopicName(service));
  const dds_entity_t replies = participant.CreateReader(interop_srv_dds__Echo_Response__desc,
                                                        peers::RosReplyTopicName(service));
  if (requests <= 0 || replies <= 0) return peers::kExitSetup;
  uint64_t guid = 0;
  dds_get_instance_handle(requests, &guid);
  if (!peers::WaitForMatch({requests, replies}, deadline)) return peers::kExitFailed;
  dds_sleepfor(deadline.Remaining(DDS_MSECS(1500)));  // the relay's side matches too
  long long ok = 0;
  long long wrong = 0;
  for (long long n = 1; n <= count && !deadline.Passed(); n++) {
    std::string text = TextOf(n);
    const Request request{guid, n, &text[0]};
    dds_write(requests, &request);
    bool answered = false;
    while (!answered && !deadline.Passed()) {
      participant.WaitForData({replies}, deadline, DDS_MSECS(200));
      peers::TakeEach<Reply>(replies, [&](const Reply& reply) {
        if (reply.guid != guid || reply.seq != n) return;
        answered = true;
        (text == reply.data ? ok : wrong)++;
      });
    }
  }
  peers::Emit("done ok=%lld wrong=%lld", ok, wrong);
  return ok == count ? peers::kExitOk : peers::kExitFailed;
}

// --- actions -----------------------------------------------------------------

// The Fast DDS service peer's actions carry one string per sample; under the
// header here, so an action's requests and replies have Echo's layout and
// its topics std_msgs' String layout, each under the action's own type name.
class NamedType {
 public:
  NamedType(const dds_topic_descriptor_t& layout, std::string name)
      : name_(std::move(name)), descriptor_(layout) {
    descriptor_.m_typename = name_.c_str();
  }
  NamedType(const NamedType&) = delete;
  NamedType& operator=(const NamedType&) = delete;
  const dds_topic_descriptor_t& descriptor() const { return descriptor_; }

 private:
  const std::string name_;
  dds_topic_descriptor_t descriptor_;
};

const std::string kFib = "interop::action::dds_::Fib_";

// One of the action's three services, from the client's or the server's side.
class HeaderService {
 public:
  HeaderService(peers::Participant& participant, const std::string& action, const char* part,
                const std::string& type, bool server)
      : request_type_(interop_srv_dds__Echo_Request__desc, type + "_Request_"),
        reply_type_(interop_srv_dds__Echo_Response__desc, type + "_Response_") {
    const std::string service = peers::RosActionPartName(action, part);
    const std::string request_topic = peers::RosRequestTopicName(service);
    const std::string reply_topic = peers::RosReplyTopicName(service);
    if (server) {
      in_ = participant.CreateReader(request_type_.descriptor(), request_topic);
      out_ = participant.CreateWriter(reply_type_.descriptor(), reply_topic);
    } else {
      out_ = participant.CreateWriter(request_type_.descriptor(), request_topic);
      in_ = participant.CreateReader(reply_type_.descriptor(), reply_topic);
      dds_get_instance_handle(out_, &guid_);
    }
  }
  bool ok() const { return in_ > 0 && out_ > 0; }
  dds_entity_t in() const { return in_; }
  dds_entity_t out() const { return out_; }

  // Client: writes `text` as the next call; Replied() then tells its answer.
  void Send(std::string text) {
    const Request request{guid_, ++seq_, &text[0]};
    dds_write(out_, &request);
  }
  // Client: the answer to the last call, once it came.
  bool Replied(std::string* text) {
    bool found = false;
    peers::TakeEach<Reply>(in_, [&](const Reply& reply) {
      if (reply.guid != guid_ || reply.seq != seq_) return;
      *text = reply.data;
      found = true;
    });
    return found;
  }
  // Server: answers the request whose header is `to`.
  void Answer(const Request& to, std::string text) {
    const Reply reply{to.guid, to.seq, &text[0]};
    dds_write(out_, &reply);
  }

 private:
  NamedType request_type_;
  NamedType reply_type_;
  dds_entity_t in_ = 0;
  dds_entity_t out_ = 0;
  uint64_t guid_ = 0;
  long long seq_ = 0;
};

// One side of the action's eight topics: its three services, then its
// feedback and status topics.
struct ActionNode {
  ActionNode(peers::Participant& participant, const std::string& action, bool server)
      : send_goal(participant, action, "send_goal", kFib + "SendGoal", server),
        cancel(participant, action, "cancel_goal", "action_msgs::srv::dds_::CancelGoal", server),
        get_result(participant, action, "get_result", kFib + "GetResult", server),
        feedback_type(std_msgs_msg_dds__String__desc, kFib + "FeedbackMessage_"),
        status_type(std_msgs_msg_dds__String__desc, "action_msgs::msg::dds_::GoalStatusArray_") {
    const std::string feedback_topic = peers::RosTopicName(action + "/_action/feedback");
    const std::string status_topic = peers::RosTopicName(action + "/_action/status");
    const auto status_qos = peers::QosProfile::kActionStatus;
    feedback = server ? participant.CreateWriter(feedback_type.descriptor(), feedback_topic)
                      : participant.CreateReader(feedback_type.descriptor(), feedback_topic);
    status = server ? participant.CreateWriter(status_type.descriptor(), status_topic, status_qos)
                    : participant.CreateReader(status_type.descriptor(), status_topic, status_qos);
  }
  bool ok() const {
    return send_goal.ok() && cancel.ok() && get_result.ok() && feedback > 0 && status > 0;
  }
  // Every endpoint matched.
  bool WaitForMatch(const peers::Deadline& deadline) const {
    return peers::WaitForMatch({send_goal.in(), send_goal.out(), cancel.in(), cancel.out(),
                                get_result.in(), get_result.out(), feedback, status},
                               deadline);
  }

  HeaderService send_goal;
  HeaderService cancel;
  HeaderService get_result;
  NamedType feedback_type;
  NamedType status_type;
  dds_entity_t feedback = 0;
  dds_entity_t status = 0;
};

// "goal 7" -> "7" when the request starts with `word`; empty otherwise, which
// is what a request of another shape reads as.
std::string GoalOf(const char* text, const char* word) {
  const size_t length = std::strlen(word);
  if (std::strncmp(text, word, length) != 0 || text[length] != ' ') return "";
  const std::string goal = text + length + 1;
  const bool digits = !goal.empty() && goal.find_first_not_of("0123456789") == std::string::npos;
  return digits ? goal : "";
}

void Publish(dds_entity_t writer, std::string text) {
  const std_msgs_msg_dds__String_ sample{&text[0]};
  dds_write(writer, &sample);
}

// Goal 1 succeeds after three feedbacks, 100 ms apart; goal 2 runs until
// canceled. "done goals=<n> bad=<m>" once both results were answered.
int ServeAction(peers::Participant& participant, const std::string& action,
                const peers::Deadline& deadline) {
  ActionNode node(participant, action, true);
  if (!node.ok()) return peers::kExitSetup;
  if (!node.WaitForMatch(deadline)) return peers::kExitFailed;
  peers::Emit("serving");
  struct Goal {
    std::string state = "executing";
    int steps = 0;
    std::vector<Request> waiting;
  };
  std::map<std::string, Goal> goals;
  long long bad = 0;
  size_t answered = 0;
  while (!deadline.Passed() && answered < 2) {
    participant.WaitForData({node.send_goal.in(), node.cancel.in(), node.get_result.in()}, deadline,
                            DDS_MSECS(100));
    const auto take = [&](HeaderService& service, const char* word,
                          const std::function<void(const Request&, const std::string&)>& act) {
      peers::TakeEach<Request>(service.in(), [&](const Request& request) {
        const std::string goal = GoalOf(request.data, word);
        goal.empty() ? static_cast<void>(++bad) : act(request, goal);
      });
    };
    take(node.send_goal, "goal", [&](const Request& request, const std::string& goal) {
      goals[goal];
      node.send_goal.Answer(request, "accepted " + goal);
      Publish(node.status, "status " + goal + " executing");
    });
    take(node.cancel, "cancel", [&](const Request& request, const std::string& goal) {
      goals[goal].state = "canceled";
      node.cancel.Answer(request, "canceling " + goal);
      Publish(node.status, "status " + goal + " canceled");
    });
    take(node.get_result, "result", [&](const Request& request, const std::string& goal) {
      goals[goal].waiting.push_back(request);
    });
    for (auto& [goal, state] : goals) {
      if (state.state == "executing") {
        Publish(node.feedback, "feedback " + goal + " " + std::to_string(++state.steps));
        if (goal == "1" && state.steps >= 3) {
          state.state = "succeeded";
          Publish(node.status, "status 1 succeeded");
        }
      }
      if (state.state == "executing") continue;
      for (const Request& waiting : state.waiting) {
        node.get_result.Answer(waiting, "result " + goal + " " + state.state);
        ++answered;
      }
      state.waiting.clear();
    }
  }
  peers::FlushWriter(node.get_result.out(), deadline);
  peers::Emit("done goals=%zu bad=%lld", goals.size(), bad);
  return goals.size() == 2 && answered == 2 && bad == 0 ? peers::kExitOk : peers::kExitFailed;
}

// Goal 1 to its result, then goal 2 canceled once its feedback came. Prints
// each reply and each new feedback or status text as it came, then
// "done ok=<n> wrong=<m>".
int CallAction(peers::Participant& participant, const std::string& action,
               const peers::Deadline& deadline) {
  ActionNode node(participant, action, false);
  if (!node.ok()) return peers::kExitSetup;
  if (!node.WaitForMatch(deadline)) return peers::kExitFailed;
  dds_sleepfor(deadline.Remaining(DDS_MSECS(1500)));  // the relay's side matches too
  std::set<std::string> seen;
  const auto watch = [&] {
    for (const dds_entity_t reader : {node.feedback, node.status}) {
      peers::TakeEach<std_msgs_msg_dds__String_>(reader, [&](const std_msgs_msg_dds__String_& s) {
        if (seen.insert(s.data).second) peers::Emit("%s", s.data);
      });
    }
  };
  // Waits for `text` on the topics.
  const auto saw = [&](const std::string& text) {
    while (seen.count(text) == 0 && !deadline.Passed()) {
      participant.WaitForData({node.feedback, node.status}, deadline, DDS_MSECS(100));
      watch();
    }
    return seen.count(text) != 0;
  };
  long long ok = 0;
  long long wrong = 0;
  const auto call = [&](HeaderService& service, const std::string& text,
                        const std::string& expected) {
    service.Send(text);
    std::string reply;
    while (!service.Replied(&reply) && !deadline.Passed()) {
      participant.WaitForData({service.in()}, deadline, DDS_MSECS(100));
      watch();
    }
    if (reply.empty()) return false;
    peers::Emit("%s", reply.c_str());
    (reply == expected ? ok : wrong)++;
    return reply == expected;
  };
  const bool succeeded = call(node.send_goal, "goal 1", "accepted 1") &&
                         call(node.get_result, "result 1", "result 1 succeeded") &&
                         saw("feedback 1 1") && saw("status 1 succeeded");
  const bool canceled = succeeded && call(node.send_goal, "goal 2", "accepted 2") &&
                        saw("feedback 2 1") && call(node.cancel, "cancel 2", "canceling 2") &&
                        call(node.get_result, "result 2", "result 2 canceled") &&
                        saw("status 2 canceled");
  peers::Emit("done ok=%lld wrong=%lld", ok, wrong);
  return succeeded && canceled ? peers::kExitOk : peers::kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  peers::Options options("ros2_echo_peer",
                         {{"role", "client"}, {"service", "/echo"}, {"count", "20"}});
  if (!options.Parse(argc, argv)) return peers::kExitSetup;
  const peers::Deadline deadline = peers::BeginRun(options);
  peers::Participant participant(static_cast<dds_domainid_t>(options.Int("domain")));
  if (!participant.ok()) return peers::kExitSetup;
  const std::string& role = options.Str("role");
  const std::string& name = options.Str("service");
  if (role == "action-server") return ServeAction(participant, name, deadline);
  if (role == "action-client") return CallAction(participant, name, deadline);
  return (role == "server" ? Serve : Call)(participant, name, options.Int("count"), deadline);
}
