// Interoperability peer on Fast DDS (see peer_options.h for its command line
// and peer_report.h for its output). Every participant comes from the
// loopback XML profile, never from built-in defaults.

#include <cstdio>
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

#include "tests/interop/fastdds_types.h"
#include "tests/interop/peer_runner.h"

namespace {

namespace fdds = eprosima::fastdds::dds;
using eprosima::fastrtps::Duration_t;
using eprosima::fastrtps::Time_t;

const char* const PARTICIPANT_PROFILE = "corvane_loopback_participant";
const Duration_t HEARTBEAT_PERIOD(0, 100000000);

Duration_t ToDuration(std::chrono::nanoseconds span) {
  const int64_t ns = span.count();
  return Duration_t(static_cast<int32_t>(ns / 1000000000), static_cast<uint32_t>(ns % 1000000000));
}

interop::Sample ToWire(const PeerSample& sample, interop::Sample*) {
  return interop::Sample{sample.seq, sample.payload};
}

std_msgs::msg::dds_::String_ ToWire(const PeerSample& sample, std_msgs::msg::dds_::String_*) {
  return std_msgs::msg::dds_::String_{ComposeChatterText(sample.seq, sample.payload)};
}

void FromWire(const interop::Sample& wire, PeerSample* sample) {
  sample->seq = wire.seq;
  sample->payload = wire.payload;
}

void FromWire(const std_msgs::msg::dds_::String_& wire, PeerSample* sample) {
  sample->well_formed = SplitChatterText(wire.data, &sample->seq, &sample->payload);
}

// Deletes a participant with everything it contains.
struct ParticipantDeleter {
  void operator()(fdds::DomainParticipant* participant) const {
    participant->delete_contained_entities();
    fdds::DomainParticipantFactory::get_instance()->delete_participant(participant);
  }
};
using ParticipantHandle = std::unique_ptr<fdds::DomainParticipant, ParticipantDeleter>;

// A writer or a reader of T in a participant of its own.
template <typename T>
class FastDdsEndpoint : public PeerEndpoint {
 public:
  static std::unique_ptr<PeerEndpoint> Create(const PeerOptions& options, fdds::TypeSupport type) {
    auto* factory = fdds::DomainParticipantFactory::get_instance();
    ParticipantHandle participant(
        factory->create_participant_with_profile(options.domain_id, PARTICIPANT_PROFILE));
    if (!participant || type.register_type(participant.get()) != ReturnCode::RETCODE_OK) {
      return nullptr;
    }
    fdds::Topic* topic =
        participant->create_topic(options.topic, type.get_type_name(), fdds::TOPIC_QOS_DEFAULT);
    if (topic == nullptr) return nullptr;
    auto endpoint = std::unique_ptr<FastDdsEndpoint>(new FastDdsEndpoint(std::move(participant)));
    const bool created = options.role == PeerRole::kPublisher
                             ? endpoint->CreateWriter(topic, options)
                             : endpoint->CreateReader(topic, options);
    return created ? std::move(endpoint) : nullptr;
  }

  int MatchedCount() override {
    if (writer_ != nullptr) {
      fdds::PublicationMatchedStatus status;
      writer_->get_publication_matched_status(status);
      return status.current_count;
    }
    fdds::SubscriptionMatchedStatus status;
    reader_->get_subscription_matched_status(status);
    return status.current_count;
  }

  bool Write(const PeerSample& sample) override {
    T wire = ToWire(sample, static_cast<T*>(nullptr));
    Time_t stamp;
    stamp.seconds = static_cast<int32_t>(sample.source_timestamp_ns / 1000000000);
    stamp.nanosec = static_cast<uint32_t>(sample.source_timestamp_ns % 1000000000);
    return writer_->write_w_timestamp(&wire, fdds::HANDLE_NIL, stamp) == ReturnCode::RETCODE_OK;
  }

  bool WaitForAcknowledgments(std::chrono::nanoseconds timeout) override {
    return writer_->wait_for_acknowledgments(ToDuration(timeout)) == ReturnCode::RETCODE_OK;
  }

