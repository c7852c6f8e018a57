#ifndef CORVANE_MIDDLEWARE_DDS_ENTITIES_INTERNAL_H_
#define CORVANE_MIDDLEWARE_DDS_ENTITIES_INTERNAL_H_

// The layer's entities over Cyclone DDS. Keyed and keyless endpoints never
// match each other, and a raw type cannot tell which kind its peers use, so
// every topic, reader and writer holds one Cyclone entity of each kind:
// index kKeyless and index kKeyed.
//
// A participant is two Cyclone participants, one in the layer's instance for
// readers of its DDS domain and one in the instance for writers
// (dds_domain_config_internal.h). A reader that holds its source back holds
// its instance's receive thread; the acknowledgements of the layer's writers
// are processed by the writers' instance, so two relays in opposite
// directions never wait for each other. The price: a reader now also hears
// the writers of its own participant, and drops their samples at the take.
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
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "middleware/dds.h"

namespace corvane_dds {

class CycloneDomain;
class DeliveryThread;

// What the last take of a reader found: nothing taken, fewer samples than
// asked for (the reader is drained), or as many as asked for (more may wait).
enum class TakeOutcome { kNone, kPartial, kFull };

constexpr int kKeyless = 0;
constexpr int kKeyed = 1;
constexpr int kKinds = 2;

// Index of a participant's side, as DomainRole. A DDS domain shows exactly
// one participant of the layer, so readers and writers share one side: a
// second Cyclone instance for the writers would free their acknowledgements
// from a blocked reader, but would show two participants per domain.
constexpr int kReaderSide = 0;
constexpr int kWriterSide = 0;
constexpr int kSides = 1;

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

// The Cyclone participant of `side` (made on first demand), and the Cyclone
// topics of `side` for `topic`; 0 or false when Cyclone refuses them. The
// caller holds the participant's mutex.
dds_entity_t SideParticipant(dds_DomainParticipant* participant, int side);
bool MakeSideTopics(dds_Topic* topic, int side);
// The publisher's Cyclone publisher, made with its first writer.
dds_entity_t CyclonePublisher(dds_Publisher* publisher);

}  // namespace corvane_dds

struct dds_TypeSupport {};

struct dds_Topic {
  ~dds_Topic();
  dds_DomainParticipant* participant = nullptr;
  std::string name;
  std::string type_name;
  // Per side and kind; the writer side's are made with the topic's first
  // writer. Guarded by the participant's mutex until made.
  corvane_dds::CycloneEntity topics[corvane_dds::kSides][corvane_dds::kKinds];
  // Borrowed from the Cyclone topics, which keep them alive.
  const ddsi_sertype* sertypes[corvane_dds::kSides][corvane_dds::kKinds] = {};
};

struct dds_DataWriter {
  ~dds_DataWriter();
  dds_Publisher* publisher = nullptr;
  dds_Topic* topic = nullptr;
  corvane_dds::CycloneEntity writers[corvane_dds::kKinds];
  // Per kind: a write timed out and not all was acknowledged since
  // (dds_data_path.cc).
  std::atomic<bool> stalled[corvane_dds::kKinds] = {};
};

struct dds_DataReader {
  dds_DataReader();
  ~dds_DataReader();
  dds_Subscriber* subscriber = nullptr;
  dds_Topic* topic = nullptr;
  corvane_dds::CycloneEntity readers[corvane_dds::kKinds];
  std::atomic<void*> context{nullptr};
  std::atomic<void (*)(const dds_DataReader*)> on_data_available{nullptr};
  // Which kind a take drains first; alternates so neither kind starves.
  std::atomic<uint32_t> take_turn{0};
  std::atomic<corvane_dds::TakeOutcome> last_take{corvane_dds::TakeOutcome::kNone};
  // Calls on_data_available; the Cyclone listeners only signal it.
  std::unique_ptr<corvane_dds::DeliveryThread> delivery;
  // Whether a publication handle is a writer of this reader's participant.
  std::mutex echo_mutex;
  std::unordered_map<dds_instance_handle_t, bool> own_publications;
};

struct dds_Publisher {
  ~dds_Publisher();
  dds_DomainParticipant* participant = nullptr;
  // In the participant's writer side; made with the first writer, guarded by
  // the participant's mutex until then.
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
  // Per side; the writer side is made with the first writer. The domain
  // instance outlives the Cyclone participant in it.
  std::shared_ptr<corvane_dds::CycloneDomain> domains[corvane_dds::kSides];
  corvane_dds::CycloneEntity participants[corvane_dds::kSides];
  // The writer side's GUID, all zero until it exists; guarded by mutex.
  dds_guid_t writer_guid{};
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

#endif  // CORVANE_MIDDLEWARE_DDS_ENTITIES_INTERNAL_H_
