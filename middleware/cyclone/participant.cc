// Cyclone participants, their lanes and raw topics, and the entity handles of the engine.

#include "middleware/cyclone/entities.h"
#include "middleware/cyclone/qos.h"
#include "middleware/cyclone/raw_type.h"

namespace corvane_dds {

void CycloneEntity::Reset() {
  if (handle_ > 0) dds_delete(handle_);
  handle_ = 0;
}

CycloneEntity& CycloneEntity::operator=(CycloneEntity&& other) noexcept {
  if (this != &other) {
    Reset();
    handle_ = other.handle_;
    other.handle_ = 0;
  }
  return *this;
}

namespace {

// Lane `lane` of `domain_id`; null when Cyclone or the configuration refuses it.
std::unique_ptr<CycloneLane> OpenLane(dds_DomainId_t domain_id, int lane) {
  auto opened = std::make_unique<CycloneLane>();
  opened->domain = AcquireCycloneDomain(domain_id, lane);
  if (!opened->domain) return nullptr;
  opened->participant =
      CycloneEntity(dds_create_participant(opened->domain->id(), nullptr, nullptr));
  if (!opened->participant.valid()) return nullptr;
  const dds_entity_t handle = opened->participant.get();
  dds_guid_t guid;
  if (dds_get_guid(handle, &guid) != DDS_RETCODE_OK) return nullptr;
  opened->own = std::make_unique<OwnParticipant>(ParticipantGuidOf(guid));
  opened->publisher = CycloneEntity(dds_create_publisher(handle, nullptr, nullptr));
  opened->subscriber = CycloneEntity(dds_create_subscriber(handle, nullptr, nullptr));
  if (!opened->publisher.valid() || !opened->subscriber.valid()) return nullptr;
  return opened;
}

}  // namespace

std::unique_ptr<ParticipantEngine> CreateCycloneParticipant(dds_DomainId_t domain_id) {
  auto participant = std::make_unique<CycloneParticipant>();
  participant->domain_id_ = domain_id;
  participant->lanes_[0] = OpenLane(domain_id, 0);
  if (!participant->lanes_[0]) return nullptr;
  return participant;
}

const CycloneLane& CycloneParticipant::LaneFor(const std::string& topic_name) {
  std::lock_guard<std::mutex> lock(lanes_mutex_);
  auto found = lane_of_topic_.find(topic_name);
  if (found == lane_of_topic_.end()) {
    int lane = next_lane_;
    next_lane_ = (next_lane_ + 1) % CycloneDomain::kLanes;
    if (!lanes_[lane] && !lanes_refused_) lanes_[lane] = OpenLane(domain_id_, lane);
    // A lane that cannot be opened will not open later either: from then on
    // no lane is opened, and the topics a missing one would get go to lane 0.
    if (!lanes_[lane]) {
      lanes_refused_ = true;
      lane = 0;
    }
    found = lane_of_topic_.emplace(topic_name, lane).first;
  }
  return *lanes_[found->second];
}

std::unique_ptr<TopicEngine> CycloneParticipant::CreateTopic(const std::string& topic_name,
                                                             const std::string& type_name,
                                                             dds_TopicKind) {
  auto topic = std::make_unique<CycloneTopic>(LaneFor(topic_name), topic_name);
  if (!topic->Open(type_name)) return nullptr;
  return topic;
}

bool CycloneTopic::Open(const std::string& type_name) {
  static_assert(kKeyless == 0 && kKeyed == 1, "kinds index the entity arrays");
  for (int kind = 0; kind < kKinds; kind++) {
    ddsi_sertype* type = RawSertypeCreate(type_name.c_str(), kind == kKeyed);
    // Cyclone may swap in an equal sertype of the domain: `type` is the one
    // the topic really uses.
    const dds_entity_t handle = dds_create_topic_sertype(lane_.participant.get(), name_.c_str(),
                                                         &type, nullptr, nullptr, nullptr);
    if (handle <= 0) {
      RawSertypeDiscard(type);  // still ours: Cyclone refused it
      return false;
    }
    topics_[kind] = CycloneEntity(handle);
    sertypes_[kind] = type;
  }
  return true;
}

std::unique_ptr<ReaderEngine> CycloneTopic::CreateReader(const dds_DataReaderQos& qos,
                                                         DeliveryThread& delivery,
                                                         StatsSlot& stats) {
  auto reader = std::make_unique<CycloneReader>(*this, delivery, stats);
  if (!reader->Open(qos)) return nullptr;
  return reader;
}

std::unique_ptr<WriterEngine> CycloneTopic::CreateWriter(const dds_DataWriterQos& qos,
                                                         StatsSlot& stats) {
  auto writer = std::make_unique<CycloneWriter>(*this, qos, stats);
  if (!writer->Open()) return nullptr;
  return writer;
}

}  // namespace corvane_dds
