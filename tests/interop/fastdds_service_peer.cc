// A ROS 2 service or action client or server that pairs requests and replies
// as ROS 2's Fast DDS middleware does: the request and the reply are plain
// samples on "rq<service>Request" and "rr<service>Reply"; the client writes
// each request with related sample identity = (its reply reader's GUID,
// unknown sequence) and keeps a reply only when the reply's related identity
// names its reply reader or its request writer and the sequence number Fast
// DDS gave one of its requests. The server answers (the request's related
// GUID if known, else its writer's GUID; the request's sequence number); when
// that GUID is a reader, it first waits up to 100 ms for its reply writer to
// match that reader and drops the reply if it does not. Samples carry one
// string each: the chatter text of peer_payload.h for services, words for
// actions.
//
//   interop_fastdds_service_peer client|server|action-client|action-server
//       --domain N --service /NAME --type PKG/srv/NAME [--count N]
//       [--size CHARS] [--settle-ms MS] [--delay-ms MS] [--window N]
//       [--timeout SECONDS]
//
// Output follows peer_report.h: the client prints "sent" per request and
// "recv" per reply paired with one of its requests, the server "recv" per
// request and "sent" per reply (without stamp: Fast DDS 2.9 cannot stamp a
// write that names a related identity). Besides:
//
//   serving                                  server: its endpoints matched
//   drop seq=S                               server: reply not written
//   rtt seq=S us=N                           client with --window: round trip
//   done ok=N wrong=N foreign=N unmatched=N  client; then the process exits
//   done answered=N dropped=N bad=N          server; then the process exits
//
// An action client sends goal 1 and waits for its result, then goal 2, which
// it cancels once it runs; it prints "accepted goal=G", "feedback goal=G",
// "status goal=G state=S", "canceling goal=G", "result goal=G state=S".

#include <fastdds/rtps/common/WriteParams.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/log/Log.hpp>
#include <fastdds/dds/log/StdoutErrConsumer.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/DataWriterListener.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "tests/interop/fastdds_types.h"
#include "tests/interop/peer_report.h"

