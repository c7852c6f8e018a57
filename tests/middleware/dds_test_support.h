#ifndef CORVANE_TESTS_MIDDLEWARE_DDS_TEST_SUPPORT_H_
#define CORVANE_TESTS_MIDDLEWARE_DDS_TEST_SUPPORT_H_

// Helpers for the middleware layer's integration tests: layer entities with
// their teardown, a loan-returning take, and typed Cyclone DDS peers built
// from relay_test_types.idl.

#include <dds/dds.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "middleware/dds.h"
#include "relay_test_types.h"
#include "tests/support/cyclone_peer_basics.h"

namespace corvane_test {

constexpr char kKeyedType[] = "corvane_test::KeyedSample";
constexpr char kKeylessType[] = "corvane_test::KeylessSample";

// A layer participant with one publisher and one subscriber; everything in it
// is deleted with the object.
class LayerDomain {
 public:
  explicit LayerDomain(dds_DomainId_t domain_id);
  ~LayerDomain();
  LayerDomain(const LayerDomain&) = delete;
  LayerDomain& operator=(const LayerDomain&) = delete;

  bool ok() const { return participant_ && publisher_ && subscriber_; }
  dds_DomainParticipant* participant() const { return participant_; }
  dds_Publisher* publisher() const { return publisher_; }
  dds_Subscriber* subscriber() const { return subscriber_; }

  // Registers the type name, then creates the topic.
  dds_Topic* Topic(const std::string& topic_name, const std::string& type_name);
  // Layer defaults with the given reliability.
  dds_DataReader* Reader(dds_Topic* topic, bool reliable);
  dds_DataWriter* Writer(dds_Topic* topic, bool reliable);

 private:
  dds_DomainParticipant* participant_ = nullptr;
  dds_Publisher* publisher_ = nullptr;
  dds_Subscriber* subscriber_ = nullptr;
};

// Three sequences, created once like a channel's.
class TakeSequences {
 public:
  TakeSequences();
  ~TakeSequences();
  TakeSequences(const TakeSequences&) = delete;
  TakeSequences& operator=(const TakeSequences&) = delete;

  dds_DataSeq* data;
  dds_SampleInfoSeq* infos;
  dds_UnsignedLongSeq* sizes;
};

// A sample copied out of a loan.
struct TakenSample {
  std::vector<uint8_t> bytes;
  dds_SampleInfo info;  // its origin cleared
  bool keyed;           // taken from a keyed Cyclone reader
};

// One take of at most `max_samples` in any state; the samples are copied and
// the loan returned. `rc` receives the take's result.
std::vector<TakenSample> TakeCopies(dds_DataReader* reader, int32_t max_samples,
                                    dds_ReturnCode_t* rc = nullptr);

// One step of a relay: a take of at most `max_samples`, a write of each
// sample with valid data, the return of the loan. Returns the samples taken.
std::vector<TakenSample> ForwardOnce(dds_DataReader* reader, dds_DataWriter* writer,
                                     int32_t max_samples = 8);

// A typed peer: its own participant with one topic of a generated type.
class TypedPeer {
 public:
  TypedPeer(dds_domainid_t domain_id, const dds_topic_descriptor_t* type, const char* topic_name);
  bool ok() const { return participant_.get() > 0 && topic_ > 0; }
  dds_entity_t participant() const { return participant_.get(); }

  dds_entity_t Writer(bool reliable = true, bool transient_local = false, bool autodispose = true);
  dds_entity_t Reader(bool reliable = true, bool transient_local = false);

 private:
  Entity participant_;
  dds_entity_t topic_ = 0;
};

// PublicationsMatched and SubscriptionsMatched (cyclone_peer_basics.h) for
// layer endpoints, over both of their kinds. Test peers live in Cyclone
// instances of their own (CreatePeerParticipant), so even endpoints of one
// process match only through discovery.
// A writer's count leaves out transient-local readers, such as the twin
// each layer reader holds.
int32_t PublicationsMatched(const dds_DataWriter* writer);
// The Cyclone endpoint of `kind` (0 keyless, 1 keyed) behind a plain-topic
// layer endpoint.
dds_entity_t CycloneEntity(const dds_DataWriter* writer, int kind);
dds_entity_t CycloneEntity(const dds_DataReader* reader, int kind);
int32_t SubscriptionsMatched(const dds_DataReader* reader);

// `type` under another type name.
dds_topic_descriptor_t Renamed(const dds_topic_descriptor_t& type, const char* type_name);

// A payload of `size` bytes derived from `seed`.
std::vector<uint8_t> Payload(size_t size, uint32_t seed);

}  // namespace corvane_test

#endif  // CORVANE_TESTS_MIDDLEWARE_DDS_TEST_SUPPORT_H_
