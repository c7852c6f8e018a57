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
  fast.reset();
  for (CycloneEntity& topic : topics) topic.Reset();
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
  fast.reset();
  participant.Reset();
}

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
  std::shared_ptr<corvane_dds::CycloneDomain> domain = corvane_dds::AcquireCycloneDomain(domain_id);
  if (!domain) return nullptr;
  const dds_entity_t handle = dds_create_participant(domain->id(), nullptr, nullptr);
  if (handle <= 0) return nullptr;
  auto participant = std::make_unique<dds_DomainParticipant>();
  participant->domain_id = domain_id;
  participant->domain = std::move(domain);
  participant->participant = CycloneEntity(handle);
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
  std::lock_guard<std::mutex> lock(participant->mutex);
  const dds_entity_t handle =
      dds_create_publisher(participant->participant.get(), nullptr, nullptr);
  if (handle <= 0) return nullptr;
  auto publisher = std::make_unique<dds_Publisher>();
  publisher->participant = participant;
  publisher->publisher = CycloneEntity(handle);
  dds_Publisher* result = publisher.get();
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
      dds_create_subscriber(participant->participant.get(), nullptr, nullptr);
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

// The topic's Cyclone topics, one per kind; false when Cyclone refuses one.
bool MakeCycloneTopics(dds_Topic* topic) {
  static_assert(kKeyless == 0 && kKeyed == 1, "kinds index the entity arrays");
  for (int kind = 0; kind < kKinds; kind++) {
    const dds_entity_t handle =
        CreateRawTopic(topic->participant->participant.get(), topic->name.c_str(),
                       topic->type_name.c_str(), kind == kKeyed, &topic->sertypes[kind]);
    if (handle <= 0) return false;
    topic->topics[kind] = CycloneEntity(handle);
  }
  return true;
}

}  // namespace

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
  if (corvane_dds::IsFastDdsTopic(topic->name)) {
    if (!participant->fast)
      participant->fast = corvane_dds::FastDdsCreateParticipant(participant->domain_id);
    if (!participant->fast) return nullptr;
    topic->fast =
        corvane_dds::FastDdsCreateTopic(participant->fast.get(), topic->name, topic->type_name);
    if (!topic->fast) return nullptr;
  } else if (!MakeCycloneTopics(topic.get())) {
    return nullptr;
  }
  dds_Topic* result = topic.get();
  participant->topics.push_back(std::move(topic));
  return result;
}