  void Take(std::chrono::nanoseconds timeout, std::vector<PeerSample>* samples) override {
    if (!reader_->wait_for_unread_message(ToDuration(timeout))) return;
    T wire;
    fdds::SampleInfo info;
    while (reader_->take_next_sample(&wire, &info) == ReturnCode::RETCODE_OK) {
      if (!info.valid_data) continue;
      PeerSample sample;
      FromWire(wire, &sample);
      sample.source_timestamp_ns =
          static_cast<int64_t>(info.source_timestamp.seconds()) * 1000000000 +
          info.source_timestamp.nanosec();
      samples->push_back(std::move(sample));
    }
  }

 private:
  using ReturnCode = eprosima::fastrtps::types::ReturnCode_t;

  explicit FastDdsEndpoint(ParticipantHandle participant) : participant_(std::move(participant)) {}

  bool CreateWriter(fdds::Topic* topic, const PeerOptions& options) {
    fdds::Publisher* publisher = participant_->create_publisher(fdds::PUBLISHER_QOS_DEFAULT);
    if (publisher == nullptr) return false;
    fdds::DataWriterQos qos = publisher->get_default_datawriter_qos();
    qos.reliability().kind =
        options.reliable ? fdds::RELIABLE_RELIABILITY_QOS : fdds::BEST_EFFORT_RELIABILITY_QOS;
    qos.history().kind = fdds::KEEP_ALL_HISTORY_QOS;
    qos.durability().kind = options.transient_local ? fdds::TRANSIENT_LOCAL_DURABILITY_QOS
                                                    : fdds::VOLATILE_DURABILITY_QOS;
    // Fast DDS sends no heartbeat along with data, and a Cyclone reader
    // acknowledges only heartbeats: with the default 3 s period the final
    // acknowledgment can come seconds after the last sample arrived.
    qos.reliable_writer_qos().times.heartbeatPeriod = HEARTBEAT_PERIOD;
    writer_ = publisher->create_datawriter(topic, qos);
    return writer_ != nullptr;
  }

  bool CreateReader(fdds::Topic* topic, const PeerOptions& options) {
    fdds::Subscriber* subscriber = participant_->create_subscriber(fdds::SUBSCRIBER_QOS_DEFAULT);
    if (subscriber == nullptr) return false;
    fdds::DataReaderQos qos = subscriber->get_default_datareader_qos();
    qos.reliability().kind =
        options.reliable ? fdds::RELIABLE_RELIABILITY_QOS : fdds::BEST_EFFORT_RELIABILITY_QOS;
    qos.history().kind = fdds::KEEP_ALL_HISTORY_QOS;
    qos.durability().kind = options.transient_local ? fdds::TRANSIENT_LOCAL_DURABILITY_QOS
                                                    : fdds::VOLATILE_DURABILITY_QOS;
    reader_ = subscriber->create_datareader(topic, qos);
    return reader_ != nullptr;
  }

  ParticipantHandle participant_;
  fdds::DataWriter* writer_ = nullptr;  // Owned by participant_.
  fdds::DataReader* reader_ = nullptr;  // Owned by participant_.
};

std::unique_ptr<PeerEndpoint> CreateFastDdsEndpoint(const PeerOptions& options) {
  const std::string profile = options.profile.empty() ? CORVANE_FASTDDS_PROFILE : options.profile;
  if (fdds::DomainParticipantFactory::get_instance()->load_XML_profiles_file(profile) !=
      eprosima::fastrtps::types::ReturnCode_t::RETCODE_OK) {
    std::fprintf(stderr, "cannot load Fast DDS profile %s\n", profile.c_str());
    return nullptr;
  }
  if (options.kind == PeerKind::kSample) {
    return FastDdsEndpoint<interop::Sample>::Create(options, CreateSampleTypeSupport());
  }
  return FastDdsEndpoint<std_msgs::msg::dds_::String_>::Create(options, CreateStringTypeSupport());
}

}  // namespace

int main(int argc, char** argv) {
  // Fast DDS logs to stdout by default; stdout carries only report lines.
  auto consumer = std::make_unique<fdds::StdoutErrConsumer>();
  consumer->stderr_threshold(fdds::Log::Kind::Info);
  fdds::Log::ClearConsumers();
  fdds::Log::RegisterConsumer(std::move(consumer));
  const int status = PeerMain(argc, argv, CreateFastDdsEndpoint);
  fdds::Log::Flush();
  return status;
}
