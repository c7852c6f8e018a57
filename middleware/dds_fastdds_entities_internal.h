#ifndef CORVANE_MIDDLEWARE_DDS_FASTDDS_ENTITIES_INTERNAL_H_
#define CORVANE_MIDDLEWARE_DDS_FASTDDS_ENTITIES_INTERNAL_H_

// The Fast DDS entities behind the opaque types of dds_fastdds_internal.h.
// Included only by the layer's Fast DDS files.
//
// A participant has one publisher and one subscriber. It knows its readers,
// so that a request writer can find "its" reply reader: the reader of the
// matching "rr/...Reply" topic bound to it, or else the first unbound one.
// Bindings are guarded by the participant's mutex.

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/DataWriterListener.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "middleware/dds_fastdds_internal.h"

namespace corvane_dds {

namespace fdds = eprosima::fastdds::dds;

Guid FromFastDds(const eprosima::fastrtps::rtps::GUID_t& guid);
eprosima::fastrtps::rtps::GUID_t ToFastDds(const Guid& guid);

// The binding of a reply reader to the request writer whose replies it
// forwards.
struct ReplyRoute {
  Guid writer;
  std::shared_ptr<RequestLedger> ledger;
};

class FastDdsParticipant {
 public:
  FastDdsParticipant(fdds::DomainParticipant* participant, fdds::Publisher* publisher,
                     fdds::Subscriber* subscriber)
      : participant_(participant), publisher_(publisher), subscriber_(subscriber) {}
  ~FastDdsParticipant();

  fdds::DomainParticipant* participant() const { return participant_; }
  fdds::Publisher* publisher() const { return publisher_; }
  fdds::Subscriber* subscriber() const { return subscriber_; }
  Guid guid() const { return FromFastDds(participant_->guid()); }

  // The topic of that name, shared by every FastDdsTopic of the name.
  fdds::Topic* AcquireTopic(const std::string& topic_name, const std::string& type_name);
  void ReleaseTopic(fdds::Topic* topic);

  void AddReader(FastDdsReader* reader);
  void RemoveReader(FastDdsReader* reader);
  // The GUID of the reply reader that forwards `writer`'s replies, bound now
  // if need be; unknown when there is none.
  Guid BindReplyReader(const FastDdsWriter& writer);
  // The binding of `reader`; empty when it forwards no relayed requests.
  ReplyRoute RouteOf(const FastDdsReader& reader);

 private:
  fdds::DomainParticipant* const participant_;
  fdds::Publisher* const publisher_;    // owned by participant_
  fdds::Subscriber* const subscriber_;  // owned by participant_
  std::mutex mutex_;
  std::map<std::string, std::pair<fdds::Topic*, int>> topics_;  // with users
  std::vector<FastDdsReader*> readers_;
  std::map<const FastDdsReader*, ReplyRoute> routes_;
};

class FastDdsTopic {
 public:
  FastDdsTopic(FastDdsParticipant* participant, fdds::Topic* topic)
      : participant_(participant), topic_(topic) {}
  ~FastDdsTopic() { participant_->ReleaseTopic(topic_); }

  FastDdsParticipant* participant() const { return participant_; }
  fdds::Topic* topic() const { return topic_; }

 private:
  FastDdsParticipant* const participant_;
  fdds::Topic* const topic_;
};

class FastDdsWriter : public fdds::DataWriterListener {
 public:
  FastDdsWriter(FastDdsTopic* topic, dds_DataWriter* owner);
  ~FastDdsWriter() override;
  // Creates the Fast DDS writer with this object as its listener.
  bool Open(const fdds::DataWriterQos& qos);

  FastDdsTopic* topic() const { return topic_; }
  fdds::DataWriter* writer() const { return writer_; }
  Guid guid() const { return FromFastDds(writer_->guid()); }
  // "rr/...Reply" for a request writer, else empty.
  const std::string& reply_topic() const { return reply_topic_; }
  const std::shared_ptr<RequestLedger>& ledger() const { return ledger_; }

  void on_publication_matched(fdds::DataWriter* writer,
                              const fdds::PublicationMatchedStatus& status) override;
  void on_offered_incompatible_qos(fdds::DataWriter* writer,
                                   const fdds::OfferedIncompatibleQosStatus& status) override;

 private:
  FastDdsTopic* const topic_;
  dds_DataWriter* const owner_;
  fdds::DataWriter* writer_ = nullptr;
  const std::string reply_topic_;
  const std::shared_ptr<RequestLedger> ledger_;
};

class FastDdsReader : public fdds::DataReaderListener {
 public:
  FastDdsReader(FastDdsTopic* topic, dds_DataReader* owner) : topic_(topic), owner_(owner) {}
  ~FastDdsReader() override;
  // Creates the Fast DDS reader with this object as its listener.
  bool Open(const fdds::DataReaderQos& qos);

  FastDdsTopic* topic() const { return topic_; }
  fdds::DataReader* reader() const { return reader_; }
  const std::string& topic_name() const { return topic_->topic()->get_name(); }
  Guid guid() const { return FromFastDds(reader_->guid()); }
  bool forwards_replies() const { return topic_name().compare(0, 3, "rr/") == 0; }

  void on_data_available(fdds::DataReader* reader) override;
  void on_subscription_matched(fdds::DataReader* reader,
                               const fdds::SubscriptionMatchedStatus& status) override;
  void on_requested_incompatible_qos(fdds::DataReader* reader,
                                     const fdds::RequestedIncompatibleQosStatus& status) override;

 private:
  FastDdsTopic* const topic_;
  dds_DataReader* const owner_;
  fdds::DataReader* reader_ = nullptr;
};

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_DDS_FASTDDS_ENTITIES_INTERNAL_H_
