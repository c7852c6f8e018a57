// Cyclone participants and raw topics, and the entity handles of the engine.

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

std::unique_ptr<ParticipantEngine> CreateCycloneParticipant(dds_DomainId_t domain_id) {
  auto participant = std::make_unique<CycloneParticipant>();
  participant->domain_ = AcquireCycloneDomain(domain_id);
  if (!participant->domain_) return nullptr;
  participant->participant_ = CycloneEntity(dds_create_participant(domain_id, nullptr, nullptr));
  if (!participant->participant_.valid()) return nullptr;
  const dds_entity_t handle = participant->participant();
  dds_guid_t guid;
  if (dds_get_guid(handle, &guid) != DDS_RETCODE_OK) return nullptr;
  participant->own_ = std::make_unique<OwnParticipant>(ParticipantGuidOf(guid));
  participant->publisher_ = CycloneEntity(dds_create_publisher(handle, nullptr, nullptr));
  participant->subscriber_ = CycloneEntity(dds_create_subscriber(handle, nullptr, nullptr));
  if (!participant->publisher_.valid() || !participant->subscriber_.valid()) return nullptr;
  return participant;
}

std::unique_ptr<TopicEngine> CycloneParticipant::CreateTopic(const std::string& topic_name,
                                                             const std::string& type_name,
                                                             dds_TopicKind) {
  auto topic = std::make_unique<CycloneTopic>(*this, topic_name);
  if (!topic->Open(type_name)) return nullptr;
  return topic;
}

bool CycloneTopic::Open(const std::string& type_name) {
  static_assert(kKeyless == 0 && kKeyed == 1, "kinds index the entity arrays");
  for (int kind = 0; kind < kKinds; kind++) {
    ddsi_sertype* type = RawSertypeCreate(type_name.c_str(), kind == kKeyed);
    // Cyclone may swap in an equal sertype of the domain: `type` is the one
    // the topic really uses.
    const dds_entity_t handle = dds_create_topic_sertype(participant_.participant(), name_.c_str(),
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
