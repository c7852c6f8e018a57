// The raw take, the return of its loan, and the raw write.

#include <dds/ddsi/ddsi_serdata.h>

#include <memory>
#include <mutex>
#include <vector>

#include "middleware/dds.h"
#include "middleware/dds_delivery_internal.h"
#include "middleware/dds_entities_internal.h"
#include "middleware/dds_raw_type_internal.h"
#include "middleware/dds_sequences_internal.h"
#include "middleware/rule_stats_internal.h"

using corvane_dds::kKeyed;
using corvane_dds::kKeyless;
using corvane_dds::kKinds;

namespace {

// The layer's codes are Cyclone's, negated.
dds_ReturnCode_t FromCyclone(dds_return_t rc) {
  return rc < 0 ? -rc : dds_RETCODE_OK;
}

// DDS state masks (sample: read 1, not read 2; view: new 1, not new 2;
// instance: alive 1, disposed 2, no writers 4) as one Cyclone mask. Zero when
// a category admits no state, since Cyclone reads an empty category as "any".
uint32_t CycloneStateMask(uint32_t sample_states, uint32_t view_states, uint32_t instance_states) {
  const uint32_t sample = sample_states & 0x3u;
  const uint32_t view = view_states & 0x3u;
  const uint32_t instance = instance_states & 0x7u;
  if (sample == 0 || view == 0 || instance == 0) return 0;
  return sample | (view << 2) | (instance << 4);
}

dds_SampleInfo Translate(const dds_sample_info_t& info, const ddsi_serdata* sample, bool keyed,
                         int32_t history_depth, dds_entity_t source) {
  dds_SampleInfo result;
  result.valid_data = info.valid_data;
  result.source_timestamp = info.source_timestamp;
  result.sample_state = static_cast<uint32_t>(info.sample_state);
  result.view_state = static_cast<uint32_t>(info.view_state) >> 2;
  result.instance_state = static_cast<uint32_t>(info.instance_state) >> 4;
  result.publication_handle = info.publication_handle;
  result.keyed = keyed;
  result.origin = sample;
  result.history_depth = history_depth;
  result.source = source;
  return result;
}

void EnsureCapacity(dds_DataSeq* data, dds_SampleInfoSeq* infos, dds_UnsignedLongSeq* sizes,
                    size_t count) {
  if (data->loans.size() < count) data->loans.resize(count);
  if (infos->scratch.size() < count) infos->scratch.resize(count);
  data->buffers.reserve(count);
  infos->infos.reserve(count);
  sizes->values.reserve(count);
  data->backlog_taken.reserve(count);
}

// How many samples the publication of a sample taken from `source` keeps for
// late joiners (0: volatile); -1 when a volatile reader drops the sample
// because the transient-local twin carries it.
int32_t HistoryDepth(dds_DataReader* reader, int kind, dds_entity_t source,
                     const dds_sample_info_t& info) {
  const bool latched = source == reader->latched_readers[kind].get();
  if (!latched && !reader->latched_readers[kind].valid()) return 0;
  const int32_t depth = reader->publications.HistoryDepth(source, info.publication_handle);
  // A publication that left before it was looked up: what its twin reader
  // took is kept at depth 1; what the volatile reader took goes on as
  // volatile (a duplicate is better than a loss).
  if (depth < 0) return latched ? 1 : 0;
  return latched || depth == 0 ? depth : -1;
}

// Lends `taken` (their references) through the sequences, but for the
// samples a volatile reader took that its transient-local twin carries.
void Lend(dds_DataReader* reader, const std::vector<corvane_dds::BacklogSample>& taken,
          dds_DataSeq* data, dds_SampleInfoSeq* infos, dds_UnsignedLongSeq* sizes) {
  size_t kept = 0;
  for (const corvane_dds::BacklogSample& entry : taken) {
    const int32_t depth = HistoryDepth(reader, entry.kind, entry.source, entry.info);
    if (depth < 0) {
      ddsi_serdata_unref(entry.sample);
      continue;
    }
    data->loans[kept] = entry.sample;
    infos->scratch[kept++] = entry.info;
    data->buffers.push_back(const_cast<unsigned char*>(corvane_dds::RawSerdataBytes(entry.sample)));
    sizes->values.push_back(entry.size);
    infos->infos.push_back(
        Translate(entry.info, entry.sample, entry.kind == kKeyed, depth, entry.source));
  }
}

// The take of a reader carried by Fast DDS: lent samples are the layer's
// copies, their loans null.
dds_ReturnCode_t TakeFastDds(dds_DataReader* reader, uint32_t limit, dds_DataSeq* data,
                             dds_SampleInfoSeq* infos, dds_UnsignedLongSeq* sizes) {
  data->fast_kept.clear();
  const corvane_dds::FastDdsTaken taken =
      corvane_dds::FastDdsTake(reader->fast.get(), limit, &data->fast_samples, &data->fast_kept);
  for (const corvane_dds::FastDdsSample* sample : data->fast_kept) {
    data->buffers.push_back(const_cast<uint8_t*>(sample->bytes.data()));
    sizes->values.push_back(static_cast<uint32_t>(sample->bytes.size()));
    dds_SampleInfo info{};
    info.valid_data = true;
    info.source_timestamp = sample->source_timestamp;
    info.sample_state = 2;    // not read
    info.view_state = 1;      // new
    info.instance_state = 1;  // alive
    info.keyed = false;
    info.origin = sample;
    infos->infos.push_back(info);
  }
  const bool full = data->fast_kept.size() == limit;
  reader->last_take.store(full                      ? corvane_dds::TakeOutcome::kFull
                          : data->fast_kept.empty() ? corvane_dds::TakeOutcome::kNone
                                                    : corvane_dds::TakeOutcome::kPartial);
  // Its samples never counted in the backlog (dds_fastdds_entities.cc).
  reader->delivery->Taken(taken.removed, 0);
  return data->fast_kept.empty() ? dds_RETCODE_NO_DATA : dds_RETCODE_OK;
}

}  // namespace

