// Fast DDS participants, raw topics, writers and readers of the layer.

#include <algorithm>
#include <cstring>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/log/Log.hpp>
#include <fastdds/dds/log/StdoutErrConsumer.hpp>
#include <fastdds/dds/topic/TopicDataType.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>
#include <mutex>

#include "middleware/dds_delivery_internal.h"
#include "middleware/dds_entities_internal.h"
#include "middleware/dds_fastdds_entities_internal.h"
#include "middleware/dds_fastdds_raw_type_internal.h"
#include "middleware/rule_stats_internal.h"

namespace corvane_dds {
namespace {

using ReturnCode = eprosima::fastrtps::types::ReturnCode_t;

constexpr char kRequestPrefix[] = "rq/";
constexpr char kRequestSuffix[] = "Request";
constexpr char kReplyPrefix[] = "rr/";
constexpr char kReplySuffix[] = "Reply";
// Samples whose room a writer or reader allocates up front; more is allocated
// as needed. Service traffic is sparse, and a rule has four such endpoints.
constexpr int32_t kPreallocatedSamples = 4;
// Cyclone readers acknowledge only when asked, so a writer that asks rarely
// (Fast DDS's default is 3 s) leaves lost samples unrepaired that long.
const eprosima::fastrtps::Duration_t kHeartbeatPeriod(0, 100000000);

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool EndsWith(const std::string& text, const char* suffix) {
  const size_t length = std::strlen(suffix);
  return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

// "rq/NAMERequest" -> "rr/NAMEReply"; empty for other names.
std::string ReplyTopicOf(const std::string& topic_name) {
  const size_t prefix = std::strlen(kRequestPrefix);
  const size_t suffix = std::strlen(kRequestSuffix);
  if (!StartsWith(topic_name, kRequestPrefix) || !EndsWith(topic_name, kRequestSuffix) ||
      topic_name.size() < prefix + suffix) {
    return std::string();
  }
  return kReplyPrefix + topic_name.substr(prefix, topic_name.size() - prefix - suffix) +
         kReplySuffix;
}

// Fast DDS logs to standard output by default; corvane's diagnostics go to
// standard error.
void RouteFastDdsLogs() {
  static std::once_flag once;
  std::call_once(once, [] {
    auto consumer = std::make_unique<fdds::StdoutErrConsumer>();
    consumer->stderr_threshold(fdds::Log::Kind::Info);
    fdds::Log::ClearConsumers();
    fdds::Log::RegisterConsumer(std::move(consumer));
    fdds::Log::SetVerbosity(fdds::Log::Kind::Warning);
  });
}

eprosima::fastrtps::Duration_t ToFastDdsDuration(const dds_Duration_t& duration) {
  return eprosima::fastrtps::Duration_t(duration.sec, duration.nanosec);
}

dds_Duration_t FromFastDdsDuration(const eprosima::fastrtps::Duration_t& duration) {
  return dds_Duration_t{duration.seconds, duration.nanosec};
}

}  // namespace

Guid FromFastDds(const eprosima::fastrtps::rtps::GUID_t& guid) {
  Guid result;
  std::copy(std::begin(guid.guidPrefix.value), std::end(guid.guidPrefix.value),
            result.bytes.begin());
  std::copy(std::begin(guid.entityId.value), std::end(guid.entityId.value),
            result.bytes.begin() + 12);
  return result;
}

eprosima::fastrtps::rtps::GUID_t ToFastDds(const Guid& guid) {
  eprosima::fastrtps::rtps::GUID_t result;
  std::copy(guid.bytes.begin(), guid.bytes.begin() + 12, std::begin(result.guidPrefix.value));
  std::copy(guid.bytes.begin() + 12, guid.bytes.end(), std::begin(result.entityId.value));
  return result;
}

bool IsFastDdsTopic(const std::string& topic_name) {
  return StartsWith(topic_name, kRequestPrefix) || StartsWith(topic_name, kReplyPrefix);
}

// --- participant -------------------------------------------------------------

FastDdsParticipant::~FastDdsParticipant() {
  participant_->delete_contained_entities();
  fdds::DomainParticipantFactory::get_instance()->delete_participant(participant_);
}

fdds::Topic* FastDdsParticipant::AcquireTopic(const std::string& topic_name,
                                              const std::string& type_name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = topics_.find(topic_name);
  if (found != topics_.end()) {
    if (found->second.first->get_type_name() != type_name) return nullptr;
    found->second.second++;
    return found->second.first;
  }
  if (participant_->find_type(type_name).empty()) {
    fdds::TypeSupport type(MakeRawTopicDataType(type_name).release());
    if (type.register_type(participant_) != ReturnCode::RETCODE_OK) return nullptr;
  }
  fdds::Topic* topic = participant_->create_topic(topic_name, type_name, fdds::TOPIC_QOS_DEFAULT);
  if (topic != nullptr) topics_.emplace(topic_name, std::make_pair(topic, 1));
  return topic;
}

void FastDdsParticipant::ReleaseTopic(fdds::Topic* topic) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = topics_.find(topic->get_name());
  if (found == topics_.end() || --found->second.second > 0) return;
  participant_->delete_topic(topic);
  topics_.erase(found);
}

void FastDdsParticipant::AddReader(FastDdsReader* reader) {
  std::lock_guard<std::mutex> lock(mutex_);
  readers_.push_back(reader);
}

void FastDdsParticipant::RemoveReader(FastDdsReader* reader) {
  std::lock_guard<std::mutex> lock(mutex_);
  readers_.erase(std::remove(readers_.begin(), readers_.end(), reader), readers_.end());
  routes_.erase(reader);
}

Guid FastDdsParticipant::BindReplyReader(const FastDdsWriter& writer) {
  if (writer.reply_topic().empty()) return Guid();
  const Guid writer_guid = writer.guid();
  std::lock_guard<std::mutex> lock(mutex_);
  FastDdsReader* unbound = nullptr;
  for (FastDdsReader* reader : readers_) {
    if (reader->topic_name() != writer.reply_topic()) continue;
    const auto route = routes_.find(reader);
    if (route == routes_.end()) {
      if (unbound == nullptr) unbound = reader;
    } else if (route->second.writer == writer_guid) {
      return reader->guid();
    }
  }
  if (unbound == nullptr) return Guid();
  routes_[unbound] = ReplyRoute{writer_guid, writer.ledger()};
  return unbound->guid();
}

ReplyRoute FastDdsParticipant::RouteOf(const FastDdsReader& reader) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto route = routes_.find(&reader);
  return route == routes_.end() ? ReplyRoute() : route->second;
}