namespace {

namespace fdds = eprosima::fastdds::dds;
using eprosima::fastrtps::Duration_t;
using eprosima::fastrtps::Time_t;
using eprosima::fastrtps::rtps::GUID_t;
using eprosima::fastrtps::rtps::SampleIdentity;
using eprosima::fastrtps::rtps::SequenceNumber_t;
using eprosima::fastrtps::rtps::WriteParams;
using ReturnCode = eprosima::fastrtps::types::ReturnCode_t;
using Clock = std::chrono::steady_clock;
using Text = std_msgs::msg::dds_::String_;

const char* const PARTICIPANT_PROFILE = "corvane_loopback_participant";
const Duration_t HEARTBEAT_PERIOD(0, 100000000);
const auto POLL_STEP = std::chrono::milliseconds(10);
const unsigned HARD_STOP_MARGIN_SECONDS = 10;
// How long a server waits for its reply writer to match the client's reply
// reader: the reply writer's max_blocking_time, 100 ms by default.
const auto READER_MATCH_WAIT = std::chrono::milliseconds(100);
// After its last reply the client stays so that the relay's reply writer
// sees its acknowledgment.
const std::chrono::milliseconds CLIENT_LINGER(500);
// An action server's goal 1 sends this many feedbacks, one per step.
const int GOAL_STEPS = 3;
const auto GOAL_STEP = std::chrono::milliseconds(100);

enum class Role { kClient, kServer, kActionClient, kActionServer };

struct ServiceOptions {
  Role role = Role::kClient;
  int domain_id = -1;
  std::string service;   // ROS 2 name with its leading "/".
  std::string ros_type;  // PKG/srv/NAME or PKG/action/NAME
  uint32_t count = 10;
  uint32_t size = 32;
  uint32_t settle_ms = 0;
  uint32_t delay_ms = 0;  // server: before each reply
  uint32_t window = 0;    // client: calls outstanding at most (0: all); rtt lines
  double timeout_seconds = 20;
};

bool ParseUint32(const char* text, uint32_t* value) {
  char* end = nullptr;
  const unsigned long parsed = std::strtoul(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || parsed > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

bool ParseRole(const char* text, Role* role) {
  const std::map<std::string, Role> roles = {{"client", Role::kClient},
                                             {"server", Role::kServer},
                                             {"action-client", Role::kActionClient},
                                             {"action-server", Role::kActionServer}};
  const auto found = roles.find(text);
  if (found == roles.end()) return false;
  *role = found->second;
  return true;
}

bool ParseServiceOptions(int argc, char** argv, ServiceOptions* options) {
  if (argc < 2 || !ParseRole(argv[1], &options->role)) return false;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char* value = argv[i + 1];
    uint32_t number = 0;
    if (name == "--service") {
      options->service = value;
    } else if (name == "--type") {
      options->ros_type = value;
    } else if (name == "--timeout") {
      options->timeout_seconds = std::strtod(value, nullptr);
    } else if (!ParseUint32(value, &number)) {
      return false;
    } else if (name == "--domain") {
      options->domain_id = static_cast<int>(number);
    } else if (name == "--count") {
      options->count = number;
    } else if (name == "--size") {
      options->size = number;
    } else if (name == "--settle-ms") {
      options->settle_ms = number;
    } else if (name == "--delay-ms") {
      options->delay_ms = number;
    } else if (name == "--window") {
      options->window = number;
    } else {
      return false;
    }
  }
  return argc % 2 == 0 && options->domain_id >= 0 && options->domain_id <= 232 &&
         !options->service.empty() && !options->ros_type.empty() && options->timeout_seconds > 0 &&
         options->timeout_seconds < 3600;
}

// "pkg/srv/Name" -> "pkg::srv::dds_::Name", as ROS 2 names it on DDS.
std::string DdsTypeName(const std::string& ros_type) {
  const size_t last = ros_type.rfind('/');
  std::string prefix = ros_type.substr(0, last == std::string::npos ? 0 : last + 1);
  for (size_t at = 0; (at = prefix.find('/', at)) != std::string::npos; at += 2) {
    prefix.replace(at, 1, "::");
  }
  return prefix + "dds_::" + ros_type.substr(last == std::string::npos ? 0 : last + 1);
}

void PrintLine(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int64_t WallClockNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Time_t ToTime(int64_t nanoseconds) {
  return Time_t(static_cast<int32_t>(nanoseconds / 1000000000),
                static_cast<uint32_t>(nanoseconds % 1000000000));
}

int64_t SequenceOf(const SampleIdentity& identity) {
  return static_cast<int64_t>(identity.sequence_number().to64long());
}

struct ParticipantDeleter {
  void operator()(fdds::DomainParticipant* participant) const {
    participant->delete_contained_entities();
    fdds::DomainParticipantFactory::get_instance()->delete_participant(participant);
  }
};

// Reliable, volatile and keep-all, like a ROS 2 service's endpoints.
fdds::DataWriterQos ServiceWriterQos(fdds::Publisher* publisher) {
  fdds::DataWriterQos qos = publisher->get_default_datawriter_qos();
  qos.reliability().kind = fdds::RELIABLE_RELIABILITY_QOS;
  qos.reliability().max_blocking_time = Duration_t(0, 100000000);
  qos.history().kind = fdds::KEEP_ALL_HISTORY_QOS;
  qos.durability().kind = fdds::VOLATILE_DURABILITY_QOS;
  // Cyclone readers acknowledge only heartbeats; see fastdds_peer.cc.
  qos.reliable_writer_qos().times.heartbeatPeriod = HEARTBEAT_PERIOD;
  return qos;
}

fdds::DataReaderQos ServiceReaderQos(fdds::Subscriber* subscriber) {
  fdds::DataReaderQos qos = subscriber->get_default_datareader_qos();
  qos.reliability().kind = fdds::RELIABLE_RELIABILITY_QOS;
  qos.history().kind = fdds::KEEP_ALL_HISTORY_QOS;
  qos.durability().kind = fdds::VOLATILE_DURABILITY_QOS;
  return qos;
}

// The GUIDs of the readers a writer has matched, as a listener learns them.
// Whoever owns one asks it, never get_publication_matched_status(): that call
// resets the change count, and a poll between Fast DDS's status update and
// this callback would hide the match from it.
class MatchedReaders : public fdds::DataWriterListener {
 public:
  void on_publication_matched(fdds::DataWriter*,
                              const fdds::PublicationMatchedStatus& status) override {
    const GUID_t guid = eprosima::fastrtps::rtps::iHandle2GUID(status.last_subscription_handle);
    std::lock_guard<std::mutex> lock(mutex_);
    if (status.current_count_change > 0) readers_.insert(guid);
    if (status.current_count_change < 0) readers_.erase(guid);
    changed_.notify_all();
  }

  bool WaitFor(const GUID_t& reader, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return readers_.count(reader) > 0; });
  }

  bool Any() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !readers_.empty();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::set<GUID_t> readers_;
};

// One participant with a publisher and a subscriber; topics carry text.
class Node {
 public:
  static std::unique_ptr<Node> Create(int domain_id) {
    auto* factory = fdds::DomainParticipantFactory::get_instance();
    if (factory->load_XML_profiles_file(CORVANE_FASTDDS_PROFILE) != ReturnCode::RETCODE_OK) {
      return nullptr;
    }
    std::unique_ptr<Node> node(
        new Node(factory->create_participant_with_profile(domain_id, PARTICIPANT_PROFILE)));
    if (!node->participant_) return nullptr;
    node->publisher_ = node->participant_->create_publisher(fdds::PUBLISHER_QOS_DEFAULT);
    node->subscriber_ = node->participant_->create_subscriber(fdds::SUBSCRIBER_QOS_DEFAULT);
    if (node->publisher_ == nullptr || node->subscriber_ == nullptr) return nullptr;
    return node;
  }