dds_ReturnCode_t dds_DataReader_raw_take_w_sampleinfoex(
    dds_DataReader* reader, int32_t, dds_DataSeq* data_seq, dds_SampleInfoSeq* info_seq,
    dds_UnsignedLongSeq* size_seq, int32_t max_samples, uint32_t sample_states,
    uint32_t view_states, uint32_t instance_states) {
  if (reader == nullptr || data_seq == nullptr || info_seq == nullptr || size_seq == nullptr ||
      max_samples <= 0) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  if (!data_seq->buffers.empty() || !info_seq->infos.empty() || !size_seq->values.empty()) {
    return dds_RETCODE_PRECONDITION_NOT_MET;  // the previous loan is still out
  }
  const uint32_t mask = CycloneStateMask(sample_states, view_states, instance_states);
  if (mask == 0) return dds_RETCODE_NO_DATA;
  const auto limit = static_cast<uint32_t>(max_samples);
  EnsureCapacity(data_seq, info_seq, size_seq, limit);
  if (reader->fast) return TakeFastDds(reader, limit, data_seq, info_seq, size_seq);

  std::vector<corvane_dds::BacklogSample>& taken = data_seq->backlog_taken;
  taken.clear();
  bool more = false;
  const corvane_dds::BacklogCount count = reader->backlog.MoveTo(limit, mask, &taken, &more);
  Lend(reader, taken, data_seq, info_seq, size_seq);
  reader->last_take.store(more                ? corvane_dds::TakeOutcome::kFull
                          : count.samples > 0 ? corvane_dds::TakeOutcome::kPartial
                                              : corvane_dds::TakeOutcome::kNone);
  reader->delivery->Taken(count.samples, count.bytes);
  return data_seq->buffers.empty() ? dds_RETCODE_NO_DATA : dds_RETCODE_OK;
}

uint64_t dds_DataReader_dropped_sample_count(const dds_DataReader* reader) {
  return reader == nullptr ? 0 : reader->delivery->dropped();
}

