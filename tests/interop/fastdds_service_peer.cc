// A ROS 2 service client or server as Fast DDS-based ROS 2 runs one: the
// request and the reply are plain samples on "rq<service>Request" and
// "rr<service>Reply", and the server pairs a reply with its request by
// writing the request's sample identity as the reply's related sample
// identity (inline QoS, not payload). Request and reply each carry one
// string, the chatter text of peer_payload.h.
//
//   interop_fastdds_service_peer client|server --domain N --service /NAME
//       --type PKG/srv/NAME [--count N] [--size CHARS] [--settle-ms MS]
//       [--timeout SECONDS]
//
// Output follows peer_report.h: the client prints "sent" per request and
// "recv" per reply, the server "recv" per request and "sent" per reply. The
// server's "sent" lines have no stamp: Fast DDS 2.9 cannot set the source
// timestamp of a write that names a related sample identity. Besides:
//
//   serving                                  server: both endpoints matched
//   pairing seq=S related=request|other|unknown
//                                            client: what the reply names
//   done ...                                 counts; then the process exits

#include <fastdds/rtps/common/WriteParams.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/log/Log.hpp>
#include <fastdds/dds/log/StdoutErrConsumer.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "tests/interop/fastdds_types.h"
#include "tests/interop/peer_report.h"

