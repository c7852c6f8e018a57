// Fast DDS participants, raw topics, writers and readers of the layer.

#include "middleware/fastdds/entities.h"

#include <algorithm>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/log/Log.hpp>
#include <fastdds/dds/log/StdoutErrConsumer.hpp>
#include <fastdds/dds/topic/TopicDataType.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>
#include <mutex>

#include "middleware/common/delivery.h"
#include "middleware/common/endpoint_stats.h"
#include "middleware/fastdds/raw_type.h"

namespace corvane_dds {
namespace {

using ReturnCode = eprosima::fastrtps::types::ReturnCode_t;

// Samples whose room a writer or reader allocates up front; more is allocated
// as needed. Service traffic is sparse, and a rule has four such endpoints.
constexpr int32_t kPreallocatedSamples = 4;
// Cyclone readers acknowledge only when asked, so a writer that asks rarely
// (Fast DDS's default is 3 s) leaves lost samples unrepaired that long.
const eprosima::fastrtps::Duration_t kHeartbeatPeriod(0, 100000000);

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

void FastDdsParticipant::AddHeaderId(uint64_t id, int change) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (change > 0) {
    header_ids_.insert(id);
  } else if (header_ids_.count(id) > 0) {
    header_ids_.erase(header_ids_.find(id));
  }
}

bool FastDdsParticipant::IsHeaderId(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return header_ids_.count(id) > 0;
}

void FastDdsParticipant::ReleaseTopic(fdds::Topic* topic) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = topics_.find(topic->get_name());
  if (found == topics_.end() || --found->second.second > 0) return;
  participant_->delete_topic(topic);
  topics_.erase(found);
}

// --- writers and readers -----------------------------------------------------

FastDdsWriter::FastDdsWriter(const FastDdsTopic& topic, StatsSlot& stats)
    : topic_(topic),
      stats_(stats),
      ledger_(topic.kind() == dds_REQUEST_TOPIC
                  ? std::make_shared<RequestLedger>(topic.topic()->get_name())
                  : nullptr),
      header_ledger_(ledger_ ? std::make_shared<RequestLedger>(topic.topic()->get_name())
                             : nullptr) {}

bool FastDdsWriter::Open(const fdds::DataWriterQos& qos) {
  writer_ = topic_.participant().publisher()->create_datawriter(
      topic_.topic(), qos, this,
      fdds::StatusMask::publication_matched() << fdds::StatusMask::offered_incompatible_qos());
  if (writer_ == nullptr) return false;
  // The client id of its headers stands for this writer (FNV-1a of its GUID).
  header_id_ = 0xcbf29ce484222325u;
  for (const uint8_t byte : guid().bytes) header_id_ = (header_id_ ^ byte) * 0x100000001b3u;
  if (ledger_) topic_.participant().AddHeaderId(header_id_, 1);
  return true;
}

FastDdsWriter::~FastDdsWriter() {
  if (writer_ == nullptr) return;
  if (ledger_) topic_.participant().AddHeaderId(header_id_, -1);
  writer_->set_listener(nullptr);
  topic_.participant().publisher()->delete_datawriter(writer_);
}

void FastDdsWriter::on_publication_matched(fdds::DataWriter*,
                                           const fdds::PublicationMatchedStatus& status) {
  readers_.Change(
      FromFastDds(eprosima::fastrtps::rtps::iHandle2GUID(status.last_subscription_handle)),
      status.current_count_change);
  stats_.Matched(status.current_count_change);
}

void FastDdsWriter::on_offered_incompatible_qos(fdds::DataWriter*,
                                                const fdds::OfferedIncompatibleQosStatus& status) {
  stats_.Refused(status.total_count_change, static_cast<uint32_t>(status.last_policy_id));
}

void FastDdsWriter::AnsweredBy(const Guid& reply_reader) {
  std::lock_guard<std::mutex> lock(mutex_);
  reply_reader_ = reply_reader;
}

bool FastDdsReader::Open(const fdds::DataReaderQos& qos) {
  reader_ = topic_.participant().subscriber()->create_datareader(
      topic_.topic(), qos, this,
      fdds::StatusMask::data_available() << fdds::StatusMask::subscription_matched()
                                         << fdds::StatusMask::requested_incompatible_qos());
  return reader_ != nullptr;
}

// The listener goes before the reader, so no callback starts meanwhile; the
// deletion waits for one in progress.
FastDdsReader::~FastDdsReader() {
  if (reader_ == nullptr) return;
  reader_->set_listener(nullptr);
  topic_.participant().subscriber()->delete_datareader(reader_);
}

bool FastDdsReader::AnswerFor(WriterEngine& requests) {
  auto* writer = dynamic_cast<FastDdsWriter*>(&requests);
  if (writer == nullptr || !writer->ledger()) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (route_.ledger) return false;
    route_ = Route{writer->guid(), writer->ledger(), writer->header_ledger(), writer->header_id()};
  }
  writer->AnsweredBy(FromFastDds(reader_->guid()));
  return true;
}

// The samples wait in Fast DDS's own reader cache, which its resource limits
// bound, so they count as zero bytes of the delivery thread's backlog: this
// only wakes the thread, and never waits or asks for drops.
void FastDdsReader::on_data_available(fdds::DataReader*) {
  delivery_.Arrived(0, 0);
}

