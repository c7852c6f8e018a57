// Readers and writers: creation, the raw take and write, the reader listener.

#include <string>
#include <utility>

#include "middleware/common/sequences.h"
#include "middleware/dds.h"
#include "middleware/dds_entities_internal.h"

using corvane_dds::TakeOut;

dds_DataReader::dds_DataReader(dds_Subscriber* owner, dds_Topic* of)
    : subscriber(owner), topic(of), delivery(this, of->name, owner->participant->domain_id) {}

dds_DataReader::~dds_DataReader() {
  delivery.Stop();
  engine.reset();
}

// --- writers -----------------------------------------------------------------

dds_DataWriter* dds_Publisher_create_datawriter(dds_Publisher* publisher, dds_Topic* topic,
                                                const dds_DataWriterQos* qos,
                                                const dds_DataWriterListener*, dds_StatusMask) {
  if (publisher == nullptr || topic == nullptr || qos == nullptr) return nullptr;
  if (topic->participant != publisher->participant) return nullptr;
  auto writer = std::make_unique<dds_DataWriter>();
  writer->publisher = publisher;
  writer->topic = topic;
  writer->engine = topic->engine->CreateWriter(*qos, writer->stats);
  if (!writer->engine) return nullptr;
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
  return writer->engine->GetQos(qos);
}

// --- readers -----------------------------------------------------------------

dds_DataReader* dds_Subscriber_create_datareader(dds_Subscriber* subscriber, dds_Topic* topic,
                                                 const dds_DataReaderQos* qos,
                                                 const dds_DataReaderListener* listener,
                                                 dds_StatusMask mask) {
  if (subscriber == nullptr || topic == nullptr || qos == nullptr) return nullptr;
  if (topic->participant != subscriber->participant) return nullptr;
  auto reader = std::make_unique<dds_DataReader>(subscriber, topic);
  reader->delivery.set_holds_back(qos->reliability.kind == dds_RELIABLE_RELIABILITY_QOS);
  if (listener != nullptr && (mask & dds_DATA_AVAILABLE_STATUS) != 0) {
    reader->delivery.SetCallback(listener->on_data_available);
  }
  reader->engine = topic->engine->CreateReader(*qos, reader->delivery, reader->stats);
  if (!reader->engine) return nullptr;
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
      if (owned.get() == reader && reader->delivery.IsCurrentThread()) {
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
  return reader->engine->GetQos(qos);
}

uint64_t dds_DataReader_dropped_sample_count(const dds_DataReader* reader) {
  return reader == nullptr ? 0 : reader->delivery.dropped();
}

dds_ReturnCode_t dds_DataReader_answer_for(dds_DataReader* reply_reader,
                                           dds_DataWriter* request_writer) {
  if (reply_reader == nullptr || request_writer == nullptr) return dds_RETCODE_BAD_PARAMETER;
  if (reply_reader->topic->kind != dds_REPLY_TOPIC ||
      request_writer->topic->kind != dds_REQUEST_TOPIC ||
      reply_reader->topic->participant != request_writer->topic->participant) {
    return dds_RETCODE_PRECONDITION_NOT_MET;
  }
  return reply_reader->engine->AnswerFor(*request_writer->engine)
             ? dds_RETCODE_OK
             : dds_RETCODE_PRECONDITION_NOT_MET;
}

// --- data path ---------------------------------------------------------------

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
  // DDS state masks: sample read 1, not read 2; view new 1, not new 2;
  // instance alive 1, disposed 2, no writers 4. A category that admits no
  // state admits no sample.
  if ((sample_states & 0x3u) == 0 || (view_states & 0x3u) == 0 || (instance_states & 0x7u) == 0) {
    return dds_RETCODE_NO_DATA;
  }
  const auto limit = static_cast<uint32_t>(max_samples);
  data_seq->buffers.reserve(limit);
  data_seq->origins.clear();
  data_seq->origins.reserve(limit);
  info_seq->infos.reserve(limit);
  size_seq->values.reserve(limit);
  corvane_dds::LentSamples out{data_seq, info_seq, size_seq, limit};
  reader->engine->Take(sample_states, view_states, instance_states, out);
  return out.count() == 0 ? dds_RETCODE_NO_DATA : dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DataReader_raw_return_loan(dds_DataReader* reader, dds_DataSeq* data_seq,
                                                dds_SampleInfoSeq* info_seq,
                                                dds_UnsignedLongSeq* size_seq) {
  if (reader == nullptr || data_seq == nullptr || info_seq == nullptr || size_seq == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  if (data_seq->loan) data_seq->loan->Return();
  data_seq->buffers.clear();
  data_seq->origins.clear();
  info_seq->infos.clear();
  size_seq->values.clear();
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DataWriter_raw_write_w_sampleinfoex(dds_DataWriter* writer, const void* buffer,
                                                         uint32_t size,
                                                         const dds_SampleInfo* info) {
  // Anything shorter than the encapsulation header is not a sample.
  if (writer == nullptr || buffer == nullptr || size < 4) return dds_RETCODE_BAD_PARAMETER;
  const dds_ReturnCode_t rc = writer->engine->Write(buffer, size, info);
  // A timeout means the destination stalled (the writer's history stayed
  // full); other drop policies count their own reason where they drop.
  corvane_dds::EndpointStats* stats = writer->stats.get();
  if (stats == nullptr) return rc;
  if (rc == dds_RETCODE_OK) {
    stats->Forwarded(size);
  } else {
    stats->Dropped(rc == dds_RETCODE_TIMEOUT ? corvane_dds::DropReason::kStalled
                                             : corvane_dds::DropReason::kWriteFailed);
  }
  return rc;
}

// --- reader listener ---------------------------------------------------------

dds_ReturnCode_t dds_DataReader_set_listener(dds_DataReader* reader,
                                             const dds_DataReaderListener* listener,
                                             dds_StatusMask mask) {
  if (reader == nullptr) return dds_RETCODE_BAD_PARAMETER;
  const bool wanted = listener != nullptr && (mask & dds_DATA_AVAILABLE_STATUS) != 0;
  reader->delivery.SetCallback(wanted ? listener->on_data_available : nullptr);
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DataReader_set_listener_context(dds_DataReader* reader, void* context) {
  if (reader == nullptr) return dds_RETCODE_BAD_PARAMETER;
  reader->delivery.set_context(context);
  return dds_RETCODE_OK;
}

void* dds_DataReader_get_listener_context(const dds_DataReader* reader) {
  return reader == nullptr ? nullptr : reader->delivery.context();
}

dds_ReturnCode_t dds_DataReader_set_user_data(dds_DataReader* reader, const uint8_t* data,
                                              uint32_t size) {
  if (reader == nullptr || !reader->engine || (data == nullptr && size > 0)) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  return reader->engine->SetUserData(std::string(reinterpret_cast<const char*>(data), size));
}

dds_ReturnCode_t dds_DataWriter_set_user_data(dds_DataWriter* writer, const uint8_t* data,
                                              uint32_t size) {
  if (writer == nullptr || !writer->engine || (data == nullptr && size > 0)) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  return writer->engine->SetUserData(std::string(reinterpret_cast<const char*>(data), size));
}