namespace {

namespace fdds = eprosima::fastdds::dds;
using eprosima::fastrtps::Duration_t;
using eprosima::fastrtps::Time_t;
using eprosima::fastrtps::rtps::SampleIdentity;
using eprosima::fastrtps::rtps::SequenceNumber_t;
using eprosima::fastrtps::rtps::WriteParams;
using ReturnCode = eprosima::fastrtps::types::ReturnCode_t;
using Clock = std::chrono::steady_clock;
using Text = std_msgs::msg::dds_::String_;

const char* const PARTICIPANT_PROFILE = "corvane_loopback_participant";
const Duration_t HEARTBEAT_PERIOD(0, 100000000);
const Duration_t POLL_STEP(0, 50000000);
const unsigned HARD_STOP_MARGIN_SECONDS = 10;
// After its last reply the client stays so that the relay's reply writer
// sees its acknowledgment.
const std::chrono::milliseconds CLIENT_LINGER(500);

struct ServiceOptions {
  bool server = false;
  int domain_id = -1;
  std::string service;   // ROS 2 name with its leading "/".
  std::string ros_type;  // PKG/srv/NAME
  uint32_t count = 10;
  uint32_t size = 32;
  uint32_t settle_ms = 0;
  double timeout_seconds = 20;
};

bool ParseUint32(const char* text, uint32_t* value) {
  char* end = nullptr;
  const unsigned long parsed = std::strtoul(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || parsed > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

bool ParseServiceOptions(int argc, char** argv, ServiceOptions* options) {
  if (argc < 2) return false;
  if (std::strcmp(argv[1], "server") != 0 && std::strcmp(argv[1], "client") != 0) return false;
  options->server = std::strcmp(argv[1], "server") == 0;
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

PeerSample MakeSample(uint32_t seq, uint32_t size) {
  PeerSample sample;
  sample.seq = seq;
  sample.payload = MakePayload(PeerKind::kChatter, seq, size);
  return sample;
}

bool IsIntact(const PeerSample& sample, const ServiceOptions& options) {
  return sample.well_formed && sample.seq >= 1 && sample.seq <= options.count &&
         sample.payload == MakePayload(PeerKind::kChatter, sample.seq, options.size);
}

fdds::TypeSupport NamedTextType(const std::string& name) {
  fdds::TypeSupport type = CreateStringTypeSupport();
  type->setName(name.c_str());
  return type;
}

struct ParticipantDeleter {
  void operator()(fdds::DomainParticipant* participant) const {
    participant->delete_contained_entities();
    fdds::DomainParticipantFactory::get_instance()->delete_participant(participant);
  }
};

// One side of the service: a writer on the topic it sends on and a reader on
// the one it receives on, reliable, volatile and keep-all like a ROS 2
// service's endpoints.
class ServiceEndpoints {
 public:
  static std::unique_ptr<ServiceEndpoints> Create(const ServiceOptions& options) {
    auto* factory = fdds::DomainParticipantFactory::get_instance();
    if (factory->load_XML_profiles_file(CORVANE_FASTDDS_PROFILE) != ReturnCode::RETCODE_OK) {
      return nullptr;
    }
    std::unique_ptr<ServiceEndpoints> endpoints(new ServiceEndpoints(
        factory->create_participant_with_profile(options.domain_id, PARTICIPANT_PROFILE)));
    return endpoints->Open(options) ? std::move(endpoints) : nullptr;
  }

  bool Matched() {
    fdds::PublicationMatchedStatus publication;
    fdds::SubscriptionMatchedStatus subscription;
    writer_->get_publication_matched_status(publication);
    reader_->get_subscription_matched_status(subscription);
    return publication.current_count >= 1 && subscription.current_count >= 1;
  }

  fdds::DataWriter* writer() const { return writer_; }
  fdds::DataReader* reader() const { return reader_; }

 private:
  explicit ServiceEndpoints(fdds::DomainParticipant* participant) : participant_(participant) {}

  bool Open(const ServiceOptions& options) {
    if (!participant_) return false;
    const std::string type = DdsTypeName(options.ros_type);
    fdds::Topic* request = CreateTopic("rq" + options.service + "Request", type + "_Request_");
    fdds::Topic* reply = CreateTopic("rr" + options.service + "Reply", type + "_Response_");
    if (request == nullptr || reply == nullptr) return false;
    fdds::Publisher* publisher = participant_->create_publisher(fdds::PUBLISHER_QOS_DEFAULT);
    fdds::Subscriber* subscriber = participant_->create_subscriber(fdds::SUBSCRIBER_QOS_DEFAULT);
    if (publisher == nullptr || subscriber == nullptr) return false;

    fdds::DataWriterQos writer_qos = publisher->get_default_datawriter_qos();
    writer_qos.reliability().kind = fdds::RELIABLE_RELIABILITY_QOS;
    writer_qos.history().kind = fdds::KEEP_ALL_HISTORY_QOS;
    writer_qos.durability().kind = fdds::VOLATILE_DURABILITY_QOS;
    // Cyclone readers acknowledge only heartbeats; see fastdds_peer.cc.
    writer_qos.reliable_writer_qos().times.heartbeatPeriod = HEARTBEAT_PERIOD;
    writer_ = publisher->create_datawriter(options.server ? reply : request, writer_qos);

    fdds::DataReaderQos reader_qos = subscriber->get_default_datareader_qos();
    reader_qos.reliability().kind = fdds::RELIABLE_RELIABILITY_QOS;
    reader_qos.history().kind = fdds::KEEP_ALL_HISTORY_QOS;
    reader_qos.durability().kind = fdds::VOLATILE_DURABILITY_QOS;
    reader_ = subscriber->create_datareader(options.server ? request : reply, reader_qos);
    return writer_ != nullptr && reader_ != nullptr;
  }

  fdds::Topic* CreateTopic(const std::string& name, const std::string& type_name) {
    fdds::TypeSupport type = NamedTextType(type_name);
    if (type.register_type(participant_.get()) != ReturnCode::RETCODE_OK) return nullptr;
    return participant_->create_topic(name, type_name, fdds::TOPIC_QOS_DEFAULT);
  }

  std::unique_ptr<fdds::DomainParticipant, ParticipantDeleter> participant_;
  fdds::DataWriter* writer_ = nullptr;  // Owned by participant_.
  fdds::DataReader* reader_ = nullptr;  // Owned by participant_.
};

Duration_t Until(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
  if (left.count() <= 0) return Duration_t(0, 0);
  return Duration_t(static_cast<int32_t>(left.count() / 1000000000),
                    static_cast<uint32_t>(left.count() % 1000000000));
}

bool WaitForMatch(ServiceEndpoints* endpoints, Clock::time_point deadline) {
  while (!endpoints->Matched()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Takes the next sample with data; false when none is there.
bool TakeText(fdds::DataReader* reader, PeerSample* sample, fdds::SampleInfo* info) {
  Text wire;
  while (reader->take_next_sample(&wire, info) == ReturnCode::RETCODE_OK) {
    if (!info->valid_data) continue;
    *sample = PeerSample();
    sample->well_formed = SplitChatterText(wire.data, &sample->seq, &sample->payload);
    sample->source_timestamp_ns =
        static_cast<int64_t>(info->source_timestamp.seconds()) * 1000000000 +
        info->source_timestamp.nanosec();
    return true;
  }
  return false;
}

const char* Relation(const SampleIdentity& related, const SampleIdentity& request) {
  if (related == SampleIdentity::unknown()) return "unknown";
  return related == request ? "request" : "other";
}

int RunServer(const ServiceOptions& options, Clock::time_point deadline,
              ServiceEndpoints* endpoints) {
  if (!WaitForMatch(endpoints, deadline)) {
    PrintLine("fail reason=no-match");
    return 1;
  }
  PrintLine("serving");
  std::set<uint32_t> answered;
  uint32_t bad = 0;
  while (answered.size() < options.count && Clock::now() < deadline) {
    if (!endpoints->reader()->wait_for_unread_message(POLL_STEP)) continue;
    PeerSample request;
    fdds::SampleInfo info;
    while (TakeText(endpoints->reader(), &request, &info)) {
      const bool intact = IsIntact(request, options);
      PrintLine(FormatReceivedLine(request, intact));
      if (!intact || !answered.insert(request.seq).second) {
        ++bad;
        continue;
      }
      Text reply{ComposeChatterText(request.seq, request.payload)};
      WriteParams params;
      params.related_sample_identity(info.sample_identity);
      if (!endpoints->writer()->write(&reply, params)) ++bad;
      const std::string sent = FormatSampleLine("sent", request);
      PrintLine(sent.substr(0, sent.find(" stamp=")));
    }
  }
  const bool acked =
      endpoints->writer()->wait_for_acknowledgments(Until(deadline)) == ReturnCode::RETCODE_OK;
  PrintLine("done answered=" + std::to_string(answered.size()) + " bad=" + std::to_string(bad));
  return answered.size() == options.count && bad == 0 && acked ? 0 : 1;
}

int RunClient(const ServiceOptions& options, Clock::time_point deadline,
              ServiceEndpoints* endpoints) {
  if (!WaitForMatch(endpoints, deadline)) {
    PrintLine("fail reason=no-match");
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(options.settle_ms));
  // A writer numbers its samples from 1, so request n has sequence number n.
  const auto& writer_guid = endpoints->writer()->guid();
  for (uint32_t seq = 1; seq <= options.count; ++seq) {
    PeerSample request = MakeSample(seq, options.size);
    request.source_timestamp_ns = WallClockNanoseconds();
    Text wire{ComposeChatterText(seq, request.payload)};
    Time_t stamp;
    stamp.seconds = static_cast<int32_t>(request.source_timestamp_ns / 1000000000);
    stamp.nanosec = static_cast<uint32_t>(request.source_timestamp_ns % 1000000000);
    if (endpoints->writer()->write_w_timestamp(&wire, fdds::HANDLE_NIL, stamp) !=
        ReturnCode::RETCODE_OK) {
      PrintLine("fail reason=write seq=" + std::to_string(seq));
      return 1;
    }
    PrintLine(FormatSampleLine("sent", request));
  }
  std::set<uint32_t> replied;
  uint32_t bad = 0;
  uint32_t paired = 0;
  while (replied.size() < options.count && Clock::now() < deadline) {
    if (!endpoints->reader()->wait_for_unread_message(POLL_STEP)) continue;
    PeerSample reply;
    fdds::SampleInfo info;
    while (TakeText(endpoints->reader(), &reply, &info)) {
      const bool intact = IsIntact(reply, options);
      PrintLine(FormatReceivedLine(reply, intact));
      if (!intact || !replied.insert(reply.seq).second) {
        ++bad;
        continue;
      }
      SampleIdentity request;
      request.writer_guid(writer_guid).sequence_number(SequenceNumber_t(0, reply.seq));
      const char* relation = Relation(info.related_sample_identity, request);
      if (std::strcmp(relation, "request") == 0) ++paired;
      PrintLine("pairing seq=" + std::to_string(reply.seq) + " related=" + relation);
    }
  }
  std::this_thread::sleep_for(CLIENT_LINGER);
  PrintLine("done replies=" + std::to_string(replied.size()) + " bad=" + std::to_string(bad) +
            " paired=" + std::to_string(paired));
  return replied.size() == options.count && bad == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  ServiceOptions options;
  if (!ParseServiceOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: %s client|server --domain N --service /NAME --type PKG/srv/NAME\n"
                 "         [--count N] [--size CHARS] [--settle-ms MS] [--timeout SECONDS]\n",
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
  if (std::unique_ptr<ServiceEndpoints> endpoints = ServiceEndpoints::Create(options)) {
    PrintLine("ready domain=" + std::to_string(options.domain_id) + " service=" + options.service +
              " type=" + DdsTypeName(options.ros_type));
    status = options.server ? RunServer(options, deadline, endpoints.get())
                            : RunClient(options, deadline, endpoints.get());
  } else {
    PrintLine("fail reason=setup");
  }
  fdds::Log::Flush();
  return status;
}
