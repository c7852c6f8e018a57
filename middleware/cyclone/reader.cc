// Cyclone readers: their listeners on the receive thread and the take from their backlog.

#include <dds/ddsi/ddsi_serdata.h>

#include <vector>

#include "middleware/common/delivery.h"
#include "middleware/common/endpoint_stats.h"
#include "middleware/common/sequences.h"
#include "middleware/cyclone/entities.h"
#include "middleware/cyclone/qos.h"
#include "middleware/cyclone/raw_type.h"

namespace corvane_dds {
namespace {

void OnKeylessDataAvailable(dds_entity_t cyclone_reader, void* arg) {
  static_cast<CycloneReader*>(arg)->Queue(cyclone_reader, kKeyless);
}

void OnKeyedDataAvailable(dds_entity_t cyclone_reader, void* arg) {
  static_cast<CycloneReader*>(arg)->Queue(cyclone_reader, kKeyed);
}

// Cyclone resets the change fields of a status once its listener has run,
// so each call reports only its own change.
void OnSubscriptionMatched(dds_entity_t, const dds_subscription_matched_status_t status,
                           void* arg) {
  static_cast<CycloneReader*>(arg)->stats().Matched(status.current_count_change);
}

void OnRequestedIncompatibleQos(dds_entity_t, const dds_requested_incompatible_qos_status_t status,
                                void* arg) {
  static_cast<CycloneReader*>(arg)->stats().Refused(status.total_count_change,
                                                    DdsPolicyId(status.last_policy_id));
}

// A transient-local twin reader (latched.h) counts no matches: its volatile
// sibling counts every publisher, and it refuses the volatile ones by design.
CycloneListener ReaderListener(CycloneReader* reader, int kind, bool counts_matches) {
  CycloneListener listener(dds_create_listener(reader));
  dds_lset_data_available(listener.get(),
                          kind == kKeyed ? OnKeyedDataAvailable : OnKeylessDataAvailable);
  if (counts_matches) {
    dds_lset_subscription_matched(listener.get(), OnSubscriptionMatched);
    dds_lset_requested_incompatible_qos(listener.get(), OnRequestedIncompatibleQos);
  }
  return listener;
}

// What a take lent: one reference per sample, given back with the loan.
class CycloneLoan : public Loan {
 public:
  ~CycloneLoan() override { Return(); }
  void Return() override {
    for (const CycloneSample& sample : samples) ddsi_serdata_unref(sample.serdata);
    samples.clear();
  }
  std::vector<CycloneSample> samples;  // reserved before a take: never moves
  std::vector<BacklogSample> taken;    // what the take moved out of the backlog
};

}  // namespace

bool CycloneReader::Open(const dds_DataReaderQos& qos) {
  const CycloneQos cyclone_qos = MakeReaderQos(qos);
  if (!cyclone_qos) return false;
  // A volatile reader gets a transient-local twin, which receives what
  // transient-local publishers kept before it matched them.
  CycloneQos latched_qos;
  if (qos.durability.kind == dds_VOLATILE_DURABILITY_QOS) {
    dds_DataReaderQos latched = qos;
    latched.durability.kind = dds_TRANSIENT_LOCAL_DURABILITY_QOS;
    latched_qos = MakeReaderQos(latched);
  }
  const dds_entity_t subscriber = topic_.lane().subscriber.get();
  for (int kind = 0; kind < kKinds; kind++) {
    const CycloneListener listener = ReaderListener(this, kind, true);
    readers_[kind] = CycloneEntity(
        dds_create_reader(subscriber, topic_.topic(kind), cyclone_qos.get(), listener.get()));
    if (!readers_[kind].valid()) return false;
    if (!latched_qos) continue;
    const CycloneListener twin_listener = ReaderListener(this, kind, false);
    latched_readers_[kind] = CycloneEntity(
        dds_create_reader(subscriber, topic_.topic(kind), latched_qos.get(), twin_listener.get()));
    if (!latched_readers_[kind].valid()) return false;
  }
  return true;
}

void CycloneReader::Queue(dds_entity_t cyclone_reader, int kind) {
  const BacklogCount taken = backlog_.TakeFrom(cyclone_reader, kind);
  if (taken.samples == 0) return;
  const uint64_t excess = delivery_.Arrived(taken.samples, taken.bytes);
  if (excess == 0) return;
  const BacklogCount dropped = backlog_.DropOldest(excess);
  delivery_.Dropped(dropped.samples, dropped.bytes);
  // The rule's counters see them as samples its stalled destination lost.
  if (EndpointStats* stats = stats_.get()) stats->Dropped(DropReason::kStalled, dropped.samples);
}

int32_t CycloneReader::HistoryDepth(int kind, dds_entity_t source, const dds_sample_info_t& info) {
  const bool latched = source == latched_readers_[kind].get();
  if (!latched && !latched_readers_[kind].valid()) return 0;
  const int32_t depth = publications_.HistoryDepth(source, info.publication_handle);
  // A publication that left before it was looked up: what its twin reader
  // took is kept at depth 1; what the volatile reader took goes on as
  // volatile (a duplicate is better than a loss).
  if (depth < 0) return latched ? 1 : 0;
  return latched || depth == 0 ? depth : -1;
}

void CycloneReader::Take(uint32_t sample_states, uint32_t view_states, uint32_t instance_states,
                         LentSamples& out) {
  CycloneLoan& loan = LoanIn<CycloneLoan>(out.data);
  loan.samples.reserve(out.limit);
  loan.taken.clear();
  bool more = false;
  // The DDS masks as one Cyclone mask.
  const uint32_t mask =
      (sample_states & 0x3u) | ((view_states & 0x3u) << 2) | ((instance_states & 0x7u) << 4);
  const BacklogCount count = backlog_.MoveTo(out.limit, mask, &loan.taken, &more);
  // The samples a volatile reader took that its transient-local twin carries
  // are dropped here.
  for (const BacklogSample& entry : loan.taken) {
    const int32_t depth = HistoryDepth(entry.kind, entry.source, entry.info);
    if (depth < 0) {
      ddsi_serdata_unref(entry.sample);
      continue;
    }
    loan.samples.push_back(CycloneSample{entry.sample, entry.kind, depth, entry.source});
    dds_SampleInfo info{};
    info.valid_data = entry.info.valid_data;
    info.source_timestamp = entry.info.source_timestamp;
    info.sample_state = static_cast<uint32_t>(entry.info.sample_state);
    info.view_state = static_cast<uint32_t>(entry.info.view_state) >> 2;
    info.instance_state = static_cast<uint32_t>(entry.info.instance_state) >> 4;
    info.publication_handle = entry.info.publication_handle;
    dds_SampleOrigin origin;
    origin.delivery = &delivery_;
    origin.cyclone = &loan.samples.back();
    out.Add(RawSerdataBytes(entry.sample), entry.size, info, origin);
  }
  delivery_.Taken(count.samples, count.bytes, more);
}

dds_ReturnCode_t CycloneReader::GetQos(dds_DataReaderQos* qos) const {
  return ReadReaderQos(readers_[kKeyless].get(), qos);
}

dds_ReturnCode_t CycloneReader::SetUserData(const std::string& bytes) {
  dds_return_t rc = DDS_RETCODE_OK;
  for (int kind = 0; kind < kKinds; kind++) {
    for (const CycloneEntity* reader : {&readers_[kind], &latched_readers_[kind]}) {
      const dds_return_t one = corvane_dds::SetUserData(reader->get(), bytes);
      if (one < 0) rc = one;
    }
  }
  return LayerCode(rc);
}

}  // namespace corvane_dds