// --- writers and readers -----------------------------------------------------

FastDdsWriter::FastDdsWriter(FastDdsTopic* topic, dds_DataWriter* owner)
    : topic_(topic),
      owner_(owner),
      reply_topic_(ReplyTopicOf(topic->topic()->get_name())),
      ledger_(reply_topic_.empty() ? nullptr
                                   : std::make_shared<RequestLedger>(topic->topic()->get_name())) {}

bool FastDdsWriter::Open(const fdds::DataWriterQos& qos) {
  writer_ = topic_->participant()->publisher()->create_datawriter(
      topic_->topic(), qos, this,
      fdds::StatusMask::publication_matched() << fdds::StatusMask::offered_incompatible_qos());
  return writer_ != nullptr;
}

FastDdsWriter::~FastDdsWriter() {
  if (writer_ == nullptr) return;
  writer_->set_listener(nullptr);
  topic_->participant()->publisher()->delete_datawriter(writer_);
}

void FastDdsWriter::on_publication_matched(fdds::DataWriter*,
                                           const fdds::PublicationMatchedStatus& status) {
  if (owner_->stats) owner_->stats->Matched(status.current_count_change);
}

void FastDdsWriter::on_offered_incompatible_qos(fdds::DataWriter*,
                                                const fdds::OfferedIncompatibleQosStatus& status) {
  if (owner_->stats && status.total_count_change > 0) {
    owner_->stats->Refused(static_cast<uint32_t>(status.total_count_change),
                           static_cast<uint32_t>(status.last_policy_id));
  }
}

