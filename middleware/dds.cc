// Participants, publishers, subscribers, raw type registration and topics.

#include "middleware/dds.h"

#include <utility>

#include "middleware/dds_domain_config_internal.h"
#include "middleware/dds_entities_internal.h"
#include "middleware/dds_raw_type_internal.h"

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

}  // namespace corvane_dds

using corvane_dds::AdoptFromCaller;
using corvane_dds::CycloneEntity;
using corvane_dds::kKeyed;
using corvane_dds::kKeyless;
using corvane_dds::kKinds;
using corvane_dds::kReaderSide;
using corvane_dds::kSides;
using corvane_dds::kWriterSide;
using corvane_dds::ReleaseToCaller;
using corvane_dds::TakeOut;

// Children first: each deletes its own Cyclone entities before the parent's go.
dds_Publisher::~dds_Publisher() {
  writers.clear();
  publisher.Reset();
}

dds_Subscriber::~dds_Subscriber() {
  readers.clear();
  subscriber.Reset();
}

dds_Topic::~dds_Topic() {
  for (auto& side : topics) {
    for (CycloneEntity& topic : side) topic.Reset();
  }
}

void dds_DomainParticipant::DeleteContainedEntities() {
  std::vector<std::unique_ptr<dds_Publisher>> doomed_publishers;
  std::vector<std::unique_ptr<dds_Subscriber>> doomed_subscribers;
  std::vector<std::unique_ptr<dds_Topic>> doomed_topics;
  {
    std::lock_guard<std::mutex> lock(mutex);
    doomed_publishers.swap(publishers);
    doomed_subscribers.swap(subscribers);
    doomed_topics.swap(topics);
  }
  doomed_subscribers.clear();
  doomed_publishers.clear();
  doomed_topics.clear();
}

dds_DomainParticipant::~dds_DomainParticipant() {
  DeleteContainedEntities();
  for (CycloneEntity& side : participants) side.Reset();
}

namespace corvane_dds {

dds_entity_t CyclonePublisher(dds_Publisher* publisher) {
  if (!publisher->publisher.valid()) {
    const dds_entity_t side = SideParticipant(publisher->participant, kWriterSide);
    if (side == 0) return 0;
    const dds_entity_t handle = dds_create_publisher(side, nullptr, nullptr);
    if (handle <= 0) return 0;
    publisher->publisher = CycloneEntity(handle);
  }
  return publisher->publisher.get();
}

// The Cyclone participant of `side`, made on first demand; 0 when Cyclone
// refuses it. The caller holds the participant's mutex.
dds_entity_t SideParticipant(dds_DomainParticipant* participant, int side) {
  if (participant->participants[side].valid()) return participant->participants[side].get();
  std::shared_ptr<CycloneDomain> domain =
      AcquireCycloneDomain(participant->domain_id, static_cast<DomainRole>(side));
  if (!domain) return 0;
  const dds_entity_t handle = dds_create_participant(domain->internal_id(), nullptr, nullptr);
  if (handle <= 0) return 0;
  if (side == kWriterSide && dds_get_guid(handle, &participant->writer_guid) < 0) {
    dds_delete(handle);
    return 0;
  }
  participant->domains[side] = std::move(domain);
  participant->participants[side] = CycloneEntity(handle);
  return handle;
}

}  // namespace corvane_dds

// --- factory and participants ----------------------------------------------

dds_DomainParticipantFactory* dds_DomainParticipantFactory_get_instance() {
  static dds_DomainParticipantFactory factory;
  return &factory;
}

dds_DomainParticipant* dds_DomainParticipantFactory_create_participant(
    dds_DomainParticipantFactory* factory, dds_DomainId_t domain_id,
    const dds_DomainParticipantQos* qos, const dds_DomainParticipantListener*, dds_StatusMask) {
  // Negative ids would reach Cyclone as huge unsigned ids, -1 as its default.
  if (factory == nullptr || qos == nullptr || domain_id < 0) return nullptr;
  auto participant = std::make_unique<dds_DomainParticipant>();
  participant->domain_id = domain_id;
  {
    // The reader side at once: it tells whether Cyclone takes the domain id.
    std::lock_guard<std::mutex> lock(participant->mutex);
    if (corvane_dds::SideParticipant(participant.get(), kReaderSide) == 0) return nullptr;
  }
  dds_DomainParticipant* result = participant.get();
  std::lock_guard<std::mutex> lock(factory->mutex);
  factory->participants.push_back(std::move(participant));
  return result;
}

dds_ReturnCode_t dds_DomainParticipantFactory_delete_participant(
    dds_DomainParticipantFactory* factory, dds_DomainParticipant* participant) {
  if (factory == nullptr || participant == nullptr) return dds_RETCODE_BAD_PARAMETER;
  std::unique_ptr<dds_DomainParticipant> doomed;
  {
    std::lock_guard<std::mutex> lock(factory->mutex);
    doomed = TakeOut(factory->participants, participant);
  }
  return doomed ? dds_RETCODE_OK : dds_RETCODE_PRECONDITION_NOT_MET;
}