void FastDdsReader::on_subscription_matched(fdds::DataReader*,
                                            const fdds::SubscriptionMatchedStatus& status) {
  writers_->Change(
      FromFastDds(eprosima::fastrtps::rtps::iHandle2GUID(status.last_publication_handle)),
      status.current_count_change);
  stats_.Matched(status.current_count_change);
}

void FastDdsReader::on_requested_incompatible_qos(
    fdds::DataReader*, const fdds::RequestedIncompatibleQosStatus& status) {
  stats_.Refused(status.total_count_change, static_cast<uint32_t>(status.last_policy_id));
}

// --- creation ----------------------------------------------------------------

std::unique_ptr<ParticipantEngine> CreateFastDdsParticipant(dds_DomainId_t domain_id) {
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
  auto result = std::make_unique<FastDdsParticipant>(participant, publisher, subscriber);
  if (publisher == nullptr || subscriber == nullptr) return nullptr;
  return result;
}

std::unique_ptr<TopicEngine> FastDdsParticipant::CreateTopic(const std::string& topic_name,
                                                             const std::string& type_name,
                                                             dds_TopicKind kind) {
  fdds::Topic* topic = AcquireTopic(topic_name, type_name);
  if (topic == nullptr) return nullptr;
  return std::make_unique<FastDdsTopic>(*this, topic, kind);
}

std::unique_ptr<WriterEngine> FastDdsTopic::CreateWriter(const dds_DataWriterQos& qos,
                                                         StatsSlot& stats) {
  fdds::Publisher* publisher = participant_.publisher();
  fdds::DataWriterQos fast_qos = publisher->get_default_datawriter_qos();
  fast_qos.reliability().kind = qos.reliability.kind == dds_RELIABLE_RELIABILITY_QOS
                                    ? fdds::RELIABLE_RELIABILITY_QOS
                                    : fdds::BEST_EFFORT_RELIABILITY_QOS;
  fast_qos.reliability().max_blocking_time = eprosima::fastrtps::Duration_t(
      qos.reliability.max_blocking_time.sec, qos.reliability.max_blocking_time.nanosec);
  fast_qos.history().kind = fdds::KEEP_ALL_HISTORY_QOS;
  fast_qos.durability().kind = fdds::VOLATILE_DURABILITY_QOS;
  fast_qos.reliable_writer_qos().times.heartbeatPeriod = kHeartbeatPeriod;
  fast_qos.resource_limits().allocated_samples = kPreallocatedSamples;
  auto writer = std::make_unique<FastDdsWriter>(*this, stats);
  if (!writer->Open(fast_qos)) return nullptr;
  return writer;
}

std::unique_ptr<ReaderEngine> FastDdsTopic::CreateReader(const dds_DataReaderQos& qos,
                                                         DeliveryThread& delivery,
                                                         StatsSlot& stats) {
  fdds::DataReaderQos fast_qos = participant_.subscriber()->get_default_datareader_qos();
  fast_qos.reliability().kind = qos.reliability.kind == dds_RELIABLE_RELIABILITY_QOS
                                    ? fdds::RELIABLE_RELIABILITY_QOS
                                    : fdds::BEST_EFFORT_RELIABILITY_QOS;
  fast_qos.history().kind = fdds::KEEP_ALL_HISTORY_QOS;
  fast_qos.durability().kind = fdds::VOLATILE_DURABILITY_QOS;
  fast_qos.resource_limits().allocated_samples = kPreallocatedSamples;
  auto reader = std::make_unique<FastDdsReader>(*this, delivery, stats);
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
      dds_Duration_t{fast_qos.reliability().max_blocking_time.seconds,
                     fast_qos.reliability().max_blocking_time.nanosec};
  qos->history.kind = dds_KEEP_ALL_HISTORY_QOS;
  qos->history.depth = 1;
  return dds_RETCODE_OK;
}

}  // namespace

dds_ReturnCode_t FastDdsWriter::GetQos(dds_DataWriterQos* qos) const {
  return ToLayerQos(writer_->get_qos(), qos);
}

dds_ReturnCode_t FastDdsReader::GetQos(dds_DataReaderQos* qos) const {
  return ToLayerQos(reader_->get_qos(), qos);
}

// USER_DATA may change on an enabled endpoint; Fast DDS announces it again.
template <typename Endpoint>
dds_ReturnCode_t SetFastDdsUserData(Endpoint* endpoint, const std::string& bytes) {
  auto qos = endpoint->get_qos();
  qos.user_data().data_vec(std::vector<eprosima::fastrtps::rtps::octet>(bytes.begin(), bytes.end()));
  return endpoint->set_qos(qos) == ReturnCode::RETCODE_OK ? dds_RETCODE_OK : dds_RETCODE_ERROR;
}

dds_ReturnCode_t FastDdsWriter::SetUserData(const std::string& bytes) {
  return SetFastDdsUserData(writer_, bytes);
}

dds_ReturnCode_t FastDdsReader::SetUserData(const std::string& bytes) {
  return SetFastDdsUserData(reader_, bytes);
}

}  // namespace corvane_dds