  fdds::DataWriter* Writer(const std::string& topic, const std::string& type,
                           fdds::DataWriterListener* listener = nullptr) {
    fdds::Topic* described = Topic(topic, type);
    if (described == nullptr) return nullptr;
    return publisher_->create_datawriter(described, ServiceWriterQos(publisher_), listener,
                                         fdds::StatusMask::publication_matched());
  }

  fdds::DataReader* Reader(const std::string& topic, const std::string& type) {
    fdds::Topic* described = Topic(topic, type);
    if (described == nullptr) return nullptr;
    return subscriber_->create_datareader(described, ServiceReaderQos(subscriber_));
  }

 private:
  explicit Node(fdds::DomainParticipant* participant) : participant_(participant) {}

  fdds::Topic* Topic(const std::string& name, const std::string& type_name) {
    if (fdds::TopicDescription* existing = participant_->lookup_topicdescription(name)) {
      return dynamic_cast<fdds::Topic*>(existing);
    }
    fdds::TypeSupport type = CreateStringTypeSupport();
    type->setName(type_name.c_str());
    if (participant_->find_type(type_name).empty() &&
        type.register_type(participant_.get()) != ReturnCode::RETCODE_OK) {
      return nullptr;
    }
    return participant_->create_topic(name, type_name, fdds::TOPIC_QOS_DEFAULT);
  }