dds_ReturnCode_t dds_DomainParticipant_delete_contained_entities(
    dds_DomainParticipant* participant) {
  if (participant == nullptr) return dds_RETCODE_BAD_PARAMETER;
  participant->DeleteContainedEntities();
  return dds_RETCODE_OK;
}

// --- publishers and subscribers ----------------------------------------------

dds_Publisher* dds_DomainParticipant_create_publisher(dds_DomainParticipant* participant,
                                                      const dds_PublisherQos* qos,
                                                      const dds_PublisherListener*,
                                                      dds_StatusMask) {
  if (participant == nullptr || qos == nullptr) return nullptr;
  // Its Cyclone publisher, and the participant's writer side, come with the
  // first writer: a participant that never writes stays one participant on
  // the network.
  auto publisher = std::make_unique<dds_Publisher>();
  publisher->participant = participant;
  dds_Publisher* result = publisher.get();
  std::lock_guard<std::mutex> lock(participant->mutex);
  participant->publishers.push_back(std::move(publisher));
  return result;
}

dds_Subscriber* dds_DomainParticipant_create_subscriber(dds_DomainParticipant* participant,
                                                        const dds_SubscriberQos* qos,
                                                        const dds_SubscriberListener*,
                                                        dds_StatusMask) {
  if (participant == nullptr || qos == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(participant->mutex);
  const dds_entity_t handle =
      dds_create_subscriber(participant->participants[kReaderSide].get(), nullptr, nullptr);
  if (handle <= 0) return nullptr;
  auto subscriber = std::make_unique<dds_Subscriber>();
  subscriber->participant = participant;
  subscriber->subscriber = CycloneEntity(handle);
  dds_Subscriber* result = subscriber.get();
  participant->subscribers.push_back(std::move(subscriber));
  return result;
}

// --- raw type support and topics ---------------------------------------------

dds_TypeSupport* dds_TypeSupport_raw_create() {
  return ReleaseToCaller(std::make_unique<dds_TypeSupport>());
}

dds_ReturnCode_t dds_TypeSupport_register_type(dds_TypeSupport* support,
                                               dds_DomainParticipant* participant,
                                               const char* type_name) {
  if (support == nullptr || participant == nullptr || type_name == nullptr || *type_name == '\0') {
    return dds_RETCODE_BAD_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(participant->mutex);
  participant->registered_types.insert(type_name);
  return dds_RETCODE_OK;
}

void dds_TypeSupport_delete(dds_TypeSupport* support) {
  AdoptFromCaller(support);
}

namespace {

// A Cyclone topic over a fresh raw sertype; `sertype` receives the one the
// topic really uses (Cyclone may reuse an equal one of the domain).
dds_entity_t CreateRawTopic(dds_entity_t participant, const char* topic_name, const char* type_name,
                            bool keyed, const ddsi_sertype** sertype) {
  ddsi_sertype* type = corvane_dds::RawSertypeCreate(type_name, keyed);
  const dds_entity_t topic =
      dds_create_topic_sertype(participant, topic_name, &type, nullptr, nullptr, nullptr);
  if (topic <= 0) {
    corvane_dds::RawSertypeDiscard(type);  // still ours: Cyclone refused it
    return topic;
  }
  *sertype = type;
  return topic;
}

}  // namespace

namespace corvane_dds {

bool MakeSideTopics(dds_Topic* topic, int side) {
  if (topic->topics[side][kKeyless].valid()) return true;
  const dds_entity_t participant = SideParticipant(topic->participant, side);
  if (participant == 0) return false;
  static_assert(kKeyless == 0 && kKeyed == 1, "kinds index the entity arrays");
  for (int kind = 0; kind < kKinds; kind++) {
    const dds_entity_t handle =
        CreateRawTopic(participant, topic->name.c_str(), topic->type_name.c_str(), kind == kKeyed,
                       &topic->sertypes[side][kind]);
    if (handle <= 0) {
      for (CycloneEntity& made : topic->topics[side]) made.Reset();
      return false;
    }
    topic->topics[side][kind] = CycloneEntity(handle);
  }
  return true;
}

}  // namespace corvane_dds

dds_Topic* dds_DomainParticipant_create_topic(dds_DomainParticipant* participant,
                                              const char* topic_name, const char* type_name,
                                              const dds_TopicQos* qos, const dds_TopicListener*,
                                              dds_StatusMask) {
  if (participant == nullptr || topic_name == nullptr || type_name == nullptr || qos == nullptr) {
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(participant->mutex);
  if (participant->registered_types.count(type_name) == 0) return nullptr;
  // A topic name stands for one type in a participant.
  for (const std::unique_ptr<dds_Topic>& existing : participant->topics) {
    if (existing->name == topic_name && existing->type_name != type_name) return nullptr;
  }
  auto topic = std::make_unique<dds_Topic>();
  topic->participant = participant;
  topic->name = topic_name;
  topic->type_name = type_name;
  // The writer side's follow with the topic's first writer.
  if (!corvane_dds::MakeSideTopics(topic.get(), kReaderSide)) return nullptr;
  dds_Topic* result = topic.get();
  participant->topics.push_back(std::move(topic));
  return result;
}
