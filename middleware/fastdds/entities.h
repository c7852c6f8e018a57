// The Fast DDS engine: participant, topics, readers and writers of the layer.
#ifndef CORVANE_MIDDLEWARE_FASTDDS_ENTITIES_H_
#define CORVANE_MIDDLEWARE_FASTDDS_ENTITIES_H_

// Request and reply topics travel on Fast DDS, which can read a request's
// sample identity and write a reply's related sample identity; Cyclone DDS
// can do neither. A layer participant creates its Fast DDS participant, in
// the same DDS domain, with its first such topic. Fast DDS reads its XML
// profiles (FASTRTPS_DEFAULT_PROFILES_FILE) as it always does. Samples are
// raw: any type name, keyless, serialized bytes with their encapsulation,
// source timestamp kept.
//
// A participant has one publisher and one subscriber. Relaying a request
// republishes it under the layer's request writer: it names the layer's
// reply reader that answers for that writer (dds_DataReader_answer_for) as
// related identity, so a server that waits for that reader to match does not
// race it, and records what the reply must name on the way back
// (request_ledger.h). A reply that names the layer's reader or writer is
// translated back; one that names an unknown request, or someone else, is
// dropped; one that names nothing (a server that pairs through the payload)
// passes unchanged.
//
// ROS 2 on Cyclone DDS pairs the other way: a request carries a header,
// {uint64 client, int64 sequence} in the payload's byte order right after
// the encapsulation, which the server echoes in front of its reply. A peer's
// style shows in its GUID (Cyclone DDS's vendor id opens it). Between a
// client and a server of different styles the relay translates: towards a
// header-style server it writes the request with a header of its own and
// takes it off the reply again; from a header-style client to an
// identity-style server it takes the header off the request and puts it back
// in front of the reply. A relayed sample changes by exactly those 16 bytes,
// which keep the body's 8-byte alignment.

#include <fastdds/rtps/common/WriteParams.h>

#include <atomic>
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/DataWriterListener.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "middleware/common/engine.h"
#include "middleware/common/own_participants.h"
#include "middleware/fastdds/request_ledger.h"

namespace corvane_dds {

namespace fdds = eprosima::fastdds::dds;

Guid FromFastDds(const eprosima::fastrtps::rtps::GUID_t& guid);
eprosima::fastrtps::rtps::GUID_t ToFastDds(const Guid& guid);

class FastDdsReader;

// A sample taken from a Fast DDS reader, reachable from its sample
// information's origin until the loan returns.
struct FastDdsSample {
  std::vector<uint8_t> bytes;
  SampleIdentity identity;  // the writer's GUID and sequence number
  SampleIdentity related;   // as the writer named it, or unknown
  int64_t source_timestamp = 0;
  // A reply that goes to `reply_to` when it is written on (its header, if
  // it needs one, is in `bytes` already).
  bool translated = false;
  ReplyTarget reply_to;
  const FastDdsReader* taken_by = nullptr;  // the reader that took it
};

class FastDdsParticipant : public ParticipantEngine {
 public:
  FastDdsParticipant(fdds::DomainParticipant* participant, fdds::Publisher* publisher,
                     fdds::Subscriber* subscriber)
      : participant_(participant),
        publisher_(publisher),
        subscriber_(subscriber),
        own_(FromFastDds(participant->guid()).bytes) {}
  ~FastDdsParticipant() override;

  std::unique_ptr<TopicEngine> CreateTopic(const std::string& topic_name,
                                           const std::string& type_name,
                                           dds_TopicKind kind) override;

  fdds::Publisher* publisher() const { return publisher_; }
  fdds::Subscriber* subscriber() const { return subscriber_; }
  Guid guid() const { return FromFastDds(participant_->guid()); }
  void ReleaseTopic(fdds::Topic* topic);
  // The client ids in the headers its request writers write (their replies
  // are for those writers alone).
  void AddHeaderId(uint64_t id, int change);
  bool IsHeaderId(uint64_t id);

 private:
  // The topic of that name, shared by every FastDdsTopic of the name.
  fdds::Topic* AcquireTopic(const std::string& topic_name, const std::string& type_name);

  fdds::DomainParticipant* const participant_;
  fdds::Publisher* const publisher_;    // owned by participant_
  fdds::Subscriber* const subscriber_;  // owned by participant_
  const OwnParticipant own_;
  std::mutex mutex_;
  std::map<std::string, std::pair<fdds::Topic*, int>> topics_;  // with users; guarded
  std::multiset<uint64_t> header_ids_;                          // guarded by mutex_
};

class FastDdsTopic : public TopicEngine {
 public:
  FastDdsTopic(FastDdsParticipant& participant, fdds::Topic* topic, dds_TopicKind kind)
      : participant_(participant), topic_(topic), kind_(kind) {}
  ~FastDdsTopic() override { participant_.ReleaseTopic(topic_); }

  std::unique_ptr<ReaderEngine> CreateReader(const dds_DataReaderQos& qos, DeliveryThread& delivery,
                                             StatsSlot& stats) override;
  std::unique_ptr<WriterEngine> CreateWriter(const dds_DataWriterQos& qos,
                                             StatsSlot& stats) override;

