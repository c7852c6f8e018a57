// The reader listener: the layer's callback and its context.

#include "middleware/dds_delivery_internal.h"
#include "middleware/dds_entities_internal.h"
#include "middleware/dds_listener_internal.h"

namespace corvane_dds {
namespace {

void OnCycloneDataAvailable(dds_entity_t, void* arg) {
  static_cast<dds_DataReader*>(arg)->delivery->Signal();
}

}  // namespace

CycloneListener MakeReaderListener(dds_DataReader* reader, bool counts_matches) {
  CycloneListener listener(dds_create_listener(reader));
  dds_lset_data_available(listener.get(), OnCycloneDataAvailable);
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

void* dds_DataReader_get_listener_context(const dds_DataReader* reader) {
  return reader == nullptr ? nullptr : reader->context.load();
}
