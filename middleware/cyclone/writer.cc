// Cyclone writers: the raw write, its waits for room and its batched flushes.

#include <dds/ddsi/ddsi_serdata.h>

#include "middleware/common/delivery.h"
#include "middleware/common/endpoint_stats.h"
#include "middleware/cyclone/entities.h"
#include "middleware/cyclone/qos.h"
#include "middleware/cyclone/raw_type.h"

namespace corvane_dds {
namespace {

// How long a delivery thread waits at once for a writer's acknowledgements
// before it looks whether it is stopping.
constexpr dds_duration_t kAckSlice = DDS_MSECS(100);

void OnPublicationMatched(dds_entity_t, const dds_publication_matched_status_t status, void* arg) {
  static_cast<CycloneWriter*>(arg)->stats().Matched(status.current_count_change);
}

void OnOfferedIncompatibleQos(dds_entity_t, const dds_offered_incompatible_qos_status_t status,
                              void* arg) {
  static_cast<CycloneWriter*>(arg)->stats().Refused(status.total_count_change,
                                                    DdsPolicyId(status.last_policy_id));
}

dds_duration_t BlockingTime(const dds_DataWriterQos& qos) {
  const CycloneQos cyclone_qos = MakeWriterQos(qos);
  dds_reliability_kind_t reliability = DDS_RELIABILITY_BEST_EFFORT;
  dds_duration_t blocking = 0;
  if (cyclone_qos) dds_qget_reliability(cyclone_qos.get(), &reliability, &blocking);
  return blocking;
}

// `qos` with no blocking time: the writers the layer creates refuse a write
// at once when their history is full, and the layer's write waits itself.
dds_DataWriterQos Refusing(dds_DataWriterQos qos) {
  qos.reliability.max_blocking_time = {0, 0};
  return qos;
}

void Flush(int64_t writer) {
  dds_write_flush(static_cast<dds_entity_t>(writer));
}

// Cyclone batches the layer's writes (see domain.cc); a write that the
// delivery thread of its sample's reader will not flush goes out at once.
// Consumes a reference.
dds_return_t Publish(dds_entity_t writer, ddsi_serdata* sample, DeliveryThread* delivery) {
  // Unlike dds_writecdr, dds_forwardcdr keeps the sample's source timestamp.
  // It consumes the reference once it holds the writer; a handle that names
  // no live writer is refused before that, and the sample is still ours.
  const dds_return_t rc = dds_forwardcdr(writer, sample);
  if (rc == DDS_RETCODE_BAD_PARAMETER || rc == DDS_RETCODE_ALREADY_DELETED ||
      rc == DDS_RETCODE_ILLEGAL_OPERATION) {
    ddsi_serdata_unref(sample);
    return rc;
  }
  if (delivery == nullptr || !delivery->DeferFlush(Flush, writer)) dds_write_flush(writer);
  return rc;
}

// On the delivery thread of the reader that took the sample, while that
// reader is alive: waits for `writer`'s readers to acknowledge all it wrote;
// true when the write should be tried again.
bool AwaitAcknowledgements(dds_entity_t writer, DeliveryThread& delivery) {
  while (delivery.KeepWaiting()) {
    const dds_return_t rc = dds_wait_for_acks(writer, kAckSlice);
    if (rc == DDS_RETCODE_OK) return true;
    if (rc != DDS_RETCODE_TIMEOUT) return false;
  }
  return false;
}

// The Cyclone writers refuse a write while their history is full; the waiting
// happens here. The delivery thread of the sample's reader may wait: only its
// own reader waits with it, and that reader's bounded backlog takes, then
// drops, what comes meanwhile. So its writes are tried again once the
// destination has acknowledged, until they go through or the reader stops.
// Any other thread waits for the writer's blocking time. The caller keeps its
// reference.
dds_return_t PublishWaiting(dds_entity_t writer, ddsi_serdata* sample,
                            dds_duration_t max_blocking_time, DeliveryThread* delivery) {
  dds_return_t rc = Publish(writer, ddsi_serdata_ref(sample), delivery);
  if (rc != DDS_RETCODE_TIMEOUT) return rc;
  if (delivery != nullptr && delivery->IsCurrentThread()) {
    while (rc == DDS_RETCODE_TIMEOUT && AwaitAcknowledgements(writer, *delivery)) {
      rc = Publish(writer, ddsi_serdata_ref(sample), delivery);
    }
    return rc;
  }
  const dds_time_t deadline =
      max_blocking_time == DDS_INFINITY ? DDS_NEVER : dds_time() + max_blocking_time;
  for (dds_time_t now = dds_time(); rc == DDS_RETCODE_TIMEOUT && now < deadline; now = dds_time()) {
    dds_wait_for_acks(writer, deadline - now);
    rc = Publish(writer, ddsi_serdata_ref(sample), delivery);
  }
  return rc;
}

// The sample to publish through the writer of `kind`: the lent sample itself
// when the caller passes its bytes unchanged, a copy otherwise. Only writers
// that keep a transient-local publication's history keep its instances.
ddsi_serdata* OutgoingSample(const ddsi_sertype* type, const CycloneSample* origin,
                             const void* buffer, uint32_t size, int64_t timestamp,
                             bool keep_instance) {
  if (origin != nullptr && origin->serdata != nullptr &&
      RawSerdataBytes(origin->serdata) == buffer && RawSerdataSize(origin->serdata) == size) {
    return RawSerdataForward(type, origin->serdata, keep_instance);
  }
  return RawSerdataCopy(type, buffer, size, timestamp);
}

}  // namespace

CycloneWriter::CycloneWriter(const CycloneTopic& topic, const dds_DataWriterQos& qos,
                             StatsSlot& stats)
    : topic_(topic), stats_(stats), qos_(qos), max_blocking_time_(BlockingTime(qos)) {}

CycloneWriter::~CycloneWriter() {
  retained_.reset();
  for (CycloneEntity& writer : writers_) {
    if (!writer.valid()) continue;
    // The listener refers to this object; dropping it waits for a call in
    // progress.
    dds_set_listener(writer.get(), nullptr);
    topic_.lane().reaper->Delete(writer.Release());
  }
}

bool CycloneWriter::Open() {
  const CycloneQos cyclone_qos = MakeWriterQos(Refusing(qos_));
  if (!cyclone_qos) return false;
  const CycloneListener listener(dds_create_listener(this));
  dds_lset_publication_matched(listener.get(), OnPublicationMatched);
  dds_lset_offered_incompatible_qos(listener.get(), OnOfferedIncompatibleQos);
  for (int kind = 0; kind < kKinds; kind++) {
    writers_[kind] = CycloneEntity(dds_create_writer(
        topic_.lane().publisher.get(), topic_.topic(kind), cyclone_qos.get(), listener.get()));
    if (!writers_[kind].valid()) return false;
  }
  return true;
}

dds_ReturnCode_t CycloneWriter::GetQos(dds_DataWriterQos* qos) const {
  const dds_ReturnCode_t rc = ReadWriterQos(writers_[kKeyless].get(), qos);
  if (rc == dds_RETCODE_OK) qos->reliability.max_blocking_time = qos_.reliability.max_blocking_time;
  return rc;
}

dds_ReturnCode_t CycloneWriter::SetUserData(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(user_data_mutex_);
  user_data_ = bytes;
  dds_return_t rc = DDS_RETCODE_OK;
  for (const CycloneEntity& writer : writers_) {
    const dds_return_t kind_rc = corvane_dds::SetUserData(writer.get(), bytes);
    if (kind_rc < 0) rc = kind_rc;
  }
  if (retained_ready_) retained_->SetUserData(bytes);
  return LayerCode(rc);
}

dds_entity_t CycloneWriter::RetainingWriter(const CycloneSample& origin, uint64_t publication,
                                            const ddsi_serdata* sample) {
  std::call_once(retained_once_, [this] {
    const dds_entity_t topics[kKinds] = {topic_.topic(kKeyless), topic_.topic(kKeyed)};
    retained_ =
        std::make_unique<RetainedHistory>(topic_.lane().publisher.get(), topics, Refusing(qos_),
                                          topic_.name(), *topic_.lane().reaper);
    std::lock_guard<std::mutex> lock(user_data_mutex_);
    if (!user_data_.empty()) retained_->SetUserData(user_data_);
    retained_ready_ = true;
  });
  return retained_->WriterFor(origin, publication, sample);
}

dds_ReturnCode_t CycloneWriter::Write(const void* buffer, uint32_t size,
                                      const dds_SampleInfo* info) {
  if (info == nullptr) {
    // Keyedness unknown: peers of either kind get it, stamped now.
    const dds_time_t now = dds_time();
    dds_return_t rc = DDS_RETCODE_OK;
    for (int kind = 0; kind < kKinds; kind++) {
      ddsi_serdata* sample = RawSerdataCopy(topic_.sertype(kind), buffer, size, now);
      const dds_return_t kind_rc =
          PublishWaiting(writers_[kind].get(), sample, max_blocking_time_, nullptr);
      ddsi_serdata_unref(sample);
      if (kind_rc < 0) rc = kind_rc;
    }
    return LayerCode(rc);
  }
  const CycloneSample* origin = info->origin != nullptr ? info->origin->cyclone : nullptr;
  DeliveryThread* delivery = info->origin != nullptr ? info->origin->delivery : nullptr;
  const int kind = origin != nullptr ? origin->kind : kKeyless;
  const ddsi_sertype* type = topic_.sertype(kind);
  if (origin != nullptr && origin->history_depth > 0) {
    ddsi_serdata* sample = OutgoingSample(type, origin, buffer, size, info->source_timestamp, true);
    const dds_entity_t retaining = RetainingWriter(*origin, info->publication_handle, sample);
    if (retaining > 0) {
      const dds_return_t rc = PublishWaiting(retaining, sample, max_blocking_time_, delivery);
      ddsi_serdata_unref(sample);
      return LayerCode(rc);
    }
    ddsi_serdata_unref(sample);
  }
  const dds_entity_t writer = writers_[kind].get();
  // A reliable path whose subscribers acknowledged nothing for a whole
  // blocking time has stalled: its writes fail at once until its subscribers
  // have caught up with everything.
  if (stalled_[kind].load()) {
    if (dds_wait_for_acks(writer, 0) != DDS_RETCODE_OK) return dds_RETCODE_TIMEOUT;
    stalled_[kind].store(false);
  }
  ddsi_serdata* const sample =
      OutgoingSample(type, origin, buffer, size, info->source_timestamp, false);
  const dds_return_t rc = PublishWaiting(writer, sample, max_blocking_time_, delivery);
  ddsi_serdata_unref(sample);
  if (rc == DDS_RETCODE_TIMEOUT) stalled_[kind].store(true);
  return LayerCode(rc);
}

}  // namespace corvane_dds
