// The reader listener: the layer's callback, its context, and signals that
// arrived before the callback was installed.

#include "middleware/dds_entities_internal.h"
#include "middleware/dds_listener_internal.h"

namespace corvane_dds {
namespace {

void OnCycloneDataAvailable(dds_entity_t, void* arg) {
  auto* reader = static_cast<dds_DataReader*>(arg);
  auto callback = reader->on_data_available.load();
  if (callback == nullptr) {
    // Count the signal, then look again: dds_DataReader_set_listener may have
    // installed the callback meanwhile, and exactly one of us replays it.
    reader->missed_signals.fetch_add(1);
    callback = reader->on_data_available.load();
    if (callback == nullptr) return;
    uint32_t missed = reader->missed_signals.load();
    do {
      if (missed == 0) return;
    } while (!reader->missed_signals.compare_exchange_weak(missed, missed - 1));
  }
  callback(reader);
}

}  // namespace

CycloneListener MakeReaderListener(dds_DataReader* reader) {
  CycloneListener listener(dds_create_listener(reader));
  dds_lset_data_available(listener.get(), OnCycloneDataAvailable);
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
  if (callback == nullptr) return dds_RETCODE_OK;
  // Replay what arrived before: one call per signal, as Cyclone would have.
  for (uint32_t missed = reader->missed_signals.exchange(0); missed > 0; missed--) {
    callback(reader);
  }
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DataReader_set_listener_context(dds_DataReader* reader, void* context) {
  if (reader == nullptr) return dds_RETCODE_BAD_PARAMETER;
  reader->context.store(context);
  return dds_RETCODE_OK;
}

void* dds_DataReader_get_listener_context(const dds_DataReader* reader) {
  return reader == nullptr ? nullptr : reader->context.load();
}
