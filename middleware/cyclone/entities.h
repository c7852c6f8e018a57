// The Cyclone DDS engine: participant, topics, readers and writers of the layer.
#ifndef CORVANE_MIDDLEWARE_CYCLONE_ENTITIES_H_
#define CORVANE_MIDDLEWARE_CYCLONE_ENTITIES_H_

// Keyed and keyless endpoints never match each other, and a raw type cannot
// tell which kind its peers use, so every topic, reader and writer holds one
// Cyclone entity of each kind: index kKeyless and index kKeyed. A reader also
// holds a transient-local twin of each kind, and a writer the writers that
// keep transient-local publishers' history (latched.h).
//
// A participant spreads its topics over up to CycloneDomain::kLanes lanes: a
// lane is one Cyclone instance of the participant's DDS domain (domain.h)
// with one Cyclone participant, publisher and subscriber. Each instance has
// receive threads of its own, and a Cyclone reader whose history is full
// stops the receive thread that delivers to it (Cyclone retries the store
// every 10 ms). So a reader held back by a slow destination holds back only
// the topics of its own lane. Topics go to the lanes in turn, by name, the
// first one to lane 0, and every entity of one topic name is in one lane:
// readers ignore the writers of their own Cyclone participant, so a relay
// whose source and destination domains are equal never hears its own output.
// A DDS domain therefore shows up to kLanes Cyclone participants of the
// layer.
//
// Readers get, from their creation on, a Cyclone listener that moves their
// samples to the reader's backlog and signals the layer reader's delivery
// thread, so that nothing is lost while the layer's callback is not installed
// yet.

#include <dds/dds.h>
#include <dds/ddsi/ddsi_sertype.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "middleware/common/engine.h"
#include "middleware/common/own_participants.h"
#include "middleware/cyclone/backlog.h"
#include "middleware/cyclone/domain.h"
#include "middleware/cyclone/latched.h"
#include "middleware/cyclone/reaper.h"

namespace corvane_dds {

constexpr int kKeyless = 0;
constexpr int kKeyed = 1;
constexpr int kKinds = 2;

struct CycloneListenerDeleter {
  void operator()(dds_listener_t* listener) const { dds_delete_listener(listener); }
};
using CycloneListener = std::unique_ptr<dds_listener_t, CycloneListenerDeleter>;

// Cyclone numbers its QoS policies as DDS does up to the durability
// service; after it come its own property policy, then type consistency (as
// DDS) and data representation (23 for DDS).
inline uint32_t DdsPolicyId(uint32_t cyclone_id) {
  if (cyclone_id == DDS_DATA_REPRESENTATION_QOS_POLICY_ID) return 23;
  return cyclone_id == DDS_PROPERTY_QOS_POLICY_ID ? 0 : cyclone_id;
}

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
  // The handle, no longer deleted with the object.
  dds_entity_t Release() {
    const dds_entity_t handle = handle_;
    handle_ = 0;
    return handle;
  }

 private:
  dds_entity_t handle_ = 0;
};

// A sample a Cyclone reader lent: the serdata (one reference, held by the
// loan), its kind, and what its publication keeps for late joiners.
struct CycloneSample {
  ddsi_serdata* serdata;
  int kind;
  // Samples the publication keeps for late joiners; 0 when it is volatile.
  int32_t history_depth;
  dds_entity_t source;  // the Cyclone reader that took it (to follow its publication)
};

// One lane of a participant (see above).
struct CycloneLane {
  // Declared first, so the instance outlives the Cyclone participant in it.
  std::shared_ptr<CycloneDomain> domain;
  // Marks the participant as the process's own until after it is deleted.
  std::unique_ptr<OwnParticipant> own;
  CycloneEntity participant;
  CycloneEntity publisher;
  CycloneEntity subscriber;
  // Deletes the lane's writers; declared last, so it has deleted them all
  // before the participant goes.
  std::unique_ptr<WriterReaper> reaper = std::make_unique<WriterReaper>();
};

class CycloneTopic : public TopicEngine {
 public:
  CycloneTopic(const CycloneLane& lane, std::string name) : lane_(lane), name_(std::move(name)) {}
  // One Cyclone topic per kind; false when Cyclone refuses one.
  bool Open(const std::string& type_name);

  std::unique_ptr<ReaderEngine> CreateReader(const dds_DataReaderQos& qos, DeliveryThread& delivery,
                                             StatsSlot& stats) override;
  std::unique_ptr<WriterEngine> CreateWriter(const dds_DataWriterQos& qos,
                                             StatsSlot& stats) override;

  const CycloneLane& lane() const { return lane_; }
  const std::string& name() const { return name_; }
  dds_entity_t topic(int kind) const { return topics_[kind].get(); }
  // Borrowed from the Cyclone topics, which keep them alive.
  const ddsi_sertype* sertype(int kind) const { return sertypes_[kind]; }

 private:
  const CycloneLane& lane_;
  const std::string name_;
  CycloneEntity topics_[kKinds];
  const ddsi_sertype* sertypes_[kKinds] = {};
};

