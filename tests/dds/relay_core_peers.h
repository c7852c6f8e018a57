#ifndef CORVANE_TESTS_DDS_RELAY_CORE_PEERS_H_
#define CORVANE_TESTS_DDS_RELAY_CORE_PEERS_H_

// Peers for the relay core tests: typed Cyclone DDS publishers and
// subscribers of relay_core_types.idl (also used by relay_core_source_peer,
// a publisher in a process of its own), raw probes that see the serialized
// bytes through the middleware layer, an observer of the discovery data, and
// a watchdog that ends a hung test.

#include <dds/dds.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dds/dds_domain.h"
#include "middleware/dds.h"
#include "relay_core_types.h"
#include "tests/support/cyclone_peer_basics.h"

namespace relay_core_test {

constexpr char kKeyedType[] = "relay_core::KeyedReading";
constexpr char kPlainType[] = "relay_core::PlainReading";

inline const char* TypeName(bool keyed) {
  return keyed ? kKeyedType : kPlainType;
}

using corvane_test::Entity;
using corvane_test::PublicationsMatched;
using corvane_test::SubscriptionsMatched;
using corvane_test::WaitFor;

// Ends the process with a message if it is still armed after `limit`: a hang
// in a DDS call cannot be interrupted, and the test must not wait for CTest's
// timeout to say which step hung.
class Watchdog {
 public:
  Watchdog(std::string what, std::chrono::milliseconds limit);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable disarmed_cv_;
  bool disarmed_ = false;
  std::thread thread_;
};

// One reading of either type, in a form the tests can build and compare.
struct Reading {
  int32_t sensor = 0;
  int32_t seq = 0;
  double value = 0;
  std::string label;
  std::vector<uint8_t> payload;

  bool operator==(const Reading& other) const;
};

// A reading as a typed subscriber received it.
struct Received {
  Reading reading;
  dds_time_t source_timestamp = 0;
  bool valid_data = false;
  dds_instance_state_t instance_state = DDS_IST_ALIVE;
};

// A typed peer: its own participant, in which its topics, writers and readers
// live until it goes. Writers and readers are reliable and keep all samples.
class TypedPeer {
 public:
  explicit TypedPeer(dds_domainid_t domain_id);
  bool ok() const { return participant_.get() > 0; }

  dds_entity_t Topic(bool keyed, const std::string& topic_name);
  // `autodispose` false: deleting the writer unregisters its instances only.
  dds_entity_t Writer(dds_entity_t topic, bool autodispose = true);
  dds_entity_t Reader(dds_entity_t topic, const dds_listener_t* listener = nullptr);

 private:
  Entity participant_;
};

dds_return_t WriteReading(dds_entity_t writer, bool keyed, const Reading& reading,
                          dds_time_t source_timestamp);
dds_return_t DisposeReading(dds_entity_t writer, bool keyed, const Reading& reading);
dds_return_t UnregisterReading(dds_entity_t writer, bool keyed, const Reading& reading);

// One step of a scripted publisher: w<i> writes readings[i] with
// SourceTimestamp(i), d<i> disposes its instance, u<i> unregisters it, p<ms>
// pauses. False when the step is malformed or its DDS call fails.
bool RunSourceStep(dds_entity_t writer, bool keyed, const std::vector<Reading>& readings,
                   const std::string& step);

// Every sample the reader holds, valid or not; `take` false leaves them there.
std::vector<Received> ReceiveAll(dds_entity_t reader, bool keyed, bool take = true);

// A writer can match a channel's reader before that reader has matched the
// writer, and what it writes in between never reaches the reader. Sources
// that cannot watch the reader's side pause this long after their match.
constexpr std::chrono::milliseconds kMatchSettle{300};

// A payload of `size` bytes derived from `seed`.
std::vector<uint8_t> Payload(size_t size, uint32_t seed);

// `rounds` readings of each sensor, round by round, with seq the round.
// Their members exercise alignment, padding, empty and large (fragmented on
// the network) parts.
std::vector<Reading> MakeReadings(const std::vector<int32_t>& sensors, int rounds);

// The source timestamp with which reading `index` of a test is published.
inline dds_time_t SourceTimestamp(size_t index) {
  return DDS_SECS(1700000000) + 7 + static_cast<dds_time_t>(index) * 1000;
}

// Writes primer readings from a publisher of its own in `src_domain` until
// `copies` of one of them have reached `sink_reader`: then the path through
// the relay is matched end to end, which discovery on the publishing side
// alone does not show. The publisher is gone on return (its instances
// unregistered, not disposed). Primer samples carry source timestamps before
// SourceTimestamp(0), by which IsPrimer tells them apart.
bool PrimePath(dds_domainid_t src_domain, const std::string& topic_name, bool keyed,
               dds_entity_t sink_reader, int copies = 1);
inline bool IsPrimer(int64_t source_timestamp) {
  return source_timestamp < SourceTimestamp(0);
}

// A sample as the middleware layer takes it: serialized bytes and the parts
// of the sample information the relay keeps.
struct RawSample {
  std::vector<uint8_t> bytes;
  bool valid_data = false;
  int64_t source_timestamp = 0;
};

// A reliable raw reader of the middleware layer on one topic of `domain`,
// which it keeps alive; each probe should use a domain of its own manager so
// that the relay's participant does not ignore it as local.
class RawProbe {
 public:
  RawProbe(std::shared_ptr<DdsDomain> domain, const std::string& topic_name,
           const std::string& type_name);
  ~RawProbe();
  RawProbe(const RawProbe&) = delete;
  RawProbe& operator=(const RawProbe&) = delete;

  bool ok() const { return reader_ != nullptr; }
  std::vector<RawSample> TakeAll();

 private:
  std::shared_ptr<DdsDomain> domain_;
  dds_DataReader* reader_ = nullptr;
  dds_DataSeq* data_seq_;
  dds_SampleInfoSeq* info_seq_;
  dds_UnsignedLongSeq* size_seq_;
};

// What discovery says about one reader or writer.
struct EndpointQos {
  std::string type_name;
  dds_reliability_kind_t reliability = DDS_RELIABILITY_BEST_EFFORT;
  dds_durability_kind_t durability = DDS_DURABILITY_VOLATILE;
  dds_history_kind_t history = DDS_HISTORY_KEEP_LAST;
};

// A participant that reads the built-in discovery topics of its domain,
// which include the participants and endpoints of this process.
class DiscoveryObserver {
 public:
  explicit DiscoveryObserver(dds_domainid_t domain_id);
  bool ok() const { return participants_ > 0 && publications_ > 0 && subscriptions_ > 0; }

  // Alive participants other than the observer's own.
  int AliveParticipants() const;
  // Alive writers or readers on `topic_name`.
  std::vector<EndpointQos> Writers(const std::string& topic_name) const;
  std::vector<EndpointQos> Readers(const std::string& topic_name) const;

 private:
  std::vector<EndpointQos> Endpoints(dds_entity_t reader, const std::string& topic_name) const;

  Entity participant_;
  dds_entity_t participants_ = 0;
  dds_entity_t publications_ = 0;
  dds_entity_t subscriptions_ = 0;
};

}  // namespace relay_core_test

#endif  // CORVANE_TESTS_DDS_RELAY_CORE_PEERS_H_
