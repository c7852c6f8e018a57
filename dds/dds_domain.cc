// The domain's participant with its publisher and subscriber, and its topic cache.

#include "dds/dds_domain.h"

#include <cstring>
#include <utility>

std::shared_ptr<DdsDomain> DdsDomain::Create(int32_t domain_id,
                                             const dds_DomainParticipantQos* qos) {
  DdsDomain domain;
  if (!domain.Init(domain_id, qos)) return nullptr;
  return std::make_shared<DdsDomain>(std::move(domain));
}

DdsDomain::DdsDomain(DdsDomain&& other) noexcept
    : participant_(std::exchange(other.participant_, nullptr)),
      publisher_(std::exchange(other.publisher_, nullptr)),
      subscriber_(std::exchange(other.subscriber_, nullptr)),
      registered_types_(std::move(other.registered_types_)),
      topic_cache_(std::move(other.topic_cache_)) {}

DdsDomain::~DdsDomain() {
  if (subscriber_ != nullptr) dds_Subscriber_delete_contained_entities(subscriber_);
  if (publisher_ != nullptr) dds_Publisher_delete_contained_entities(publisher_);
  if (participant_ != nullptr) {
    dds_DomainParticipantFactory* factory = dds_DomainParticipantFactory_get_instance();
    dds_DomainParticipant_delete_contained_entities(participant_);
    dds_DomainParticipantFactory_delete_participant(factory, participant_);
  }
}

bool DdsDomain::Init(int32_t domain_id, const dds_DomainParticipantQos* qos) {
  dds_DomainParticipantFactory* factory = dds_DomainParticipantFactory_get_instance();
  participant_ =
      dds_DomainParticipantFactory_create_participant(factory, domain_id, qos, nullptr, 0);
  if (participant_ == nullptr) return false;

  dds_PublisherQos publisher_qos;
  std::memset(&publisher_qos, 0, sizeof publisher_qos);
  dds_PublisherQos_copy(&publisher_qos, &dds_PUBLISHER_QOS_DEFAULT);
  publisher_qos.entity_factory.autoenable_created_entities = true;
  publisher_ = dds_DomainParticipant_create_publisher(participant_, &publisher_qos, nullptr, 0);
  dds_PublisherQos_finalize(&publisher_qos);
  if (publisher_ == nullptr) return false;

  dds_SubscriberQos subscriber_qos;
  std::memset(&subscriber_qos, 0, sizeof subscriber_qos);
  dds_SubscriberQos_copy(&subscriber_qos, &dds_SUBSCRIBER_QOS_DEFAULT);
  subscriber_qos.entity_factory.autoenable_created_entities = true;
  subscriber_ = dds_DomainParticipant_create_subscriber(participant_, &subscriber_qos, nullptr, 0);
  dds_SubscriberQos_finalize(&subscriber_qos);
  return subscriber_ != nullptr;
}

dds_Topic* DdsDomain::GetRawTopic(const std::string& topic_name, const std::string& type_name) {
  return GetRawTopic(topic_name, type_name, dds_PLAIN_TOPIC);
}

dds_Topic* DdsDomain::GetRawTopic(const std::string& topic_name, const std::string& type_name,
                                  dds_TopicKind kind) {
  std::string key;
  key.reserve(topic_name.size() + 1 + type_name.size() + 2);
  key.append(topic_name).append(1, '\n').append(type_name).append(1, '\n');
  key.append(1, static_cast<char>('0' + kind));

  std::lock_guard<std::mutex> lock(mutex_);
  const auto cached = topic_cache_.find(key);
  if (cached != topic_cache_.end()) return cached->second;

  if (registered_types_.count(type_name) == 0) {
    dds_TypeSupport* support = dds_TypeSupport_raw_create();
    dds_TypeSupport_register_type(support, participant_, type_name.c_str());
    dds_TypeSupport_delete(support);
    registered_types_.insert(type_name);
  }

  dds_Topic* topic =
      kind == dds_PLAIN_TOPIC
          ? dds_DomainParticipant_create_topic(participant_, topic_name.c_str(), type_name.c_str(),
                                               &dds_TOPIC_QOS_DEFAULT, nullptr, 0)
          : dds_DomainParticipant_create_topic_w_kind(
                participant_, topic_name.c_str(), type_name.c_str(), &dds_TOPIC_QOS_DEFAULT, kind);
  if (topic != nullptr) topic_cache_.emplace(std::move(key), topic);
  return topic;
}

std::vector<DiscoveredEndpoint> DdsDomain::TakeDiscovered() {
  std::vector<DiscoveredEndpoint> found;
  if (participant_ == nullptr) return found;
  dds_DomainParticipant_take_discovered(
      participant_,
      [](const dds_DiscoveredEndpoint* endpoint, void* context) {
        const char* user_data = reinterpret_cast<const char*>(endpoint->user_data);
        static_cast<std::vector<DiscoveredEndpoint>*>(context)->push_back(
            {endpoint->topic_name, endpoint->type_name, endpoint->is_reader,
             user_data != nullptr ? std::string(user_data, endpoint->user_data_size) : ""});
      },
      &found);
  return found;
}
