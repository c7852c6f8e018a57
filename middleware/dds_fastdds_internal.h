#ifndef CORVANE_MIDDLEWARE_DDS_FASTDDS_INTERNAL_H_
#define CORVANE_MIDDLEWARE_DDS_FASTDDS_INTERNAL_H_

// The layer's second engine: ROS 2 request and reply topics ("rq/...",
// "rr/...") travel on Fast DDS, which can read a request's sequence number
// and write a reply's related sample identity; Cyclone DDS can do neither.
// A layer participant creates its Fast DDS participant, in the same DDS
// domain, when its first such topic is created. Fast DDS reads its XML
// profiles (FASTRTPS_DEFAULT_PROFILES_FILE) as it always does.
//
// The types here are opaque so that no other file of the layer sees a Fast
// DDS header. Samples are raw: any type name, keyless, serialized bytes with
// their encapsulation, source timestamp kept.
//
// Relaying a request republishes it under the layer's writer: it names the
// layer's own reply reader of the destination domain as related identity
// (so a server that waits for that reader to match does not race it) and
// records what the reply must name on the way back (dds_request_ledger).
// A reply that names the layer's reader or writer is translated back; one
// that names an unknown request, or someone else, is dropped; one that
// names nothing (a server that pairs through the payload) passes unchanged.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "middleware/dds.h"
#include "middleware/dds_request_ledger_internal.h"

namespace corvane_dds {

class FastDdsParticipant;
class FastDdsTopic;
class FastDdsWriter;
class FastDdsReader;

struct FastDdsDeleter {
  void operator()(FastDdsParticipant* participant) const;
  void operator()(FastDdsTopic* topic) const;
  void operator()(FastDdsWriter* writer) const;
  void operator()(FastDdsReader* reader) const;
};
template <typename T>
using FastDdsPtr = std::unique_ptr<T, FastDdsDeleter>;

// True for the topic names Fast DDS carries.
bool IsFastDdsTopic(const std::string& topic_name);

// A sample taken from a Fast DDS reader, reachable from its sample
// information's origin until the loan returns.
struct FastDdsSample {
  std::vector<uint8_t> bytes;
  SampleIdentity identity;  // the writer's GUID and sequence number
  SampleIdentity related;   // as the writer named it, or unknown
  int64_t source_timestamp = 0;
  // A reply that must name `reply_to` when it is written on.
  bool translated = false;
  SampleIdentity reply_to;
};

// Null when Fast DDS refuses the domain or the profile.
FastDdsPtr<FastDdsParticipant> FastDdsCreateParticipant(dds_DomainId_t domain_id);
// Registers the raw type name if needed. Null on failure.
FastDdsPtr<FastDdsTopic> FastDdsCreateTopic(FastDdsParticipant* participant,
                                            const std::string& topic_name,
                                            const std::string& type_name);
// Keep-all and volatile; reliability as `qos` says. Its match statuses count
// for `owner`'s rule.
FastDdsPtr<FastDdsWriter> FastDdsCreateWriter(FastDdsTopic* topic, const dds_DataWriterQos& qos,
                                              dds_DataWriter* owner);
// Its data-available events signal `owner`'s delivery thread; its match
// statuses count for `owner`'s rule.
FastDdsPtr<FastDdsReader> FastDdsCreateReader(FastDdsTopic* topic, const dds_DataReaderQos& qos,
                                              dds_DataReader* owner);

dds_ReturnCode_t FastDdsWriterQos(const FastDdsWriter* writer, dds_DataWriterQos* qos);
dds_ReturnCode_t FastDdsReaderQos(const FastDdsReader* reader, dds_DataReaderQos* qos);

// What a take left in the reader's cache.
struct FastDdsTaken {
  uint32_t removed = 0;  // samples taken, including those not handed out
  uint64_t bytes = 0;
};

// Takes at most `limit` samples into `samples` (grown as needed), skipping
// the layer's own ones and replies that are not the reader's to forward.
// Appends each kept sample's pointer to `kept`.
FastDdsTaken FastDdsTake(FastDdsReader* reader, uint32_t limit, std::vector<FastDdsSample>* samples,
                         std::vector<const FastDdsSample*>* kept);

// Publishes `size` bytes with the source timestamp and identities of
// `origin` (null: stamped now, no identity).
dds_ReturnCode_t FastDdsWrite(FastDdsWriter* writer, const void* buffer, uint32_t size,
                              int64_t source_timestamp, const FastDdsSample* origin);

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_DDS_FASTDDS_INTERNAL_H_