class CycloneParticipant : public ParticipantEngine {
 public:
  std::unique_ptr<TopicEngine> CreateTopic(const std::string& topic_name,
                                           const std::string& type_name,
                                           dds_TopicKind kind) override;
  void TakeDiscovered(dds_DiscoveredEndpointVisitor visit, void* context) override;

 private:
  friend std::unique_ptr<ParticipantEngine> CreateCycloneParticipant(dds_DomainId_t);
  // The lane of `topic_name`, opened on its first topic; lane 0 when another
  // cannot be opened.
  const CycloneLane& LaneFor(const std::string& topic_name);

  dds_DomainId_t domain_id_ = 0;
  std::mutex lanes_mutex_;
  // Lane 0 opens with the participant, the others on demand; guarded by
  // lanes_mutex_, but a lane, once open, stays put until the participant goes.
  std::unique_ptr<CycloneLane> lanes_[CycloneDomain::kLanes];
  std::map<std::string, int> lane_of_topic_;  // guarded by lanes_mutex_
  int next_lane_ = 0;                         // guarded by lanes_mutex_
  bool lanes_refused_ = false;                // guarded by lanes_mutex_
  // Readers of the built-in publication and subscription topics in lane 0,
  // created by the first TakeDiscovered; deleted with the participant.
  dds_entity_t discovery_[2] = {};
};

class CycloneReader : public ReaderEngine {
 public:
  CycloneReader(const CycloneTopic& topic, DeliveryThread& delivery, StatsSlot& stats)
      : topic_(topic), delivery_(delivery), stats_(stats) {}
  bool Open(const dds_DataReaderQos& qos);

  void Take(uint32_t sample_states, uint32_t view_states, uint32_t instance_states,
            LentSamples& out) override;
  dds_ReturnCode_t GetQos(dds_DataReaderQos* qos) const override;
  dds_ReturnCode_t SetUserData(const std::string& bytes) override;

  dds_entity_t entity(int kind) const { return readers_[kind].get(); }
  // On Cyclone's receive thread: moves what `cyclone_reader` holds to the
  // backlog and signals the delivery thread.
  void Queue(dds_entity_t cyclone_reader, int kind);
  StatsSlot& stats() const { return stats_; }

 private:
  // How many samples the publication of a sample taken from `source` keeps
  // for late joiners (0: volatile); -1 when a volatile reader drops the
  // sample because the transient-local twin carries it.
  int32_t HistoryDepth(int kind, dds_entity_t source, const dds_sample_info_t& info);

  const CycloneTopic& topic_;
  DeliveryThread& delivery_;
  StatsSlot& stats_;
  // The samples of both kinds, in the order they came, that the listeners
  // took and the delivery thread has not.
  SampleBacklog backlog_;
  PublicationCache publications_;
  // Declared last, so deleted first: their listeners use the backlog.
  CycloneEntity readers_[kKinds];
  // Transient-local twins of volatile `readers_` (invalid when `readers_` are
  // transient-local themselves).
  CycloneEntity latched_readers_[kKinds];
};

class CycloneWriter : public WriterEngine {
 public:
  CycloneWriter(const CycloneTopic& topic, const dds_DataWriterQos& qos, StatsSlot& stats);
  // Hands the Cyclone writers to the lane's reaper.
  ~CycloneWriter() override;
  bool Open();

  dds_ReturnCode_t Write(const void* buffer, uint32_t size, const dds_SampleInfo* info) override;
  dds_ReturnCode_t GetQos(dds_DataWriterQos* qos) const override;
  dds_ReturnCode_t SetUserData(const std::string& bytes) override;
  StatsSlot& stats() const { return stats_; }
  dds_entity_t entity(int kind) const { return writers_[kind].get(); }

 private:
  // The writer that keeps the history of the transient-local publication
  // `sample` came from; <= 0 when it has none.
  dds_entity_t RetainingWriter(const CycloneSample& origin, uint64_t publication,
                               const ddsi_serdata* sample);

  const CycloneTopic& topic_;
  StatsSlot& stats_;
  // As asked. The Cyclone writers refuse a write at once when their history
  // is full; the layer's write waits for room itself (writer.cc), so that a
  // wait on a delivery thread ends when its reader stops.
  const dds_DataWriterQos qos_;
  const dds_duration_t max_blocking_time_;
  CycloneEntity writers_[kKinds];
  // Per kind: a write timed out and not all was acknowledged since.
  std::atomic<bool> stalled_[kKinds] = {};
  // Created with the first sample of a transient-local publication; deleted
  // before the writers.
  std::once_flag retained_once_;
  std::unique_ptr<RetainedHistory> retained_;
  // The USER_DATA set last, and whether retained_ exists to carry it too.
  std::mutex user_data_mutex_;
  std::string user_data_;        // guarded by user_data_mutex_
  bool retained_ready_ = false;  // guarded by user_data_mutex_
};

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_CYCLONE_ENTITIES_H_