  std::unique_ptr<fdds::DomainParticipant, ParticipantDeleter> participant_;
  fdds::Publisher* publisher_ = nullptr;    // Owned by participant_.
  fdds::Subscriber* subscriber_ = nullptr;  // Owned by participant_.
};

bool WriterMatched(fdds::DataWriter* writer) {
  fdds::PublicationMatchedStatus status;
  writer->get_publication_matched_status(status);
  return status.current_count >= 1;
}

bool ReaderMatched(fdds::DataReader* reader) {
  fdds::SubscriptionMatchedStatus status;
  reader->get_subscription_matched_status(status);
  return status.current_count >= 1;
}

// Takes the next sample with data; false when none is there.
bool TakeText(fdds::DataReader* reader, Text* text, fdds::SampleInfo* info) {
  while (reader->take_next_sample(text, info) == ReturnCode::RETCODE_OK) {
    if (info->valid_data) return true;
  }
  return false;
}

// A reply as a client sees it: `ours` when its related identity names the
// client, then `request` is the sequence number it answers.
struct Reply {
  bool ours = false;
  int64_t request = 0;
  Text text;
};

// The client side of one service.
class ServiceClient {
 public:
  bool Open(Node* node, const std::string& service, const std::string& type) {
    writer_ = node->Writer("rq" + service + "Request", type + "_Request_");
    reader_ = node->Reader("rr" + service + "Reply", type + "_Response_");
    return writer_ != nullptr && reader_ != nullptr;
  }
  bool Matched() const { return WriterMatched(writer_) && ReaderMatched(reader_); }

  // The sequence number Fast DDS gave the request, or -1.
  int64_t Send(const std::string& text, int64_t stamp) {
    Text wire{text};
    WriteParams params;
    params.related_sample_identity().writer_guid(reader_->guid());
    params.source_timestamp(ToTime(stamp));
    if (!writer_->write(&wire, params)) return -1;
    return SequenceOf(params.sample_identity());
  }

  bool Take(Reply* reply) {
    fdds::SampleInfo info;
    if (!TakeText(reader_, &reply->text, &info)) return false;
    const GUID_t& named = info.related_sample_identity.writer_guid();
    reply->ours = named == reader_->guid() || named == writer_->guid();
    reply->request = SequenceOf(info.related_sample_identity);
    return true;
  }

  // Returns when a reply is there, or after a poll step.
  void WaitForReply() {
    reader_->wait_for_unread_message(
        Duration_t(0, static_cast<uint32_t>(POLL_STEP.count() * 1000000)));
  }

  // Waits for the reply to `request`, counting replies to others.
  bool Await(int64_t request, Clock::time_point deadline, Text* text, uint32_t* foreign,
             uint32_t* wrong) {
    Reply reply;
    while (Clock::now() < deadline) {
      while (Take(&reply)) {
        if (!reply.ours) {
          ++*foreign;
        } else if (reply.request != request) {
          ++*wrong;
        } else {
          *text = reply.text;
          return true;
        }
      }
      std::this_thread::sleep_for(POLL_STEP);
    }
    return false;
  }

 private:
  fdds::DataWriter* writer_ = nullptr;  // Owned by the node.
  fdds::DataReader* reader_ = nullptr;
};

// A request as a server sees it, with the identity its reply names.
struct Request {
  SampleIdentity id;
  Text text;
  int64_t stamp = 0;
};

// The server side of one service.
class ServiceServer {
 public:
  bool Open(Node* node, const std::string& service, const std::string& type) {
    reader_ = node->Reader("rq" + service + "Request", type + "_Request_");
    writer_ = node->Writer("rr" + service + "Reply", type + "_Response_", &matched_);
    return writer_ != nullptr && reader_ != nullptr;
  }
  bool Matched() { return matched_.Any() && ReaderMatched(reader_); }

  bool Take(Request* request) {
    fdds::SampleInfo info;
    if (!TakeText(reader_, &request->text, &info)) return false;
    request->id = info.sample_identity;
    if (info.related_sample_identity.writer_guid() != GUID_t::unknown()) {
      request->id.writer_guid(info.related_sample_identity.writer_guid());
    }
    request->stamp = static_cast<int64_t>(info.source_timestamp.seconds()) * 1000000000 +
                     info.source_timestamp.nanosec();
    return true;
  }

