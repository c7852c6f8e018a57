// The layer's DDS entities, each reader, writer and topic over one engine.
#ifndef CORVANE_MIDDLEWARE_DDS_ENTITIES_INTERNAL_H_
#define CORVANE_MIDDLEWARE_DDS_ENTITIES_INTERNAL_H_

// Ownership follows the DDS tree: the factory owns participants, a
// participant its publishers, subscribers and topics, a publisher its writers,
// a subscriber its readers. Containers are guarded by their owner's mutex;
// destruction happens outside those locks because deleting a reader waits for
// its delivery thread and its engine's listeners.
//
// A participant has a Cyclone DDS participant from its creation on (which
// also tells whether the domain id is usable) and a Fast DDS one from its
// first request or reply topic on (common/engine.h).

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "middleware/common/delivery.h"
#include "middleware/common/endpoint_stats.h"
#include "middleware/common/engine.h"
#include "middleware/dds.h"

struct dds_TypeSupport {};

struct dds_Topic {
  dds_DomainParticipant* participant = nullptr;
  std::string name;
  std::string type_name;
  dds_TopicKind kind = dds_PLAIN_TOPIC;
  std::unique_ptr<corvane_dds::TopicEngine> engine;
};

struct dds_DataWriter {
  dds_Publisher* publisher = nullptr;
  dds_Topic* topic = nullptr;
  corvane_dds::StatsSlot stats;  // outlives the engine, which counts into it
  std::unique_ptr<corvane_dds::WriterEngine> engine;
};

struct dds_DataReader {
  dds_DataReader(dds_Subscriber* subscriber, dds_Topic* topic);
  // The delivery thread ends first, after its callback in progress; then the
  // engine, whose listeners may still signal the stopped thread meanwhile.
  ~dds_DataReader();
  dds_Subscriber* const subscriber;
  dds_Topic* const topic;
  corvane_dds::StatsSlot stats;
  corvane_dds::DeliveryThread delivery;
  std::unique_ptr<corvane_dds::ReaderEngine> engine;
};

struct dds_Publisher {
  dds_DomainParticipant* participant = nullptr;
  std::mutex mutex;
  std::vector<std::unique_ptr<dds_DataWriter>> writers;
};

struct dds_Subscriber {
  dds_DomainParticipant* participant = nullptr;
  std::mutex mutex;
  std::vector<std::unique_ptr<dds_DataReader>> readers;
};

struct dds_DomainParticipant {
  ~dds_DomainParticipant() { DeleteContainedEntities(); }
  // Deletes publishers, subscribers and then topics, which they use.
  void DeleteContainedEntities();

  dds_DomainId_t domain_id = 0;
  // Declared before the containers: the engines outlive every entity in them.
  std::unique_ptr<corvane_dds::ParticipantEngine> cyclone;
  std::unique_ptr<corvane_dds::ParticipantEngine> fast;  // guarded by `mutex`
  std::mutex mutex;
  std::unordered_set<std::string> registered_types;
  std::vector<std::unique_ptr<dds_Publisher>> publishers;
  std::vector<std::unique_ptr<dds_Subscriber>> subscribers;
  std::vector<std::unique_ptr<dds_Topic>> topics;
};

struct dds_DomainParticipantFactory {
  std::mutex mutex;
  std::vector<std::unique_ptr<dds_DomainParticipant>> participants;
};

namespace corvane_dds {

// Hands an object to a caller of the C-style interface, which gives it back
// to AdoptFromCaller through the matching delete call.
template <typename T>
T* ReleaseToCaller(std::unique_ptr<T> object) {
  return object.release();
}
template <typename T>
std::unique_ptr<T> AdoptFromCaller(T* object) {
  return std::unique_ptr<T>(object);
}

// Moves the element equal to `item` out of `owned`; empty if absent.
template <typename T>
std::unique_ptr<T> TakeOut(std::vector<std::unique_ptr<T>>& owned, const T* item) {
  const auto it =
      std::find_if(owned.begin(), owned.end(), [item](const auto& o) { return o.get() == item; });
  if (it == owned.end()) return nullptr;
  std::unique_ptr<T> taken = std::move(*it);
  owned.erase(it);
  return taken;
}

}  // namespace corvane_dds

// Calls that only the layer's own tests make: the samples `reader` dropped
// because its backlog was full (see the QoS records), and the QoS an
// endpoint was created with.
uint64_t dds_DataReader_dropped_sample_count(const dds_DataReader* reader);
dds_ReturnCode_t dds_DataReader_get_qos(const dds_DataReader* reader, dds_DataReaderQos* qos);
dds_ReturnCode_t dds_DataWriter_get_qos(const dds_DataWriter* writer, dds_DataWriterQos* qos);

#endif  // CORVANE_MIDDLEWARE_DDS_ENTITIES_INTERNAL_H_
