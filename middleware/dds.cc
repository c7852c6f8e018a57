// Participants, publishers, subscribers, raw type registration and topics.

#include "middleware/dds.h"

#include <utility>

#include "middleware/dds_entities_internal.h"

using corvane_dds::AdoptFromCaller;
using corvane_dds::ReleaseToCaller;
using corvane_dds::TakeOut;

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

// --- factory and participants ----------------------------------------------

dds_DomainParticipantFactory* dds_DomainParticipantFactory_get_instance() {
  static dds_DomainParticipantFactory factory;
  return &factory;
}

dds_DomainParticipant* dds_DomainParticipantFactory_create_participant(
    dds_DomainParticipantFactory* factory, dds_DomainId_t domain_id,
    const dds_DomainParticipantQos* qos, const dds_DomainParticipantListener*, dds_StatusMask) {
  if (factory == nullptr || qos == nullptr || domain_id < 0) return nullptr;
  auto participant = std::make_unique<dds_DomainParticipant>();
  participant->domain_id = domain_id;
  participant->cyclone = corvane_dds::CreateCycloneParticipant(domain_id);
  if (!participant->cyclone) return nullptr;
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

dds_ReturnCode_t dds_DomainParticipant_take_discovered(dds_DomainParticipant* participant,
                                                       dds_DiscoveredEndpointVisitor visit,
                                                       void* context) {
  if (participant == nullptr || visit == nullptr) return dds_RETCODE_BAD_PARAMETER;
  // Cyclone's discovery shows the other implementation's participants too.
  participant->cyclone->TakeDiscovered(visit, context);
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DomainParticipant_delete_contained_entities(
    dds_DomainParticipant* participant) {
  if (participant == nullptr) return dds_RETCODE_BAD_PARAMETER;
  participant->DeleteContainedEntities();
  return dds_RETCODE_OK;
}

// --- publishers and subscribers ----------------------------------------------

template <typename Group>
Group* AddGroup(dds_DomainParticipant* participant, std::vector<std::unique_ptr<Group>>& groups) {
  auto group = std::make_unique<Group>();
  group->participant = participant;
  Group* result = group.get();
  std::lock_guard<std::mutex> lock(participant->mutex);
  groups.push_back(std::move(group));
  return result;
}

dds_Publisher* dds_DomainParticipant_create_publisher(dds_DomainParticipant* participant,
                                                      const dds_PublisherQos* qos,
                                                      const dds_PublisherListener*,
                                                      dds_StatusMask) {
  if (participant == nullptr || qos == nullptr) return nullptr;
  return AddGroup(participant, participant->publishers);
}

dds_Subscriber* dds_DomainParticipant_create_subscriber(dds_DomainParticipant* participant,
                                                        const dds_SubscriberQos* qos,
                                                        const dds_SubscriberListener*,
                                                        dds_StatusMask) {
  if (participant == nullptr || qos == nullptr) return nullptr;
  return AddGroup(participant, participant->subscribers);
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

dds_Topic* dds_DomainParticipant_create_topic(dds_DomainParticipant* participant,
                                              const char* topic_name, const char* type_name,
                                              const dds_TopicQos* qos, const dds_TopicListener*,
                                              dds_StatusMask) {
  return dds_DomainParticipant_create_topic_w_kind(participant, topic_name, type_name, qos,
                                                   dds_PLAIN_TOPIC);
}

dds_Topic* dds_DomainParticipant_create_topic_w_kind(dds_DomainParticipant* participant,
                                                     const char* topic_name, const char* type_name,
                                                     const dds_TopicQos* qos, dds_TopicKind kind) {
  if (participant == nullptr || topic_name == nullptr || type_name == nullptr || qos == nullptr ||
      kind < dds_PLAIN_TOPIC || kind > dds_REPLY_TOPIC) {
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(participant->mutex);
  if (participant->registered_types.count(type_name) == 0) return nullptr;
  // A topic name stands for one type and one kind in a participant.
  for (const std::unique_ptr<dds_Topic>& existing : participant->topics) {
    if (existing->name == topic_name &&
        (existing->type_name != type_name || existing->kind != kind))
      return nullptr;
  }
  std::unique_ptr<corvane_dds::ParticipantEngine>& engine =
      kind == dds_PLAIN_TOPIC ? participant->cyclone : participant->fast;
  if (!engine) engine = corvane_dds::CreateFastDdsParticipant(participant->domain_id);
  if (!engine) return nullptr;
  auto topic = std::make_unique<dds_Topic>();
  topic->participant = participant;
  topic->name = topic_name;
  topic->type_name = type_name;
  topic->kind = kind;
  topic->engine = engine->CreateTopic(topic->name, topic->type_name, kind);
  if (!topic->engine) return nullptr;
  dds_Topic* result = topic.get();
  participant->topics.push_back(std::move(topic));
  return result;
}