dds_ReturnCode_t dds_DataReader_raw_return_loan(dds_DataReader* reader, dds_DataSeq* data_seq,
                                                dds_SampleInfoSeq* info_seq,
                                                dds_UnsignedLongSeq* size_seq) {
  if (reader == nullptr || data_seq == nullptr || info_seq == nullptr || size_seq == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  for (size_t i = 0; i < data_seq->buffers.size(); i++) {
    if (data_seq->loans[i] == nullptr) continue;  // a Fast DDS sample, kept for reuse
    ddsi_serdata_unref(data_seq->loans[i]);
    data_seq->loans[i] = nullptr;
  }
  data_seq->buffers.clear();
  info_seq->infos.clear();
  size_seq->values.clear();
  return dds_RETCODE_OK;
}

namespace {

// Cyclone batches the layer's writes (see dds_domain_config.cc); a write that
// no delivery thread will flush goes out at once.
dds_return_t Publish(dds_entity_t writer, ddsi_serdata* sample) {
  // Unlike dds_writecdr, dds_forwardcdr keeps the sample's source timestamp.
  // It consumes the reference once it holds the writer; a handle that names
  // no live writer is refused before that, and the sample is still ours.
  const dds_return_t rc = dds_forwardcdr(writer, sample);
  if (rc == DDS_RETCODE_BAD_PARAMETER || rc == DDS_RETCODE_ALREADY_DELETED ||
      rc == DDS_RETCODE_ILLEGAL_OPERATION) {
    ddsi_serdata_unref(sample);
    return rc;
  }
  if (!corvane_dds::DeferFlush(writer)) dds_write_flush(writer);
  return rc;
}

}  // namespace

// Cyclone's writers refuse a write while their history is full
// (dds_endpoints.cc); the waiting happens here. A callback that runs inline on
// Cyclone's receive thread never waits: it hands the write to its reader's
// thread. A delivery thread may wait: only its own reader waits with it, and
// that reader's bounded backlog takes, then drops, what comes meanwhile. So
// its writes are tried again once the destination has acknowledged, until
// they go through or the reader is deleted. Any other thread waits for the
// writer's blocking time. Publish consumes a reference.
dds_return_t corvane_dds::PublishWaiting(dds_entity_t writer, ddsi_serdata* sample,
                                         dds_duration_t max_blocking_time) {
  using corvane_dds::DeliveryThread;
  if (DeliveryThread::HandOn(writer, sample, false)) return DDS_RETCODE_OK;
  dds_return_t rc = Publish(writer, ddsi_serdata_ref(sample));
  if (rc != DDS_RETCODE_TIMEOUT) return rc;
  if (DeliveryThread::HandOn(writer, sample, true)) return DDS_RETCODE_OK;
  if (DeliveryThread::OnDeliveryThread()) {
    while (rc == DDS_RETCODE_TIMEOUT && DeliveryThread::AwaitAcknowledgements(writer)) {
      rc = Publish(writer, ddsi_serdata_ref(sample));
    }
    return rc;
  }
  const dds_time_t deadline =
      max_blocking_time == DDS_INFINITY ? DDS_NEVER : dds_time() + max_blocking_time;
  for (dds_time_t now = dds_time(); rc == DDS_RETCODE_TIMEOUT && now < deadline; now = dds_time()) {
    dds_wait_for_acks(writer, deadline - now);
    rc = Publish(writer, ddsi_serdata_ref(sample));
  }
  return rc;
}

namespace {

// The sample to publish through the writer of `kind`: the lent sample itself
// when the caller passes its bytes unchanged, a copy otherwise. Only writers
// that keep a transient-local publication's history keep its instances.
ddsi_serdata* OutgoingSample(const dds_DataWriter* writer, int kind, const void* buffer,
                             uint32_t size, const dds_SampleInfo& info, bool keep_instance) {
  const ddsi_sertype* type = writer->topic->sertypes[kind];
  auto* origin = static_cast<ddsi_serdata*>(const_cast<void*>(info.origin));
  if (origin != nullptr && corvane_dds::RawSerdataBytes(origin) == buffer &&
      corvane_dds::RawSerdataSize(origin) == size) {
    return corvane_dds::RawSerdataForward(type, origin, keep_instance);
  }
  return corvane_dds::RawSerdataCopy(type, buffer, size, info.source_timestamp);
}

// Counts one write for the writer's rule. A timeout means the destination
// stalled (the writer's history stayed full); other drop policies count
// their own reason with EndpointStats::Dropped where they drop.
void CountWrite(const dds_DataWriter* writer, dds_return_t rc, uint32_t size) {
  corvane_dds::EndpointStats* stats = writer->stats.get();
  if (stats == nullptr) return;
  if (rc >= 0) {
    stats->Forwarded(size);
  } else {
    stats->Dropped(rc == DDS_RETCODE_TIMEOUT ? corvane_dds::DropReason::kStalled
                                             : corvane_dds::DropReason::kWriteFailed);
  }
}

// The writer that keeps the history of the transient-local publication `info`
// names; <= 0 when it has none.
dds_entity_t RetainingWriter(dds_DataWriter* writer, int kind, const dds_SampleInfo& info,
                             const ddsi_serdata* sample) {
  std::call_once(writer->retained_once, [writer] {
    const dds_entity_t topics[kKinds] = {writer->topic->topics[kKeyless].get(),
                                         writer->topic->topics[kKeyed].get()};
    writer->retained = std::make_unique<corvane_dds::RetainedHistory>(
        writer->publisher->publisher.get(), topics, writer->qos, writer->topic->name);
  });
  return writer->retained->WriterFor(kind, info, sample);
}

}  // namespace

dds_ReturnCode_t dds_DataWriter_raw_write_w_sampleinfoex(dds_DataWriter* writer, const void* buffer,
                                                         uint32_t size,
                                                         const dds_SampleInfo* info) {
  // Anything shorter than the encapsulation header is not a sample.
  if (writer == nullptr || buffer == nullptr || size < 4) return dds_RETCODE_BAD_PARAMETER;
  if (writer->fast) {
    const dds_ReturnCode_t rc = corvane_dds::FastDdsWrite(
        writer->fast.get(), buffer, size, info != nullptr ? info->source_timestamp : dds_time(),
        info != nullptr ? static_cast<const corvane_dds::FastDdsSample*>(info->origin) : nullptr);
    CountWrite(writer, rc == dds_RETCODE_OK ? DDS_RETCODE_OK : DDS_RETCODE_ERROR, size);
    return rc;
  }
  if (info == nullptr) {
    // Keyedness unknown: peers of either kind get it, stamped now.
    const dds_time_t now = dds_time();
    dds_return_t rc = DDS_RETCODE_OK;
    for (int kind = 0; kind < kKinds; kind++) {
      ddsi_serdata* sample =
          corvane_dds::RawSerdataCopy(writer->topic->sertypes[kind], buffer, size, now);
      const dds_return_t kind_rc = corvane_dds::PublishWaiting(writer->writers[kind].get(), sample,
                                                               writer->max_blocking_time);
      ddsi_serdata_unref(sample);
      if (kind_rc < 0) rc = kind_rc;
    }
    CountWrite(writer, rc, size);
    return FromCyclone(rc);
  }
  const int kind = info->keyed ? kKeyed : kKeyless;
  if (info->history_depth > 0) {
    ddsi_serdata* sample = OutgoingSample(writer, kind, buffer, size, *info, true);
    const dds_entity_t retaining = RetainingWriter(writer, kind, *info, sample);
    if (retaining > 0) {
      const dds_return_t rc =
          corvane_dds::PublishWaiting(retaining, sample, writer->max_blocking_time);
      ddsi_serdata_unref(sample);
      CountWrite(writer, rc, size);
      return FromCyclone(rc);
    }
    ddsi_serdata_unref(sample);
  }
  const dds_entity_t cyclone_writer = writer->writers[kind].get();
  // Elsewhere than on a delivery thread, a reliable path whose subscribers
  // acknowledged nothing for a whole blocking time has stalled: its writes
  // fail at once until its subscribers have caught up with everything.
  if (writer->stalled[kind].load()) {
    if (dds_wait_for_acks(cyclone_writer, 0) != DDS_RETCODE_OK) {
      CountWrite(writer, DDS_RETCODE_TIMEOUT, size);
      return dds_RETCODE_TIMEOUT;
    }
    writer->stalled[kind].store(false);
  }
  ddsi_serdata* const sample = OutgoingSample(writer, kind, buffer, size, *info, false);
  const dds_return_t rc =
      corvane_dds::PublishWaiting(cyclone_writer, sample, writer->max_blocking_time);
  ddsi_serdata_unref(sample);
  if (rc == DDS_RETCODE_TIMEOUT) writer->stalled[kind].store(true);
  CountWrite(writer, rc, size);
  return FromCyclone(rc);
}