  FastDdsParticipant& participant() const { return participant_; }
  fdds::Topic* topic() const { return topic_; }
  dds_TopicKind kind() const { return kind_; }

 private:
  FastDdsParticipant& participant_;
  fdds::Topic* const topic_;
  const dds_TopicKind kind_;
};

class FastDdsWriter : public WriterEngine, public fdds::DataWriterListener {
 public:
  FastDdsWriter(const FastDdsTopic& topic, StatsSlot& stats);
  ~FastDdsWriter() override;
  // Creates the Fast DDS writer with this object as its listener.
  bool Open(const fdds::DataWriterQos& qos);

  dds_ReturnCode_t Write(const void* buffer, uint32_t size, const dds_SampleInfo* info) override;
  dds_ReturnCode_t GetQos(dds_DataWriterQos* qos) const override;
  dds_ReturnCode_t SetUserData(const std::string& bytes) override;

  Guid guid() const { return FromFastDds(writer_->guid()); }
  // Set for a writer of requests: requests known by the sequence number the
  // writer gave them, and by the one in the header it wrote for them.
  const std::shared_ptr<RequestLedger>& ledger() const { return ledger_; }
  const std::shared_ptr<RequestLedger>& header_ledger() const { return header_ledger_; }
  // The client id of the headers it writes.
  uint64_t header_id() const { return header_id_; }
  // The replies to this writer's requests are taken by `reply_reader`.
  void AnsweredBy(const Guid& reply_reader);

  void on_publication_matched(fdds::DataWriter* writer,
                              const fdds::PublicationMatchedStatus& status) override;
  void on_offered_incompatible_qos(fdds::DataWriter* writer,
                                   const fdds::OfferedIncompatibleQosStatus& status) override;

 private:
  // Writes a reply once the client's reply reader matched this writer, so
  // that the client does not miss it (for at most kClientWait, then the
  // reply is dropped with a warning).
  bool ClientReady(const SampleIdentity& client);
  // Writes `size` bytes; the sequence number the writer gave them, nothing
  // when it refused.
  std::optional<int64_t> Publish(const uint8_t* bytes, uint32_t size,
                                 eprosima::fastrtps::rtps::WriteParams& params);
  // Writes a request taken as `origin` in the shape its servers read,
  // recording where its reply goes.
  dds_ReturnCode_t WriteRequest(const FastDdsSample& origin, const uint8_t* bytes, uint32_t size,
                                eprosima::fastrtps::rtps::WriteParams& params);
  // Whether the servers pair through the request header: the style of the
  // first one matched, waiting up to kServerWait for one; nothing when none
  // came. Warns once when servers of both styles take the requests.
  std::optional<bool> ServersReadHeader();

  const FastDdsTopic& topic_;
  StatsSlot& stats_;
  MatchedPeers readers_;
  fdds::DataWriter* writer_ = nullptr;
  const std::shared_ptr<RequestLedger> ledger_;
  const std::shared_ptr<RequestLedger> header_ledger_;
  uint64_t header_id_ = 0;
  std::atomic<int64_t> header_sequence_{0};
  std::atomic<bool> warned_mixed_{false};
  std::mutex mutex_;
  Guid reply_reader_;  // guarded by mutex_; unknown until paired
};

class FastDdsReader : public ReaderEngine, public fdds::DataReaderListener {
 public:
  FastDdsReader(const FastDdsTopic& topic, DeliveryThread& delivery, StatsSlot& stats)
      : topic_(topic), delivery_(delivery), stats_(stats) {}
  ~FastDdsReader() override;
  // Creates the Fast DDS reader with this object as its listener.
  bool Open(const fdds::DataReaderQos& qos);

  void Take(uint32_t sample_states, uint32_t view_states, uint32_t instance_states,
            LentSamples& out) override;
  dds_ReturnCode_t GetQos(dds_DataReaderQos* qos) const override;
  dds_ReturnCode_t SetUserData(const std::string& bytes) override;
  bool AnswerFor(WriterEngine& requests) override;
  // The writers this reader matches, which tell when a client left.
  const std::shared_ptr<MatchedPeers>& writers() const { return writers_; }

  void on_data_available(fdds::DataReader* reader) override;
  void on_subscription_matched(fdds::DataReader* reader,
                               const fdds::SubscriptionMatchedStatus& status) override;
  void on_requested_incompatible_qos(fdds::DataReader* reader,
                                     const fdds::RequestedIncompatibleQosStatus& status) override;

 private:
  // The request writer a reply reader answers for.
  struct Route {
    Guid writer;
    std::shared_ptr<RequestLedger> ledger;
    std::shared_ptr<RequestLedger> header_ledger;
    uint64_t header_id = 0;
  };
  // Whether a reply taken by this reader goes on, and what it must name then.
  bool AdmitReply(FastDdsSample* sample);

  const FastDdsTopic& topic_;
  DeliveryThread& delivery_;
  StatsSlot& stats_;
  const std::shared_ptr<MatchedPeers> writers_ = std::make_shared<MatchedPeers>();
  fdds::DataReader* reader_ = nullptr;
  std::mutex mutex_;
  Route route_;  // guarded by mutex_; empty until paired
};

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_FASTDDS_ENTITIES_H_