bool FastDdsReader::Open(const fdds::DataReaderQos& qos) {
  FastDdsParticipant* participant = topic_->participant();
  reader_ = participant->subscriber()->create_datareader(
      topic_->topic(), qos, this,
      fdds::StatusMask::data_available() << fdds::StatusMask::subscription_matched()
                                         << fdds::StatusMask::requested_incompatible_qos());
  if (reader_ == nullptr) return false;
  participant->AddReader(this);
  return true;
}

// The listener goes before the reader, so no callback starts meanwhile; the
// deletion waits for one in progress.
FastDdsReader::~FastDdsReader() {
  if (reader_ == nullptr) return;
  topic_->participant()->RemoveReader(this);
  reader_->set_listener(nullptr);
  topic_->participant()->subscriber()->delete_datareader(reader_);
}

// The samples wait in Fast DDS's own reader cache, which its resource limits
// bound, so they count as zero bytes of the delivery thread's backlog: this
// only wakes the thread, and never waits or asks for drops.
void FastDdsReader::on_data_available(fdds::DataReader*) {
  owner_->delivery->Arrived(0);
}

void FastDdsReader::on_subscription_matched(fdds::DataReader*,
                                            const fdds::SubscriptionMatchedStatus& status) {
  if (owner_->stats) owner_->stats->Matched(status.current_count_change);
}

void FastDdsReader::on_requested_incompatible_qos(
    fdds::DataReader*, const fdds::RequestedIncompatibleQosStatus& status) {
  if (owner_->stats && status.total_count_change > 0) {
    owner_->stats->Refused(static_cast<uint32_t>(status.total_count_change),
                           static_cast<uint32_t>(status.last_policy_id));
  }
}

// --- creation ----------------------------------------------------------------

void FastDdsDeleter::operator()(FastDdsParticipant* participant) const {
  std::unique_ptr<FastDdsParticipant> doomed(participant);
}
void FastDdsDeleter::operator()(FastDdsTopic* topic) const {
  std::unique_ptr<FastDdsTopic> doomed(topic);
}
void FastDdsDeleter::operator()(FastDdsWriter* writer) const {
  std::unique_ptr<FastDdsWriter> doomed(writer);
}
void FastDdsDeleter::operator()(FastDdsReader* reader) const {
  std::unique_ptr<FastDdsReader> doomed(reader);
}

FastDdsPtr<FastDdsParticipant> FastDdsCreateParticipant(dds_DomainId_t domain_id) {
  RouteFastDdsLogs();
  fdds::DomainParticipantFactory* factory = fdds::DomainParticipantFactory::get_instance();
  // The profiles of FASTRTPS_DEFAULT_PROFILES_FILE (and the working
  // directory's), as every Fast DDS application reads them.
  factory->load_profiles();
  fdds::DomainParticipantQos qos = factory->get_default_participant_qos();
  qos.name("corvane");
  fdds::DomainParticipant* participant = factory->create_participant(domain_id, qos);
  if (participant == nullptr) return nullptr;
  fdds::Publisher* publisher = participant->create_publisher(fdds::PUBLISHER_QOS_DEFAULT);
  fdds::Subscriber* subscriber = participant->create_subscriber(fdds::SUBSCRIBER_QOS_DEFAULT);
  FastDdsPtr<FastDdsParticipant> result(
      std::make_unique<FastDdsParticipant>(participant, publisher, subscriber).release());
  if (publisher == nullptr || subscriber == nullptr) return nullptr;
  return result;
}

