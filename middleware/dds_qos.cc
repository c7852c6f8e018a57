// The layer's default QoS records and their copies.

#include "middleware/dds.h"

namespace {

// Keep-all on both ends and blocking reliable writes make a reliable relay
// lossless: a full writer history holds the relay's reader back, which in
// turn holds back the source. The wait is bounded so that teardown never hangs
// on a subscriber that stopped acknowledging; after a timeout a writer fails
// at once until it is acknowledged again (cyclone/writer.cc).
constexpr dds_Duration_t kMaxBlockingTime = {1, 0};

}  // namespace

const dds_DomainParticipantQos dds_PARTICIPANT_QOS_DEFAULT = {{true}};
const dds_PublisherQos dds_PUBLISHER_QOS_DEFAULT = {{true}};
const dds_SubscriberQos dds_SUBSCRIBER_QOS_DEFAULT = {{true}};
const dds_TopicQos dds_TOPIC_QOS_DEFAULT = {};
const dds_DataReaderQos dds_DATAREADER_QOS_DEFAULT = {
    {dds_VOLATILE_DURABILITY_QOS},
    {dds_BEST_EFFORT_RELIABILITY_QOS, kMaxBlockingTime},
    {dds_KEEP_ALL_HISTORY_QOS, 1}};
const dds_DataWriterQos dds_DATAWRITER_QOS_DEFAULT = {
    {dds_TRANSIENT_LOCAL_DURABILITY_QOS},
    {dds_RELIABLE_RELIABILITY_QOS, kMaxBlockingTime},
    {dds_KEEP_ALL_HISTORY_QOS, 1}};

namespace {

template <typename Qos>
dds_ReturnCode_t CopyRecord(Qos* dst, const Qos* src) {
  if (dst == nullptr || src == nullptr) return dds_RETCODE_BAD_PARAMETER;
  *dst = *src;
  return dds_RETCODE_OK;
}

template <typename Qos>
dds_ReturnCode_t FinalizeRecord(Qos* qos) {
  return qos == nullptr ? dds_RETCODE_BAD_PARAMETER : dds_RETCODE_OK;
}

}  // namespace

dds_ReturnCode_t dds_DomainParticipantQos_copy(dds_DomainParticipantQos* dst,
                                               const dds_DomainParticipantQos* src) {
  return CopyRecord(dst, src);
}
dds_ReturnCode_t dds_DomainParticipantQos_finalize(dds_DomainParticipantQos* qos) {
  return FinalizeRecord(qos);
}
dds_ReturnCode_t dds_PublisherQos_copy(dds_PublisherQos* dst, const dds_PublisherQos* src) {
  return CopyRecord(dst, src);
}
dds_ReturnCode_t dds_PublisherQos_finalize(dds_PublisherQos* qos) {
  return FinalizeRecord(qos);
}
dds_ReturnCode_t dds_SubscriberQos_copy(dds_SubscriberQos* dst, const dds_SubscriberQos* src) {
  return CopyRecord(dst, src);
}
dds_ReturnCode_t dds_SubscriberQos_finalize(dds_SubscriberQos* qos) {
  return FinalizeRecord(qos);
}
dds_ReturnCode_t dds_DataReaderQos_copy(dds_DataReaderQos* dst, const dds_DataReaderQos* src) {
  return CopyRecord(dst, src);
}
dds_ReturnCode_t dds_DataWriterQos_copy(dds_DataWriterQos* dst, const dds_DataWriterQos* src) {
  return CopyRecord(dst, src);
}
