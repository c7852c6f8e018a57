// The seam between the layer's entities and the DDS engines that carry them.
#ifndef CORVANE_MIDDLEWARE_COMMON_ENGINE_H_
#define CORVANE_MIDDLEWARE_COMMON_ENGINE_H_

// A layer participant has one participant per engine it needs: Cyclone DDS
// for every plain topic, Fast DDS for request and reply topics, whose peers
// pair replies through sample identities that only Fast DDS reads and
// writes. A layer topic lives in one engine; its readers and writers are that
// engine's. Nothing here names an engine's own types.
//
// An engine's reader queues what it receives and signals the layer reader's
// delivery thread; its take lends samples through the caller's sequences.
// An engine's writer publishes bytes with the sample information a take
// filled in, so a sample taken from a reader of the same engine goes on
// without a copy.

#include <cstdint>
#include <memory>
#include <string>

#include "middleware/dds.h"

namespace corvane_dds {

class DeliveryThread;
class StatsSlot;
struct CycloneSample;
struct FastDdsSample;

}  // namespace corvane_dds

// Where a lent sample comes from, for the write that forwards it: the
// delivery thread of the reader that took it (the write's waits and flushes
// belong to that thread) and the engine's own sample, exactly one of them set.
struct dds_SampleOrigin {
  corvane_dds::DeliveryThread* delivery = nullptr;
  const corvane_dds::CycloneSample* cyclone = nullptr;
  const corvane_dds::FastDdsSample* fast = nullptr;
};

namespace corvane_dds {

// What an engine lent to the caller of a take, kept in the caller's data
// sequence until the loan returns.
class Loan {
 public:
  virtual ~Loan() = default;
  // Gives every lent sample back.
  virtual void Return() = 0;
};

struct LentSamples;  // sequences.h

class ReaderEngine {
 public:
  virtual ~ReaderEngine() = default;
  // Lends at most `out.limit` samples whose states match `mask` (sample,
  // view, instance states as the public take gives them) and reports to the
  // delivery thread what left the queue.
  virtual void Take(uint32_t sample_states, uint32_t view_states, uint32_t instance_states,
                    LentSamples& out) = 0;
  virtual dds_ReturnCode_t GetQos(dds_DataReaderQos* qos) const = 0;
  // dds_DataReader_set_user_data.
  virtual dds_ReturnCode_t SetUserData(const std::string& bytes) = 0;
  // Replies this reader takes answer the requests `requests` wrote; false
  // when the engine has no such pairing or `requests` is another engine's.
  virtual bool AnswerFor(class WriterEngine& requests) { return (void)requests, false; }
};

class WriterEngine {
 public:
  virtual ~WriterEngine() = default;
  // Publishes `size` bytes with the source timestamp and origin of `info`
  // (null: stamped now, for peers of any kind).
  virtual dds_ReturnCode_t Write(const void* buffer, uint32_t size, const dds_SampleInfo* info) = 0;
  virtual dds_ReturnCode_t GetQos(dds_DataWriterQos* qos) const = 0;
  // dds_DataWriter_set_user_data.
  virtual dds_ReturnCode_t SetUserData(const std::string& bytes) = 0;
};

class TopicEngine {
 public:
  virtual ~TopicEngine() = default;
  // Null when the engine refuses the endpoint. The reader signals `delivery`
  // and counts into `stats`, the writer counts into `stats`; both outlive it.
  virtual std::unique_ptr<ReaderEngine> CreateReader(const dds_DataReaderQos& qos,
                                                     DeliveryThread& delivery,
                                                     StatsSlot& stats) = 0;
  virtual std::unique_ptr<WriterEngine> CreateWriter(const dds_DataWriterQos& qos,
                                                     StatsSlot& stats) = 0;
};

class ParticipantEngine {
 public:
  virtual ~ParticipantEngine() = default;
  // A topic of `kind`; null when the engine refuses the names.
  virtual std::unique_ptr<TopicEngine> CreateTopic(const std::string& topic_name,
                                                   const std::string& type_name,
                                                   dds_TopicKind kind) = 0;
  // dds_DomainParticipant_take_discovered; an engine that does not watch
  // discovery reports nothing.
  virtual void TakeDiscovered(dds_DiscoveredEndpointVisitor, void*) {}
};

// The engines. Null when the engine refuses the domain id or its
// configuration.
std::unique_ptr<ParticipantEngine> CreateCycloneParticipant(dds_DomainId_t domain_id);
std::unique_ptr<ParticipantEngine> CreateFastDdsParticipant(dds_DomainId_t domain_id);

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_COMMON_ENGINE_H_