FastDdsPtr<FastDdsTopic> FastDdsCreateTopic(FastDdsParticipant* participant,
                                            const std::string& topic_name,
                                            const std::string& type_name) {
  fdds::Topic* topic = participant->AcquireTopic(topic_name, type_name);
  if (topic == nullptr) return nullptr;
  return FastDdsPtr<FastDdsTopic>(std::make_unique<FastDdsTopic>(participant, topic).release());
}

FastDdsPtr<FastDdsWriter> FastDdsCreateWriter(FastDdsTopic* topic, const dds_DataWriterQos& qos,
                                              dds_DataWriter* owner) {
  fdds::Publisher* publisher = topic->participant()->publisher();
  fdds::DataWriterQos fast_qos = publisher->get_default_datawriter_qos();
  fast_qos.reliability().kind = qos.reliability.kind == dds_RELIABLE_RELIABILITY_QOS
                                    ? fdds::RELIABLE_RELIABILITY_QOS
                                    : fdds::BEST_EFFORT_RELIABILITY_QOS;
  fast_qos.reliability().max_blocking_time = ToFastDdsDuration(qos.reliability.max_blocking_time);
  fast_qos.history().kind = fdds::KEEP_ALL_HISTORY_QOS;
  fast_qos.durability().kind = fdds::VOLATILE_DURABILITY_QOS;
  fast_qos.reliable_writer_qos().times.heartbeatPeriod = kHeartbeatPeriod;
  fast_qos.resource_limits().allocated_samples = kPreallocatedSamples;
  FastDdsPtr<FastDdsWriter> writer(std::make_unique<FastDdsWriter>(topic, owner).release());
  if (!writer->Open(fast_qos)) return nullptr;
  return writer;
}

FastDdsPtr<FastDdsReader> FastDdsCreateReader(FastDdsTopic* topic, const dds_DataReaderQos& qos,
                                              dds_DataReader* owner) {
  fdds::DataReaderQos fast_qos = topic->participant()->subscriber()->get_default_datareader_qos();
  fast_qos.reliability().kind = qos.reliability.kind == dds_RELIABLE_RELIABILITY_QOS
                                    ? fdds::RELIABLE_RELIABILITY_QOS
                                    : fdds::BEST_EFFORT_RELIABILITY_QOS;
  fast_qos.history().kind = fdds::KEEP_ALL_HISTORY_QOS;
  fast_qos.durability().kind = fdds::VOLATILE_DURABILITY_QOS;
  fast_qos.resource_limits().allocated_samples = kPreallocatedSamples;
  FastDdsPtr<FastDdsReader> reader(std::make_unique<FastDdsReader>(topic, owner).release());
  if (!reader->Open(fast_qos)) return nullptr;
  return reader;
}

namespace {

// The layer's view of a Fast DDS endpoint's QoS: always keep-all and volatile.
template <typename FastQos, typename Qos>
dds_ReturnCode_t ToLayerQos(const FastQos& fast_qos, Qos* qos) {
  qos->durability.kind = dds_VOLATILE_DURABILITY_QOS;
  qos->reliability.kind = fast_qos.reliability().kind == fdds::RELIABLE_RELIABILITY_QOS
                              ? dds_RELIABLE_RELIABILITY_QOS
                              : dds_BEST_EFFORT_RELIABILITY_QOS;
  qos->reliability.max_blocking_time =
      FromFastDdsDuration(fast_qos.reliability().max_blocking_time);
  qos->history.kind = dds_KEEP_ALL_HISTORY_QOS;
  qos->history.depth = 1;
  return dds_RETCODE_OK;
}

}  // namespace

dds_ReturnCode_t FastDdsWriterQos(const FastDdsWriter* writer, dds_DataWriterQos* qos) {
  return ToLayerQos(writer->writer()->get_qos(), qos);
}

dds_ReturnCode_t FastDdsReaderQos(const FastDdsReader* reader, dds_DataReaderQos* qos) {
  return ToLayerQos(reader->reader()->get_qos(), qos);
}

}  // namespace corvane_dds
