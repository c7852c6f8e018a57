// Translation between the layer's QoS records and Cyclone DDS QoS objects.

#include "middleware/cyclone/qos.h"

#include <algorithm>
#include <iterator>

namespace corvane_dds {
namespace {

constexpr dds_Duration_t kInfinite = {0x7FFFFFFF, 0x7FFFFFFF};

// A best-effort keep-all reader drops what comes beyond this many samples (of
// each kind). Reliable readers have no such limit: their delivery thread holds
// the source back (common/delivery.h).
constexpr int32_t kBestEffortMaxSamples = 1024;

dds_duration_t ToCyclone(const dds_Duration_t& d) {
  if (d.sec == kInfinite.sec && d.nanosec == kInfinite.nanosec) return DDS_INFINITY;
  return DDS_SECS(static_cast<int64_t>(d.sec)) + static_cast<int64_t>(d.nanosec);
}

dds_Duration_t FromCyclone(dds_duration_t d) {
  if (d == DDS_INFINITY) return kInfinite;
  return {static_cast<int32_t>(d / DDS_NSECS_IN_SEC), static_cast<uint32_t>(d % DDS_NSECS_IN_SEC)};
}

// The policies that reader and writer records share; false on a value outside
// its enumeration.
bool SetCommon(dds_qos_t* q, const dds_DurabilityQosPolicy& durability,
               const dds_ReliabilityQosPolicy& reliability, const dds_HistoryQosPolicy& history) {
  switch (durability.kind) {
    case dds_VOLATILE_DURABILITY_QOS:
      dds_qset_durability(q, DDS_DURABILITY_VOLATILE);
      break;
    case dds_TRANSIENT_LOCAL_DURABILITY_QOS:
      dds_qset_durability(q, DDS_DURABILITY_TRANSIENT_LOCAL);
      break;
    default:
      return false;
  }
  switch (reliability.kind) {
    case dds_BEST_EFFORT_RELIABILITY_QOS:
      dds_qset_reliability(q, DDS_RELIABILITY_BEST_EFFORT,
                           ToCyclone(reliability.max_blocking_time));
      break;
    case dds_RELIABLE_RELIABILITY_QOS:
      dds_qset_reliability(q, DDS_RELIABILITY_RELIABLE, ToCyclone(reliability.max_blocking_time));
      break;
    default:
      return false;
  }
  switch (history.kind) {
    case dds_KEEP_LAST_HISTORY_QOS:
      if (history.depth < 1) return false;
      dds_qset_history(q, DDS_HISTORY_KEEP_LAST, history.depth);
      break;
    case dds_KEEP_ALL_HISTORY_QOS:
      dds_qset_history(q, DDS_HISTORY_KEEP_ALL, 0);
      break;
    default:
      return false;
  }
  return true;
}

dds_ReturnCode_t ReadCommon(dds_entity_t entity, dds_DurabilityQosPolicy* durability,
                            dds_ReliabilityQosPolicy* reliability, dds_HistoryQosPolicy* history) {
  CycloneQos q(dds_create_qos());
  if (dds_get_qos(entity, q.get()) < 0) return dds_RETCODE_BAD_PARAMETER;
  dds_durability_kind_t durability_kind = DDS_DURABILITY_VOLATILE;
  dds_reliability_kind_t reliability_kind = DDS_RELIABILITY_BEST_EFFORT;
  dds_duration_t max_blocking_time = 0;
  dds_history_kind_t history_kind = DDS_HISTORY_KEEP_LAST;
  int32_t depth = 1;
  dds_qget_durability(q.get(), &durability_kind);
  dds_qget_reliability(q.get(), &reliability_kind, &max_blocking_time);
  dds_qget_history(q.get(), &history_kind, &depth);
  durability->kind = durability_kind == DDS_DURABILITY_VOLATILE
                         ? dds_VOLATILE_DURABILITY_QOS
                         : dds_TRANSIENT_LOCAL_DURABILITY_QOS;
  reliability->kind = reliability_kind == DDS_RELIABILITY_RELIABLE
                          ? dds_RELIABLE_RELIABILITY_QOS
                          : dds_BEST_EFFORT_RELIABILITY_QOS;
  reliability->max_blocking_time = FromCyclone(max_blocking_time);
  history->kind =
      history_kind == DDS_HISTORY_KEEP_ALL ? dds_KEEP_ALL_HISTORY_QOS : dds_KEEP_LAST_HISTORY_QOS;
  history->depth = depth;
  return dds_RETCODE_OK;
}

}  // namespace

CycloneQos MakeReaderQos(const dds_DataReaderQos& qos) {
  CycloneQos q(dds_create_qos());
  if (!SetCommon(q.get(), qos.durability, qos.reliability, qos.history)) return nullptr;
  if (qos.history.kind == dds_KEEP_ALL_HISTORY_QOS &&
      qos.reliability.kind == dds_BEST_EFFORT_RELIABILITY_QOS) {
    dds_qset_resource_limits(q.get(), kBestEffortMaxSamples, DDS_LENGTH_UNLIMITED,
                             kBestEffortMaxSamples);
  }
  // A relay whose source and destination domains are equal must not hear its
  // own output.
  dds_qset_ignorelocal(q.get(), DDS_IGNORELOCAL_PARTICIPANT);
  const dds_data_representation_id_t representations[] = {DDS_DATA_REPRESENTATION_XCDR1,
                                                          DDS_DATA_REPRESENTATION_XCDR2};
  dds_qset_data_representation(q.get(), 2, representations);
  return q;
}

CycloneQos MakeWriterQos(const dds_DataWriterQos& qos, int32_t kept_depth) {
  CycloneQos q(dds_create_qos());
  if (!SetCommon(q.get(), qos.durability, qos.reliability, qos.history)) return nullptr;
  if (qos.durability.kind == dds_TRANSIENT_LOCAL_DURABILITY_QOS) {
    dds_qset_durability_service(q.get(), 0, DDS_HISTORY_KEEP_LAST, kept_depth, DDS_LENGTH_UNLIMITED,
                                DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED);
  }
  // A relay that goes away has not deleted the data it carried.
  dds_qset_writer_data_lifecycle(q.get(), false);
  return q;
}

dds_ReturnCode_t ReadReaderQos(dds_entity_t reader, dds_DataReaderQos* qos) {
  return ReadCommon(reader, &qos->durability, &qos->reliability, &qos->history);
}

dds_ReturnCode_t ReadWriterQos(dds_entity_t writer, dds_DataWriterQos* qos) {
  return ReadCommon(writer, &qos->durability, &qos->reliability, &qos->history);
}

dds_ReturnCode_t LayerCode(dds_return_t rc) {
  return rc < 0 ? -rc : dds_RETCODE_OK;
}

ParticipantGuid ParticipantGuidOf(const dds_guid_t& guid) {
  ParticipantGuid result;
  std::copy(std::begin(guid.v), std::end(guid.v), result.begin());
  return result;
}

dds_return_t SetUserData(dds_entity_t entity, const std::string& bytes) {
  if (entity <= 0) return DDS_RETCODE_OK;
  const CycloneQos qos(dds_create_qos());
  dds_qset_userdata(qos.get(), bytes.data(), bytes.size());
  // USER_DATA may change on an enabled entity; Cyclone announces it again.
  return dds_set_qos(entity, qos.get());
}

}  // namespace corvane_dds