  // Returns when a request is there, or after a poll step.
  void WaitForRequest() {
    reader_->wait_for_unread_message(
        Duration_t(0, static_cast<uint32_t>(POLL_STEP.count() * 1000000)));
  }

  // False when the reply was not written: the client's reader did not match.
  bool Answer(const Request& request, const std::string& text) {
    if (request.id.writer_guid().entityId.is_reader() &&
        !matched_.WaitFor(request.id.writer_guid(), READER_MATCH_WAIT)) {
      return false;
    }
    Text wire{text};
    WriteParams params;
    params.related_sample_identity(request.id);
    return writer_->write(&wire, params);
  }

  bool AllAcknowledged(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::max(deadline - Clock::now(), Clock::duration::zero()));
    return writer_->wait_for_acknowledgments(Duration_t(
               static_cast<int32_t>(left.count() / 1000000000),
               static_cast<uint32_t>(left.count() % 1000000000))) == ReturnCode::RETCODE_OK;
  }

 private:
  MatchedReaders matched_;              // Outlives the writer: declared first.
  fdds::DataReader* reader_ = nullptr;  // Owned by the node.
  fdds::DataWriter* writer_ = nullptr;
};

template <typename Ready>
bool WaitUntil(Ready ready, Clock::time_point deadline) {
  while (!ready()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

PeerSample SampleOf(const Text& text, int64_t stamp) {
  PeerSample sample;
  sample.well_formed = SplitChatterText(text.data, &sample.seq, &sample.payload);
  sample.source_timestamp_ns = stamp;
  return sample;
}

// --- services ----------------------------------------------------------------

int RunServer(const ServiceOptions& options, Node* node, Clock::time_point deadline) {
  ServiceServer server;
  if (!server.Open(node, options.service, DdsTypeName(options.ros_type)) ||
      !WaitUntil([&] { return server.Matched(); }, deadline)) {
    PrintLine("fail reason=no-match");
    return 1;
  }
  PrintLine("serving");
  uint32_t answered = 0;
  uint32_t dropped = 0;
  uint32_t bad = 0;
  while (answered + dropped < options.count && Clock::now() < deadline) {
    Request request;
    if (!server.Take(&request)) {
      server.WaitForRequest();
      continue;
    }
    const PeerSample sample = SampleOf(request.text, request.stamp);
    PrintLine(FormatReceivedLine(sample, sample.well_formed));
    std::this_thread::sleep_for(std::chrono::milliseconds(options.delay_ms));
    if (!sample.well_formed) {
      ++bad;
    } else if (!server.Answer(request, request.text.data)) {
      ++dropped;
      PrintLine("drop seq=" + std::to_string(sample.seq));
    } else {
      ++answered;
      const std::string sent = FormatSampleLine("sent", sample);
      PrintLine(sent.substr(0, sent.find(" stamp=")));
    }
  }
  const bool acked = server.AllAcknowledged(deadline);
  PrintLine("done answered=" + std::to_string(answered) + " dropped=" + std::to_string(dropped) +
            " bad=" + std::to_string(bad));
  return answered == options.count && dropped == 0 && bad == 0 && acked ? 0 : 1;
}

int RunClient(const ServiceOptions& options, Node* node, Clock::time_point deadline) {
  ServiceClient client;
  if (!client.Open(node, options.service, DdsTypeName(options.ros_type)) ||
      !WaitUntil([&] { return client.Matched(); }, deadline)) {
    PrintLine("fail reason=no-match");
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(options.settle_ms));
  std::map<int64_t, PeerSample> pending;  // by the request's sequence number
  const uint32_t window = options.window == 0 ? options.count : options.window;
  uint32_t next = 1;
  // Sends until `window` calls are outstanding; false when a write fails.
  const auto send = [&] {
    for (; next <= options.count && pending.size() < window; ++next) {
      PeerSample request;
      request.seq = next;
      request.payload = MakePayload(PeerKind::kChatter, next, options.size);
      request.source_timestamp_ns = WallClockNanoseconds();
      const int64_t sequence =
          client.Send(ComposeChatterText(next, request.payload), request.source_timestamp_ns);
      if (sequence < 0) {
        PrintLine("fail reason=write seq=" + std::to_string(next));
        return false;
      }
      pending[sequence] = request;
      PrintLine(FormatSampleLine("sent", request));
    }
    return true;
  };
  uint32_t ok = 0;
  uint32_t wrong = 0;
  uint32_t foreign = 0;
  while ((next <= options.count || !pending.empty()) && Clock::now() < deadline) {
    if (!send()) return 1;
    Reply reply;
    if (!client.Take(&reply)) {
      client.WaitForReply();
      continue;
    }
    if (!reply.ours) {
      ++foreign;
      continue;
    }
    const PeerSample sample = SampleOf(reply.text, 0);
    const auto request = pending.find(reply.request);
    // Paired with a request that is not the one it answers, or with none.
    if (request == pending.end() || !sample.well_formed || sample.seq != request->second.seq ||
        sample.payload != request->second.payload) {
      ++wrong;
      continue;
    }
    ++ok;
    PrintLine(FormatReceivedLine(sample, true));
    if (options.window != 0) {
      const int64_t rtt = WallClockNanoseconds() - request->second.source_timestamp_ns;
      PrintLine("rtt seq=" + std::to_string(sample.seq) + " us=" + std::to_string(rtt / 1000));
    }
    pending.erase(request);
  }
  std::this_thread::sleep_for(CLIENT_LINGER);
  PrintLine("done ok=" + std::to_string(ok) + " wrong=" + std::to_string(wrong) + " foreign=" +
            std::to_string(foreign) + " unmatched=" + std::to_string(options.count - ok));
  return ok == options.count && wrong == 0 ? 0 : 1;
}

// --- actions -----------------------------------------------------------------

// The three services and two topics of an action, one side of them.
struct ActionTopics {
  std::string base;  // "/NAME/_action/"
  std::string type;  // DDS name of the action type
  std::string Service(const char* item) const { return base + item; }
  std::string Topic(const char* item) const { return "rt" + base + item; }
};

ActionTopics ActionTopicsOf(const ServiceOptions& options) {
  return ActionTopics{options.service + "/_action/", DdsTypeName(options.ros_type)};
}

const char* const CANCEL_TYPE = "action_msgs::srv::dds_::CancelGoal";
const char* const STATUS_TYPE = "action_msgs::msg::dds_::GoalStatusArray_";

// Goal 1 succeeds after GOAL_STEPS feedbacks, and no sooner than --delay-ms
// after its acceptance; goal 2 runs until canceled.
int RunActionServer(const ServiceOptions& options, Node* node, Clock::time_point deadline) {
  const ActionTopics topics = ActionTopicsOf(options);
  ServiceServer send_goal;
  ServiceServer cancel_goal;
  ServiceServer get_result;
  fdds::DataWriter* feedback =
      node->Writer(topics.Topic("feedback"), topics.type + "_FeedbackMessage_");
  fdds::DataWriter* status = node->Writer(topics.Topic("status"), STATUS_TYPE);
  if (!send_goal.Open(node, topics.Service("send_goal"), topics.type + "_SendGoal") ||
      !cancel_goal.Open(node, topics.Service("cancel_goal"), CANCEL_TYPE) ||
      !get_result.Open(node, topics.Service("get_result"), topics.type + "_GetResult") ||
      feedback == nullptr || status == nullptr ||
      !WaitUntil(
          [&] {
            return send_goal.Matched() && cancel_goal.Matched() && get_result.Matched() &&
                   WriterMatched(feedback) && WriterMatched(status);
          },
          deadline)) {
    PrintLine("fail reason=no-match");
    return 1;
  }
  PrintLine("serving");
  struct Goal {
    Clock::time_point accepted = Clock::now();
    int steps = 0;
    std::string state = "executing";
    bool result_sent = false;
    std::vector<Request> result_requests;
  };
  std::map<std::string, Goal> goals;
  uint32_t dropped = 0;
  const auto publish = [](fdds::DataWriter* writer, const std::string& text) {
    Text wire{text};
    writer->write(&wire);
  };
  auto last_step = Clock::now();
  while (Clock::now() < deadline) {
    Request request;
    while (send_goal.Take(&request)) {
      const std::string goal = request.text.data.substr(request.text.data.find(' ') + 1);
      goals[goal];
      if (!send_goal.Answer(request, "accepted " + goal)) ++dropped;
      publish(status, "status " + goal + " executing");
    }
    while (cancel_goal.Take(&request)) {
      const std::string goal = request.text.data.substr(request.text.data.find(' ') + 1);
      goals[goal].state = "canceled";
      if (!cancel_goal.Answer(request, "canceling " + goal)) ++dropped;
      publish(status, "status " + goal + " canceled");
    }
    while (get_result.Take(&request)) {
      goals[request.text.data.substr(request.text.data.find(' ') + 1)].result_requests.push_back(
          request);
    }
    const bool step = Clock::now() - last_step >= GOAL_STEP;
    if (step) last_step = Clock::now();
    bool all_done = goals.size() >= 2;
    for (auto& [goal, state] : goals) {
      if (step && state.state == "executing") {
        publish(feedback, "feedback " + goal + " " + std::to_string(++state.steps));
        if (goal == "1" && state.steps >= GOAL_STEPS &&
            Clock::now() - state.accepted >= std::chrono::milliseconds(options.delay_ms)) {
          state.state = "succeeded";
          publish(status, "status " + goal + " succeeded");
        }
      }
      if (state.state != "executing") {
        for (const Request& waiting : state.result_requests) {
          if (!get_result.Answer(waiting, "result " + goal + " " + state.state)) ++dropped;
          state.result_sent = true;
        }
        state.result_requests.clear();
      }
      all_done = all_done && state.result_sent;
    }
    if (all_done) break;
    std::this_thread::sleep_for(POLL_STEP);
  }
  const bool acked = get_result.AllAcknowledged(deadline);
  PrintLine("done goals=" + std::to_string(goals.size()) + " dropped=" + std::to_string(dropped));
  return goals.size() == 2 && dropped == 0 && acked ? 0 : 1;
}

// The action client's view of the topics: feedback and status lines seen.
class ActionWatcher {
 public:
  bool Open(Node* node, const ActionTopics& topics) {
    feedback_ = node->Reader(topics.Topic("feedback"), topics.type + "_FeedbackMessage_");
    status_ = node->Reader(topics.Topic("status"), STATUS_TYPE);
    return feedback_ != nullptr && status_ != nullptr;
  }
  bool Matched() const { return ReaderMatched(feedback_) && ReaderMatched(status_); }

  // Prints what came; true once `text` was seen on either topic.
  bool Seen(const std::string& text) {
    Text wire;
    fdds::SampleInfo info;
    for (fdds::DataReader* reader : {feedback_, status_}) {
      while (TakeText(reader, &wire, &info)) {
        seen_.insert(wire.data);
        std::string line = wire.data;
        line.replace(line.find(' '), 1, " goal=");
        if (reader == status_) line.replace(line.rfind(' '), 1, " state=");
        PrintLine(line);
      }
    }
    return seen_.count(text) > 0;
  }

 private:
  fdds::DataReader* feedback_ = nullptr;  // Owned by the node.
  fdds::DataReader* status_ = nullptr;
  std::set<std::string> seen_;
};

int RunActionClient(const ServiceOptions& options, Node* node, Clock::time_point deadline) {
  const ActionTopics topics = ActionTopicsOf(options);
  ServiceClient send_goal;
  ServiceClient cancel_goal;
  ServiceClient get_result;
  ActionWatcher watcher;
  if (!send_goal.Open(node, topics.Service("send_goal"), topics.type + "_SendGoal") ||
      !cancel_goal.Open(node, topics.Service("cancel_goal"), CANCEL_TYPE) ||
      !get_result.Open(node, topics.Service("get_result"), topics.type + "_GetResult") ||
      !watcher.Open(node, topics) ||
      !WaitUntil(
          [&] {
            return send_goal.Matched() && cancel_goal.Matched() && get_result.Matched() &&
                   watcher.Matched();
          },
          deadline)) {
    PrintLine("fail reason=no-match");
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(options.settle_ms));
  uint32_t ok = 0;
  uint32_t wrong = 0;
  uint32_t foreign = 0;
  // One call: the reply must be `expected`.
  const auto call = [&](ServiceClient* service, const std::string& request,
                        const std::string& expected) {
    Text reply;
    const int64_t sequence = service->Send(request, WallClockNanoseconds());
    if (sequence < 0 || !service->Await(sequence, deadline, &reply, &foreign, &wrong)) {
      return false;
    }
    if (reply.data != expected) {
      ++wrong;
      return false;
    }
    ++ok;
    std::string line = reply.data;
    line.replace(line.find(' '), 1, " goal=");
    if (line.compare(0, 6, "result") == 0) line.replace(line.rfind(' '), 1, " state=");
    PrintLine(line);
    return true;
  };
  const bool succeeded =
      call(&send_goal, "goal 1", "accepted 1") &&
      call(&get_result, "result 1", "result 1 succeeded") &&
      WaitUntil([&] { return watcher.Seen("feedback 1 1") && watcher.Seen("status 1 succeeded"); },
                deadline);
  const bool canceled = succeeded && call(&send_goal, "goal 2", "accepted 2") &&
                        WaitUntil([&] { return watcher.Seen("feedback 2 1"); }, deadline) &&
                        call(&cancel_goal, "cancel 2", "canceling 2") &&
                        call(&get_result, "result 2", "result 2 canceled") &&
                        WaitUntil([&] { return watcher.Seen("status 2 canceled"); }, deadline);
  std::this_thread::sleep_for(CLIENT_LINGER);
  PrintLine("done ok=" + std::to_string(ok) + " wrong=" + std::to_string(wrong) +
            " foreign=" + std::to_string(foreign) + " unmatched=" + std::to_string(5 - ok));
  return succeeded && canceled && wrong == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  ServiceOptions options;
  if (!ParseServiceOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: %s client|server|action-client|action-server --domain N\n"
                 "         --service /NAME --type PKG/srv/NAME [--count N] [--size CHARS]\n"
                 "         [--settle-ms MS] [--delay-ms MS] [--window N] [--timeout SECONDS]\n",
                 argv[0]);
    return 2;
  }
  // Fast DDS logs to stdout by default; stdout carries only report lines.
  auto consumer = std::make_unique<fdds::StdoutErrConsumer>();
  consumer->stderr_threshold(fdds::Log::Kind::Info);
  fdds::Log::ClearConsumers();
  fdds::Log::RegisterConsumer(std::move(consumer));
  alarm(static_cast<unsigned>(std::ceil(options.timeout_seconds)) + HARD_STOP_MARGIN_SECONDS);
  const Clock::time_point deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(options.timeout_seconds));
  int status = 2;
  if (std::unique_ptr<Node> node = Node::Create(options.domain_id)) {
    PrintLine("ready domain=" + std::to_string(options.domain_id) + " service=" + options.service +
              " type=" + DdsTypeName(options.ros_type));
    switch (options.role) {
      case Role::kClient:
        status = RunClient(options, node.get(), deadline);
        break;
      case Role::kServer:
        status = RunServer(options, node.get(), deadline);
        break;
      case Role::kActionClient:
        status = RunActionClient(options, node.get(), deadline);
        break;
      case Role::kActionServer:
        status = RunActionServer(options, node.get(), deadline);
        break;
    }
  } else {
    PrintLine("fail reason=setup");
  }
  fdds::Log::Flush();
  return status;
}
