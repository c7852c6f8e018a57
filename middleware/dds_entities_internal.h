#ifndef CORVANE_MIDDLEWARE_DDS_ENTITIES_INTERNAL_H_
#define CORVANE_MIDDLEWARE_DDS_ENTITIES_INTERNAL_H_

// The layer's entities over Cyclone DDS. Keyed and keyless endpoints never
// match each other, and a raw type cannot tell which kind its peers use, so
// every topic, reader and writer holds one Cyclone entity of each kind:
// index kKeyless and index kKeyed.
//
// A reader also holds a transient-local twin of each kind, and a writer the
// writers that keep transient-local publishers' history
// (dds_latched_internal.h).
//
// Request and reply topics of ROS 2 services ("rq/...", "rr/...") are the
// exception: their topic, readers and writers are Fast DDS entities
// (`fast`, set) of a second participant in the same domain, created with the
// first such topic (dds_fastdds_internal.h).
//
// A participant is one Cyclone participant in the layer's instance for its
// DDS domain (dds_domain_config_internal.h), so a DDS domain shows
// exactly one Cyclone participant of the layer. Its readers ignore its own writers:
// a relay whose source and destination domains are equal never hears its
// own output.
//
// Ownership follows the DDS tree: the factory owns participants, a
// participant its publishers, subscribers and topics, a publisher its writers,
// a subscriber its readers. Containers are guarded by their owner's mutex;
// destruction happens outside those locks because deleting a reader waits for
// its listener callbacks.

#include <dds/dds.h>
#include <dds/ddsi/ddsi_sertype.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "middleware/dds.h"
#include "middleware/dds_backlog_internal.h"
#include "middleware/dds_fastdds_internal.h"
#include "middleware/dds_latched_internal.h"

namespace corvane_dds {

class CycloneDomain;
class DeliveryThread;
class EndpointStats;

// What the last take of a reader found: nothing taken, fewer samples than
// asked for (the reader is drained), or as many as asked for (more may wait).
enum class TakeOutcome { kNone, kPartial, kFull };

constexpr int kKeyless = 0;
constexpr int kKeyed = 1;
constexpr int kKinds = 2;

// One Cyclone entity handle, deleted with the object.
class CycloneEntity {
 public:
  CycloneEntity() = default;
  explicit CycloneEntity(dds_entity_t handle) : handle_(handle) {}
  CycloneEntity(CycloneEntity&& other) noexcept : handle_(other.handle_) { other.handle_ = 0; }
  CycloneEntity& operator=(CycloneEntity&& other) noexcept;
  ~CycloneEntity() { Reset(); }

  dds_entity_t get() const { return handle_; }
  bool valid() const { return handle_ > 0; }
  void Reset();

 private:
  dds_entity_t handle_ = 0;
};

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
  for (auto it = owned.begin(); it != owned.end(); ++it) {
    if (it->get() == item) {
      std::unique_ptr<T> taken = std::move(*it);
      owned.erase(it);
      return taken;
    }
  }
  return nullptr;
}

}  // namespace corvane_dds

struct dds_TypeSupport {};

struct dds_Topic {
  ~dds_Topic();
  dds_DomainParticipant* participant = nullptr;
  std::string name;
  std::string type_name;
  corvane_dds::CycloneEntity topics[corvane_dds::kKinds];
  // Borrowed from the Cyclone topics, which keep them alive.
  const ddsi_sertype* sertypes[corvane_dds::kKinds] = {};
  // Set for a topic carried by Fast DDS, which then has no Cyclone topics.
  corvane_dds::FastDdsPtr<corvane_dds::FastDdsTopic> fast;
};

struct dds_DataWriter {
  ~dds_DataWriter();
  dds_Publisher* publisher = nullptr;
  dds_Topic* topic = nullptr;
  corvane_dds::CycloneEntity writers[corvane_dds::kKinds];
  // How long a write waits for room, as asked; the Cyclone writers do not wait.
  dds_duration_t max_blocking_time = 0;
  dds_Duration_t requested_blocking_time = {};
  // Per kind: a write timed out and not all was acknowledged since
  // (dds_data_path.cc).
  std::atomic<bool> stalled[corvane_dds::kKinds] = {};
  // Its rule's counters; null outside a rule (rule_stats_internal.h).
  std::unique_ptr<corvane_dds::EndpointStats> stats;
  dds_DataWriterQos qos = {};
  // Created with the first sample of a transient-local publication.
  std::once_flag retained_once;
  std::unique_ptr<corvane_dds::RetainedHistory> retained;
  corvane_dds::FastDdsPtr<corvane_dds::FastDdsWriter> fast;  // as the topic's
};

struct dds_DataReader {
  dds_DataReader();
  ~dds_DataReader();
  dds_Subscriber* subscriber = nullptr;
  dds_Topic* topic = nullptr;
  corvane_dds::CycloneEntity readers[corvane_dds::kKinds];
  // Transient-local twins of volatile `readers` (invalid when `readers` are
  // transient-local themselves).
  corvane_dds::CycloneEntity latched_readers[corvane_dds::kKinds];
  corvane_dds::PublicationCache publications;
  std::atomic<void*> context{nullptr};
  std::atomic<void (*)(const dds_DataReader*)> on_data_available{nullptr};
  // The samples of both kinds, in the order they came, that the listeners
  // took and the delivery thread has not.
  corvane_dds::SampleBacklog backlog;
  std::atomic<corvane_dds::TakeOutcome> last_take{corvane_dds::TakeOutcome::kNone};
  // Calls on_data_available; the Cyclone listeners only signal it.
  std::unique_ptr<corvane_dds::DeliveryThread> delivery;
  // Its rule's counters; null outside a rule (rule_stats_internal.h).
  std::unique_ptr<corvane_dds::EndpointStats> stats;
  corvane_dds::FastDdsPtr<corvane_dds::FastDdsReader> fast;  // as the topic's
};

struct dds_Publisher {
  ~dds_Publisher();
  dds_DomainParticipant* participant = nullptr;
  corvane_dds::CycloneEntity publisher;
  std::mutex mutex;
  std::vector<std::unique_ptr<dds_DataWriter>> writers;
};

struct dds_Subscriber {
  ~dds_Subscriber();
  dds_DomainParticipant* participant = nullptr;
  corvane_dds::CycloneEntity subscriber;
  std::mutex mutex;
  std::vector<std::unique_ptr<dds_DataReader>> readers;
};

struct dds_DomainParticipant {
  ~dds_DomainParticipant();
  // Deletes publishers, subscribers and then topics, which they use.
  void DeleteContainedEntities();

  dds_DomainId_t domain_id = 0;
  // Declared first, so the instance outlives the Cyclone participant in it.
  std::shared_ptr<corvane_dds::CycloneDomain> domain;
  corvane_dds::CycloneEntity participant;
  std::mutex mutex;
  std::unordered_set<std::string> registered_types;
  std::vector<std::unique_ptr<dds_Publisher>> publishers;
  std::vector<std::unique_ptr<dds_Subscriber>> subscribers;
  std::vector<std::unique_ptr<dds_Topic>> topics;
  // Created with the first Fast DDS topic; guarded by `mutex`.
  corvane_dds::FastDdsPtr<corvane_dds::FastDdsParticipant> fast;
};

struct dds_DomainParticipantFactory {
  std::mutex mutex;
  std::vector<std::unique_ptr<dds_DomainParticipant>> participants;
};

#endif  // CORVANE_MIDDLEWARE_DDS_ENTITIES_INTERNAL_H_
