// The forwarding channel: one take, its writes, the return of the loan.

#include "dds/dds_channel.h"

#include <cstring>
#include <utility>

#include "dds/dds_domain.h"
#include "middleware/rule_stats.h"

namespace {

// Samples per forwarding step; also the capacity of the sequences.
constexpr int32_t kMaxSamplesPerStep = 8;

}  // namespace

bool DdsChannel::Initialize(const std::shared_ptr<DdsDomain>& src,
                            const std::shared_ptr<DdsDomain>& dst, const std::string& topic_name,
                            const std::string& type_name, bool src_reliable, bool dst_reliable) {
  return Initialize(src, dst, topic_name, type_name, src_reliable, dst_reliable, dds_PLAIN_TOPIC);
}

bool DdsChannel::Initialize(const std::shared_ptr<DdsDomain>& src,
                            const std::shared_ptr<DdsDomain>& dst, const std::string& topic_name,
                            const std::string& type_name, bool src_reliable, bool dst_reliable,
                            dds_TopicKind kind) {
  topic_name_ = topic_name;
  dds_Topic* src_topic = src->GetRawTopic(topic_name, type_name, kind);
  dds_Topic* dst_topic = dst->GetRawTopic(topic_name, type_name, kind);
  if (src_topic == nullptr || dst_topic == nullptr) return false;

  dds_DataWriterQos writer_qos;
  std::memset(&writer_qos, 0, sizeof writer_qos);
  dds_DataWriterQos_copy(&writer_qos, &dds_DATAWRITER_QOS_DEFAULT);
  dds_DataReaderQos reader_qos;
  std::memset(&reader_qos, 0, sizeof reader_qos);
  dds_DataReaderQos_copy(&reader_qos, &dds_DATAREADER_QOS_DEFAULT);
  reader_qos.reliability.kind =
      src_reliable ? dds_RELIABLE_RELIABILITY_QOS : dds_BEST_EFFORT_RELIABILITY_QOS;
  writer_qos.reliability.kind =
      dst_reliable ? dds_RELIABLE_RELIABILITY_QOS : dds_BEST_EFFORT_RELIABILITY_QOS;

  writer_ = dds_Publisher_create_datawriter(dst->publisher(), dst_topic, &writer_qos, nullptr, 0);
  if (writer_ == nullptr) return false;
  // The reader is created with no listener: the context must be in place
  // before the first callback can run.
  dds_DataReader* reader =
      dds_Subscriber_create_datareader(src->subscriber(), src_topic, &reader_qos, nullptr, 0);
  if (reader == nullptr) return false;
  reader_ = reader;

  data_seq_ = dds_DataSeq_create(kMaxSamplesPerStep);
  info_seq_ = dds_SampleInfoSeq_create(kMaxSamplesPerStep);
  size_seq_ = dds_UnsignedLongSeq_create(kMaxSamplesPerStep);
  if (data_seq_ == nullptr || info_seq_ == nullptr || size_seq_ == nullptr) return false;

  dds_DataReader_set_listener_context(reader_, this);
  const dds_DataReaderListener listener = {
      nullptr, nullptr, nullptr, nullptr, &DdsChannel::OnDataAvailable, nullptr, nullptr};
  return dds_DataReader_set_listener(reader_, &listener, dds_DATA_AVAILABLE_STATUS) ==
         dds_RETCODE_OK;
}

void DdsChannel::SetUserData(const std::string& user_data) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(user_data.data());
  const auto size = static_cast<uint32_t>(user_data.size());
  if (reader_ != nullptr) dds_DataReader_set_user_data(reader_, bytes, size);
  if (writer_ != nullptr) dds_DataWriter_set_user_data(writer_, bytes, size);
}

bool DdsChannel::AnswerFor(const DdsChannel& requests) {
  return reader_ != nullptr && requests.writer_ != nullptr &&
         dds_DataReader_answer_for(reader_, requests.writer_) == dds_RETCODE_OK;
}

void DdsChannel::CountFor(rulestats_record* rule) {
  rulestats_attach_reader(rule, reader_);
  rulestats_attach_writer(rule, writer_);
}

void DdsChannel::OnDataAvailable(const dds_DataReader* reader) {
  auto* channel = static_cast<DdsChannel*>(dds_DataReader_get_listener_context(reader));
  if (channel != nullptr) channel->OnDataAvailable();
}

void DdsChannel::OnDataAvailable() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (reader_ == nullptr) return;
  if (dds_DataReader_raw_take_w_sampleinfoex(
          reader_, 0, data_seq_, info_seq_, size_seq_, kMaxSamplesPerStep, dds_ANY_SAMPLE_STATE,
          dds_ANY_VIEW_STATE, dds_ANY_INSTANCE_STATE) != dds_RETCODE_OK) {
    return;
  }
  const uint32_t count = dds_DataSeq_length(data_seq_);
  for (uint32_t i = 0; i < count; ++i) {
    const void* buffer = dds_DataSeq_get(data_seq_, i);
    const dds_SampleInfo* info = dds_SampleInfoSeq_get(info_seq_, i);
    const uint32_t size = dds_UnsignedLongSeq_get(size_seq_, i);
    // Samples without data only report instance state changes.
    if (!info->valid_data) continue;
    // A failed write must not stop the batch.
    dds_DataWriter_raw_write_w_sampleinfoex(writer_, buffer, size, info);
  }
  dds_DataReader_raw_return_loan(reader_, data_seq_, info_seq_, size_seq_);
}

DdsChannel::~DdsChannel() {
  if (reader_ != nullptr) {
    // New callbacks find no channel from here on.
    dds_DataReader_set_listener_context(reader_, nullptr);
    dds_DataReader* reader = nullptr;
    {
      // Waits for a step in progress; a step that gets the lock later finds
      // no reader and writes nothing.
      std::lock_guard<std::mutex> lock(mutex_);
      reader = reader_;
      reader_ = nullptr;
    }
    // Deleted outside the lock: the deletion waits for callbacks in
    // progress, and such a callback may be waiting for the lock.
    dds_Subscriber_delete_datareader(dds_DataReader_get_subscriber(reader), reader);
  }
  if (writer_ != nullptr) {
    dds_Publisher_delete_datawriter(dds_DataWriter_get_publisher(writer_), writer_);
    writer_ = nullptr;
  }
  if (info_seq_ != nullptr) dds_SampleInfoSeq_delete(std::exchange(info_seq_, nullptr));
  if (data_seq_ != nullptr) dds_DataSeq_delete(std::exchange(data_seq_, nullptr));
  if (size_seq_ != nullptr) dds_UnsignedLongSeq_delete(std::exchange(size_seq_, nullptr));
}
