// Readers and writers: one Cyclone endpoint per kind (keyless, keyed) each.

#include <utility>

#include "middleware/dds.h"
#include "middleware/dds_delivery_internal.h"
#include "middleware/dds_entities_internal.h"
#include "middleware/dds_listener_internal.h"
#include "middleware/dds_qos_internal.h"
#include "middleware/rule_stats_internal.h"

using corvane_dds::CycloneEntity;
using corvane_dds::kKeyless;
using corvane_dds::kKinds;
using corvane_dds::TakeOut;

dds_DataReader::dds_DataReader() : delivery(std::make_unique<corvane_dds::DeliveryThread>(this)) {}

// The delivery thread ends first, after its callback in progress. Deleting a
// Cyclone reader waits for its listener, which may still queue samples and
// signal the stopped thread meanwhile; the backlog outlives both.
dds_DataReader::~dds_DataReader() {
  delivery->Stop();
  fast.reset();
  for (CycloneEntity& reader : readers) reader.Reset();
  for (CycloneEntity& reader : latched_readers) reader.Reset();
}

dds_DataWriter::~dds_DataWriter() {
  retained.reset();
  fast.reset();
  for (CycloneEntity& writer : writers) writer.Reset();
}

// --- writers -----------------------------------------------------------------

dds_DataWriter* dds_Publisher_create_datawriter(dds_Publisher* publisher, dds_Topic* topic,
                                                const dds_DataWriterQos* qos,
                                                const dds_DataWriterListener*, dds_StatusMask) {
  if (publisher == nullptr || topic == nullptr || qos == nullptr) return nullptr;
  if (topic->participant != publisher->participant) return nullptr;
  const corvane_dds::CycloneQos cyclone_qos = corvane_dds::MakeWriterQos(*qos);
  if (!cyclone_qos) return nullptr;
  auto writer = std::make_unique<dds_DataWriter>();
  writer->publisher = publisher;
  writer->topic = topic;
  writer->stats = corvane_dds::AttachEndpoint(publisher->participant->domain_id, topic->name,
                                              corvane_dds::PeerKind::kSubscriber);
  if (topic->fast) {
    writer->fast = corvane_dds::FastDdsCreateWriter(topic->fast.get(), *qos, writer.get());
    if (!writer->fast) return nullptr;
  }
  const corvane_dds::CycloneListener cyclone_listener =
      corvane_dds::MakeWriterListener(writer.get());
  // Cyclone refuses a write at once instead of waiting for room; the layer's
  // write does the waiting (dds_data_path.cc), so that a write made on
  // Cyclone's receive thread never waits.
  dds_reliability_kind_t reliability = DDS_RELIABILITY_BEST_EFFORT;
  dds_qget_reliability(cyclone_qos.get(), &reliability, &writer->max_blocking_time);
  writer->requested_blocking_time = qos->reliability.max_blocking_time;
  dds_qset_reliability(cyclone_qos.get(), reliability, 0);
  // Writers that keep transient-local publications' history do not wait
  // either.
  writer->qos = *qos;
  writer->qos.reliability.max_blocking_time = {0, 0};
  for (int kind = 0; kind < kKinds && !topic->fast; kind++) {
    const dds_entity_t handle =
        dds_create_writer(publisher->publisher.get(), topic->topics[kind].get(), cyclone_qos.get(),
                          cyclone_listener.get());
    if (handle <= 0) return nullptr;
    writer->writers[kind] = CycloneEntity(handle);
  }
  dds_DataWriter* result = writer.get();
  std::lock_guard<std::mutex> lock(publisher->mutex);
  publisher->writers.push_back(std::move(writer));
  return result;
}

dds_ReturnCode_t dds_Publisher_delete_datawriter(dds_Publisher* publisher, dds_DataWriter* writer) {
  if (publisher == nullptr || writer == nullptr) return dds_RETCODE_BAD_PARAMETER;
  std::unique_ptr<dds_DataWriter> doomed;
  {
    std::lock_guard<std::mutex> lock(publisher->mutex);
    doomed = TakeOut(publisher->writers, writer);
  }
  return doomed ? dds_RETCODE_OK : dds_RETCODE_PRECONDITION_NOT_MET;
}

dds_ReturnCode_t dds_Publisher_delete_contained_entities(dds_Publisher* publisher) {
  if (publisher == nullptr) return dds_RETCODE_BAD_PARAMETER;
  std::vector<std::unique_ptr<dds_DataWriter>> doomed;
  {
    std::lock_guard<std::mutex> lock(publisher->mutex);
    doomed.swap(publisher->writers);
  }
  return dds_RETCODE_OK;
}

dds_Publisher* dds_DataWriter_get_publisher(dds_DataWriter* writer) {
  return writer == nullptr ? nullptr : writer->publisher;
}

dds_ReturnCode_t dds_DataWriter_get_qos(const dds_DataWriter* writer, dds_DataWriterQos* qos) {
  if (writer == nullptr || qos == nullptr) return dds_RETCODE_BAD_PARAMETER;
  if (writer->fast) return corvane_dds::FastDdsWriterQos(writer->fast.get(), qos);
  const dds_ReturnCode_t rc = corvane_dds::ReadWriterQos(writer->writers[kKeyless].get(), qos);
  if (rc == dds_RETCODE_OK) qos->reliability.max_blocking_time = writer->requested_blocking_time;
  return rc;
}

