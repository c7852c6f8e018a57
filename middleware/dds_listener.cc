// The reader listener: the layer's callback and its context.

#include "middleware/dds_delivery_internal.h"
#include "middleware/dds_entities_internal.h"
#include "middleware/dds_listener_internal.h"
#include "middleware/rule_stats_internal.h"

namespace corvane_dds {
namespace {

void Queue(dds_entity_t cyclone_reader, dds_DataReader* reader, int kind) {
  const BacklogCount taken = reader->backlog.TakeFrom(cyclone_reader, kind);
  if (taken.samples == 0 || reader->delivery->DeliverInline(taken.bytes)) return;
  const uint64_t excess = reader->delivery->Arrived(taken.bytes);
  if (excess == 0) return;
  const BacklogCount dropped = reader->backlog.DropOldest(excess);
  reader->delivery->Dropped(dropped.samples, dropped.bytes);
  // The rule's counters see them as samples its stalled destination lost.
  if (reader->stats != nullptr) reader->stats->Dropped(DropReason::kStalled, dropped.samples);
}

void OnKeylessDataAvailable(dds_entity_t cyclone_reader, void* arg) {
  Queue(cyclone_reader, static_cast<dds_DataReader*>(arg), kKeyless);
}

void OnKeyedDataAvailable(dds_entity_t cyclone_reader, void* arg) {
  Queue(cyclone_reader, static_cast<dds_DataReader*>(arg), kKeyed);
}

}  // namespace

CycloneListener MakeReaderListener(dds_DataReader* reader, int kind, bool counts_matches) {
  CycloneListener listener(dds_create_listener(reader));
  dds_lset_data_available(listener.get(),
                          kind == kKeyed ? OnKeyedDataAvailable : OnKeylessDataAvailable);
  if (counts_matches) AddReaderMatchCallbacks(listener.get());
  return listener;
}

}  // namespace corvane_dds

dds_ReturnCode_t dds_DataReader_set_listener(dds_DataReader* reader,
                                             const dds_DataReaderListener* listener,
                                             dds_StatusMask mask) {
  if (reader == nullptr) return dds_RETCODE_BAD_PARAMETER;
  void (*callback)(const dds_DataReader*) = nullptr;
  if (listener != nullptr && (mask & dds_DATA_AVAILABLE_STATUS) != 0) {
    callback = listener->on_data_available;
  }
  reader->on_data_available.store(callback);
  // Signals that came while no callback was installed are still pending.
  if (callback != nullptr) reader->delivery->Kick();
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DataReader_set_listener_context(dds_DataReader* reader, void* context) {
  if (reader == nullptr) return dds_RETCODE_BAD_PARAMETER;
  reader->context.store(context);
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DataReader_set_inline_delivery(dds_DataReader* reader, bool allowed) {
  if (reader == nullptr) return dds_RETCODE_BAD_PARAMETER;
  reader->delivery->set_inline(allowed);
  return dds_RETCODE_OK;
}

void* dds_DataReader_get_listener_context(const dds_DataReader* reader) {
  return reader == nullptr ? nullptr : reader->context.load();
}
