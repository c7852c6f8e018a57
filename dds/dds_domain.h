// One DDS domain: its participant, publisher, subscriber and raw topics.
#ifndef CORVANE_DDS_DDS_DOMAIN_H_
#define CORVANE_DDS_DDS_DOMAIN_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "middleware/dds.h"

// A reader or writer of another participant that discovery found in a domain.
struct DiscoveredEndpoint {
  std::string topic_name;
  std::string type_name;
  bool is_reader = false;  // a subscription; otherwise a publication
  std::string user_data;   // its USER_DATA bytes
};

// One DDS domain participant with its only publisher and subscriber, and a
// cache of the raw topics created in it, so that every reader and writer of
// one topic name and type name in this domain shares one topic.
//
// Built only by Create; shared by the manager and, while they set up their
// channels, the bridges. The participant (with everything in it) is deleted
// when the last reference goes. GetRawTopic may be called from any thread.
class DdsDomain {
 public:
  // A domain whose participant, publisher and subscriber all exist, or empty.
  // `qos` is only read.
  static std::shared_ptr<DdsDomain> Create(int32_t domain_id, const dds_DomainParticipantQos* qos);

  DdsDomain() = default;
  DdsDomain(DdsDomain&& other) noexcept;
  DdsDomain(const DdsDomain&) = delete;
  DdsDomain& operator=(const DdsDomain&) = delete;
  DdsDomain& operator=(DdsDomain&&) = delete;
  ~DdsDomain();

  // Creates the participant, publisher and subscriber; true when all exist.
  // What was created before a failure is left for the destructor.
  bool Init(int32_t domain_id, const dds_DomainParticipantQos* qos);

  // The topic of that name and type in this domain, created (and its type
  // registered) on first demand; null if it cannot be created. A failure is
  // not cached: the next call tries again.
  dds_Topic* GetRawTopic(const std::string& topic_name, const std::string& type_name);
  // The same for a topic of `kind`; null when the name stands for a topic of
  // another kind in this domain.
  dds_Topic* GetRawTopic(const std::string& topic_name, const std::string& type_name,
                         dds_TopicKind kind);

  // The endpoints of other participants that discovery found here since the
  // previous call (all so far on the first); an endpoint whose QoS changed
  // comes again. One caller at a time.
  std::vector<DiscoveredEndpoint> TakeDiscovered();

  dds_Publisher* publisher() const { return publisher_; }
  dds_Subscriber* subscriber() const { return subscriber_; }

 private:
  dds_DomainParticipant* participant_ = nullptr;
  dds_Publisher* publisher_ = nullptr;
  dds_Subscriber* subscriber_ = nullptr;
  std::mutex mutex_;  // guards the two caches; one GetRawTopic at a time
  std::unordered_set<std::string> registered_types_;
  std::unordered_map<std::string, dds_Topic*> topic_cache_;  // "topic\ntype" -> topic
};

#endif  // CORVANE_DDS_DDS_DOMAIN_H_