// --- readers -----------------------------------------------------------------

dds_DataReader* dds_Subscriber_create_datareader(dds_Subscriber* subscriber, dds_Topic* topic,
                                                 const dds_DataReaderQos* qos,
                                                 const dds_DataReaderListener* listener,
                                                 dds_StatusMask mask) {
  if (subscriber == nullptr || topic == nullptr || qos == nullptr) return nullptr;
  if (topic->participant != subscriber->participant) return nullptr;
  const corvane_dds::CycloneQos cyclone_qos = corvane_dds::MakeReaderQos(*qos);
  if (!cyclone_qos) return nullptr;
  auto reader = std::make_unique<dds_DataReader>();
  reader->subscriber = subscriber;
  reader->topic = topic;
  reader->delivery->set_holds_back(qos->reliability.kind == dds_RELIABLE_RELIABILITY_QOS);
  reader->stats = corvane_dds::AttachEndpoint(subscriber->participant->domain_id, topic->name,
                                              corvane_dds::PeerKind::kPublisher);
  if (listener != nullptr && (mask & dds_DATA_AVAILABLE_STATUS) != 0) {
    reader->on_data_available.store(listener->on_data_available);
  }
  if (topic->fast) {
    reader->fast = corvane_dds::FastDdsCreateReader(topic->fast.get(), *qos, reader.get());
    if (!reader->fast) return nullptr;
  }
  // A volatile reader gets a transient-local twin, which receives what
  // transient-local publishers kept before it matched them.
  corvane_dds::CycloneQos latched_qos;
  if (qos->durability.kind == dds_VOLATILE_DURABILITY_QOS) {
    dds_DataReaderQos latched = *qos;
    latched.durability.kind = dds_TRANSIENT_LOCAL_DURABILITY_QOS;
    latched_qos = corvane_dds::MakeReaderQos(latched);
  }
  for (int kind = 0; kind < kKinds && !topic->fast; kind++) {
    const corvane_dds::CycloneListener cyclone_listener =
        corvane_dds::MakeReaderListener(reader.get(), kind);
    const dds_entity_t handle =
        dds_create_reader(subscriber->subscriber.get(), topic->topics[kind].get(),
                          cyclone_qos.get(), cyclone_listener.get());
    if (handle <= 0) return nullptr;
    reader->readers[kind] = CycloneEntity(handle);
    if (!latched_qos) continue;
    const corvane_dds::CycloneListener twin_listener =
        corvane_dds::MakeReaderListener(reader.get(), kind, false);
    const dds_entity_t latched =
        dds_create_reader(subscriber->subscriber.get(), topic->topics[kind].get(),
                          latched_qos.get(), twin_listener.get());
    if (latched <= 0) return nullptr;
    reader->latched_readers[kind] = CycloneEntity(latched);
  }
  dds_DataReader* result = reader.get();
  std::lock_guard<std::mutex> lock(subscriber->mutex);
  subscriber->readers.push_back(std::move(reader));
  return result;
}

dds_ReturnCode_t dds_Subscriber_delete_datareader(dds_Subscriber* subscriber,
                                                  dds_DataReader* reader) {
  if (subscriber == nullptr || reader == nullptr) return dds_RETCODE_BAD_PARAMETER;
  std::unique_ptr<dds_DataReader> doomed;
  {
    std::lock_guard<std::mutex> lock(subscriber->mutex);
    for (const std::unique_ptr<dds_DataReader>& owned : subscriber->readers) {
      // Its own callback cannot wait for itself to return.
      if (owned.get() == reader && reader->delivery->IsCurrentThread()) {
        return dds_RETCODE_PRECONDITION_NOT_MET;
      }
    }
    doomed = TakeOut(subscriber->readers, reader);
  }
  return doomed ? dds_RETCODE_OK : dds_RETCODE_PRECONDITION_NOT_MET;
}

dds_ReturnCode_t dds_Subscriber_delete_contained_entities(dds_Subscriber* subscriber) {
  if (subscriber == nullptr) return dds_RETCODE_BAD_PARAMETER;
  std::vector<std::unique_ptr<dds_DataReader>> doomed;
  {
    std::lock_guard<std::mutex> lock(subscriber->mutex);
    doomed.swap(subscriber->readers);
  }
  return dds_RETCODE_OK;
}

dds_Subscriber* dds_DataReader_get_subscriber(dds_DataReader* reader) {
  return reader == nullptr ? nullptr : reader->subscriber;
}

dds_ReturnCode_t dds_DataReader_get_qos(const dds_DataReader* reader, dds_DataReaderQos* qos) {
  if (reader == nullptr || qos == nullptr) return dds_RETCODE_BAD_PARAMETER;
  if (reader->fast) return corvane_dds::FastDdsReaderQos(reader->fast.get(), qos);
  return corvane_dds::ReadReaderQos(reader->readers[kKeyless].get(), qos);
}
