// DdsChannel between typed Cyclone DDS peers: what crosses, what does not,
// loops within one domain, set-up failures and endpoint QoS. Each test uses
// its own domain ids.

#include "dds/dds_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dds/dds_domain.h"
#include "dds/dds_manager.h"
#include "relay_core_peers.h"
#include "tests/support/child_process.h"

namespace relay_core_test {
namespace {

using std::chrono::milliseconds;

// The domains a test relays between, from the manager the relay would use.
struct RelayDomains {
  RelayDomains(dds_domainid_t src_id, dds_domainid_t dst_id)
      : src(manager->GetDomain(src_id)), dst(manager->GetDomain(dst_id)) {}
  bool ok() const { return src != nullptr && dst != nullptr; }

  std::shared_ptr<DdsManager> manager = DdsManager::Create();
  std::shared_ptr<DdsDomain> src;
  std::shared_ptr<DdsDomain> dst;
};

// Appends the samples of `from` that are not primers to `into`.
template <typename Sample>
void AppendTestSamples(std::vector<Sample> from, std::vector<Sample>* into) {
  for (Sample& sample : from) {
    if (!IsPrimer(sample.source_timestamp)) into->push_back(std::move(sample));
  }
}

// Appends what the reader holds to `into` until that has `count` samples.
bool ReceiveUntil(dds_entity_t reader, bool keyed, size_t count, std::vector<Received>* into) {
  return WaitFor([&] {
    AppendTestSamples(ReceiveAll(reader, keyed), into);
    return into->size() >= count;
  });
}

bool RawUntil(RawProbe* probe, size_t count, std::vector<RawSample>* into) {
  return WaitFor([&] {
    AppendTestSamples(probe->TakeAll(), into);
    return into->size() >= count;
  });
}

// What the reader holds, left in it.
std::vector<Received> ReadTestSamples(dds_entity_t reader, bool keyed) {
  std::vector<Received> held;
  AppendTestSamples(ReceiveAll(reader, keyed, false), &held);
  return held;
}

// Where the publisher of a test's readings runs: in the test process, or in a
// process of its own, as every peer of the relay in the field does.
enum class Origin { kThisProcess, kOtherProcess };

const char* ToString(Origin origin) {
  return origin == Origin::kThisProcess ? "this process" : "other process";
}

// Runs the steps of RunSourceStep on MakeReadings(sensors, rounds), once
// `matches` readers match its writer.
class ReadingSource {
 public:
  ReadingSource(Origin origin, dds_domainid_t domain, const std::string& topic, bool keyed,
                const std::vector<int32_t>& sensors, int rounds, int matches,
                const std::vector<std::string>& steps) {
    if (origin == Origin::kOtherProcess) {
      std::string sensor_list;
      for (const int32_t sensor : sensors) {
        sensor_list += (sensor_list.empty() ? "" : ",") + std::to_string(sensor);
      }
      corvane_test::ChildOptions options;
      options.program = RELAY_CORE_SOURCE_PEER;
      options.args = {std::to_string(domain),  topic,       keyed ? "keyed" : "plain",
                      std::to_string(matches), sensor_list, std::to_string(rounds)};
      options.args.insert(options.args.end(), steps.begin(), steps.end());
      child_ = corvane_test::ChildProcess::Start(options, &error_);
      return;
    }
    peer_ = std::make_unique<TypedPeer>(domain);
    const dds_entity_t writer = peer_->Writer(peer_->Topic(keyed, topic), false);
    thread_ = std::thread([=] {
      const std::vector<Reading> readings = MakeReadings(sensors, rounds);
      if (!WaitFor([&] { return PublicationsMatched(writer) >= matches; })) return;
      std::this_thread::sleep_for(kMatchSettle);
      for (const std::string& step : steps) {
        if (!RunSourceStep(writer, keyed, readings, step)) return;
      }
      done_ = true;
    });
  }

  ~ReadingSource() {
    if (thread_.joinable()) thread_.join();
    if (child_ != nullptr) {
      child_->SendSignal(SIGTERM);
      child_->Wait(milliseconds(5000));
    }
  }

  // True once every step has run; `poll` is called meanwhile.
  bool WaitDone(const std::function<void()>& poll) {
    return WaitFor([&] {
      poll();
      if (child_ != nullptr) return child_->WaitForStdout("done", milliseconds(0));
      return done_.load();
    });
  }

  std::string Diagnostics() const {
    return child_ == nullptr ? error_ : error_ + child_->Stdout() + child_->Stderr();
  }

 private:
  std::unique_ptr<corvane_test::ChildProcess> child_;
  std::string error_;
  std::unique_ptr<TypedPeer> peer_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

std::vector<std::string> WriteAll(size_t count) {
  std::vector<std::string> steps;
  for (size_t i = 0; i < count; i++) steps.push_back("w" + std::to_string(i));
  return steps;
}

// --- what crosses ---------------------------------------------------------------

struct RelayCase {
  const char* topic;
  bool keyed;
  Origin origin;
  std::vector<int32_t> sensors;
};

TEST(ChannelRelayTest, CarriesBytesAndSourceTimestampsUnchanged) {
  Watchdog test_watchdog("the relay test", milliseconds(50000));
  const RelayCase cases[] = {
      {"relay_keyed_local", true, Origin::kThisProcess, {7, -3, 1000}},
      {"relay_plain_local", false, Origin::kThisProcess, {5}},
      {"relay_keyed_remote", true, Origin::kOtherProcess, {7, -3, 1000}},
      {"relay_plain_remote", false, Origin::kOtherProcess, {5}},
  };
  constexpr int kRounds = 4;
  RelayDomains relay(200, 201);
  ASSERT_TRUE(relay.ok());
  const std::shared_ptr<DdsManager> probes = DdsManager::Create();
  TypedPeer sink(201);
  ASSERT_TRUE(sink.ok());

  for (const RelayCase& c : cases) {
    SCOPED_TRACE(std::string(c.topic) + " from " + ToString(c.origin));
    DdsChannel channel;
    ASSERT_TRUE(channel.Initialize(relay.src, relay.dst, c.topic, TypeName(c.keyed), true, true));
    RawProbe after(probes->GetDomain(201), c.topic, TypeName(c.keyed));
    const dds_entity_t reader = sink.Reader(sink.Topic(c.keyed, c.topic));
    ASSERT_TRUE(PrimePath(200, c.topic, c.keyed, reader));
    RawProbe before(probes->GetDomain(200), c.topic, TypeName(c.keyed));
    ASSERT_TRUE(before.ok() && after.ok());

    const std::vector<Reading> readings = MakeReadings(c.sensors, kRounds);
    // The channel's reader and the probe.
    ReadingSource source(c.origin, 200, c.topic, c.keyed, c.sensors, kRounds, 2,
                         WriteAll(readings.size()));
    std::vector<Received> received;
    std::vector<RawSample> sent_bytes, relayed_bytes;
    ASSERT_TRUE(source.WaitDone([] {})) << source.Diagnostics();
    ASSERT_TRUE(ReceiveUntil(reader, c.keyed, readings.size(), &received));
    ASSERT_TRUE(RawUntil(&before, readings.size(), &sent_bytes));
    ASSERT_TRUE(RawUntil(&after, readings.size(), &relayed_bytes));
    EXPECT_EQ(received.size(), readings.size());

    // Contents and timestamps, and the order of each key's samples.
    std::map<dds_time_t, size_t> index_of;
    for (size_t i = 0; i < readings.size(); i++) index_of[SourceTimestamp(i)] = i;
    std::map<int32_t, int32_t> next_seq;
    for (const Received& r : received) {
      ASSERT_TRUE(r.valid_data);
      ASSERT_EQ(index_of.count(r.source_timestamp), 1u) << "source timestamp replaced";
      EXPECT_EQ(r.reading, readings[index_of[r.source_timestamp]]);
      EXPECT_EQ(r.reading.seq, next_seq[r.reading.sensor]++) << "sensor " << r.reading.sensor;
    }

    // The bytes published in the destination are those taken in the source.
    std::map<int64_t, std::vector<uint8_t>> sent;
    for (const RawSample& s : sent_bytes) sent[s.source_timestamp] = s.bytes;
    ASSERT_EQ(relayed_bytes.size(), sent.size());
    for (const RawSample& s : relayed_bytes) {
      ASSERT_EQ(sent.count(s.source_timestamp), 1u);
      EXPECT_EQ(s.bytes, sent[s.source_timestamp]);
    }
  }
}

// --- what does not cross ----------------------------------------------------------

struct NoDataCase {
  const char* topic;
  bool keyed;
  const char* change;  // the source's step between the two writes
  Origin origin;
};

TEST(ChannelRelayTest, DropsSamplesWithoutValidData) {
  Watchdog test_watchdog("the state change test", milliseconds(50000));
  const NoDataCase cases[] = {
      {"no_data_keyed_dispose", true, "d0", Origin::kThisProcess},
      {"no_data_plain_unregister", false, "u0", Origin::kThisProcess},
      {"no_data_keyed_dispose", true, "d0", Origin::kOtherProcess},
      {"no_data_keyed_unregister", true, "u0", Origin::kOtherProcess},
      {"no_data_plain_dispose", false, "d0", Origin::kOtherProcess},
      {"no_data_plain_unregister", false, "u0", Origin::kOtherProcess},
  };
  RelayDomains relay(202, 203);
  ASSERT_TRUE(relay.ok());
  const std::shared_ptr<DdsManager> probes = DdsManager::Create();
  TypedPeer sink(203);
  ASSERT_TRUE(sink.ok());

  int round = 0;
  for (const NoDataCase& c : cases) {
    SCOPED_TRACE(std::string(c.topic) + " from " + ToString(c.origin));
    const std::string topic = c.topic + std::to_string(round++);
    DdsChannel channel;
    ASSERT_TRUE(channel.Initialize(relay.src, relay.dst, topic, TypeName(c.keyed), true, true));
    RawProbe after(probes->GetDomain(203), topic, TypeName(c.keyed));
    const dds_entity_t reader = sink.Reader(sink.Topic(c.keyed, topic));
    ASSERT_TRUE(PrimePath(202, topic, c.keyed, reader));
    // After the primer has gone, so that its end is no state change here.
    RawProbe before(probes->GetDomain(202), topic, TypeName(c.keyed));
    ASSERT_TRUE(before.ok() && after.ok());

    // The state change comes between two writes, so it has reached the
    // channel once the second sample has crossed. The pauses let the probe
    // take each sample before the next step, as the channel does: a state
    // change that finds a sample not yet taken rides on it instead of
    // arriving as a sample of its own.
    const std::vector<int32_t> sensors = {1, c.keyed ? 2 : 1};
    std::vector<RawSample> at_source;
    ReadingSource source(c.origin, 202, topic, c.keyed, sensors, 1, 2,
                         {"w0", "p300", c.change, "p300", "w1"});
    ASSERT_TRUE(source.WaitDone([&] { AppendTestSamples(before.TakeAll(), &at_source); }))
        << source.Diagnostics();
    ASSERT_TRUE(RawUntil(&before, 3, &at_source));
    int without_data = 0;
    for (const RawSample& s : at_source) without_data += s.valid_data ? 0 : 1;
    ASSERT_EQ(without_data, 1) << "the source produced no sample without data";

    std::vector<RawSample> relayed;
    ASSERT_TRUE(RawUntil(&after, 2, &relayed));
    ASSERT_TRUE(WaitFor([&] { return ReadTestSamples(reader, c.keyed).size() >= 2; }));
    // The second write crossed after anything the channel made of the state
    // change, so a wrongly relayed sample would be here by now.
    AppendTestSamples(after.TakeAll(), &relayed);
    EXPECT_EQ(relayed.size(), 2u) << "a sample without data was written as data";
    const std::vector<Received> received = ReadTestSamples(reader, c.keyed);
    EXPECT_EQ(received.size(), 2u);
    for (const Received& r : received) {
      EXPECT_TRUE(r.valid_data);
      EXPECT_EQ(r.instance_state, DDS_IST_ALIVE) << "sensor " << r.reading.sensor;
    }
  }
}

// --- loops within one domain ---------------------------------------------------------

// Counts the samples of each seq, after a pause in which a loop would show.
std::map<int32_t, int> SettledCounts(dds_entity_t reader, size_t expected) {
  std::vector<Received> received;
  ReceiveUntil(reader, false, expected, &received);
  std::this_thread::sleep_for(milliseconds(300));
  AppendTestSamples(ReceiveAll(reader, false), &received);
  std::map<int32_t, int> counts;
  for (const Received& r : received) counts[r.reading.seq]++;
  return counts;
}

TEST(ChannelEchoTest, SourceEqualToDestinationRelaysEachSampleOnce) {
  Watchdog test_watchdog("the same-domain test", milliseconds(30000));
  constexpr dds_domainid_t kDomain = 208;
  constexpr char kTopic[] = "same_domain";
  RelayDomains relay(kDomain, kDomain);
  ASSERT_TRUE(relay.ok());
  ASSERT_EQ(relay.src, relay.dst);
  TypedPeer publisher(kDomain), subscriber(kDomain);
  const dds_entity_t writer = publisher.Writer(publisher.Topic(false, kTopic));
  const dds_entity_t reader = subscriber.Reader(subscriber.Topic(false, kTopic));

  auto channel = std::make_unique<DdsChannel>();
  ASSERT_TRUE(channel->Initialize(relay.src, relay.dst, kTopic, kPlainType, true, true));
  ASSERT_TRUE(PrimePath(kDomain, kTopic, false, reader, 2));
  ASSERT_TRUE(WaitFor(
      [&] { return PublicationsMatched(writer) == 2 && SubscriptionsMatched(reader) == 2; }));

  constexpr int kSamples = 10;
  {
    Watchdog watchdog("writing through a channel into its own domain", milliseconds(10000));
    for (const Reading& reading : MakeReadings({1}, kSamples)) {
      ASSERT_EQ(WriteReading(writer, false, reading, SourceTimestamp(reading.seq)), DDS_RETCODE_OK);
    }
  }
  // Once from the publisher, once from the channel; never again from the
  // channel's own writes.
  const std::map<int32_t, int> counts = SettledCounts(reader, 2 * kSamples);
  ASSERT_EQ(counts.size(), static_cast<size_t>(kSamples));
  for (const auto& [seq, count] : counts) EXPECT_EQ(count, 2) << "seq " << seq;

  Watchdog watchdog("destroying the channel", milliseconds(10000));
  channel.reset();
}

TEST(ChannelEchoTest, OppositeChannelsDoNotEcho) {
  Watchdog test_watchdog("the opposite-channels test", milliseconds(30000));
  constexpr char kTopic[] = "both_ways";
  RelayDomains relay(209, 210);
  ASSERT_TRUE(relay.ok());
  TypedPeer peer_a(209), peer_b(210);
  const dds_entity_t topic_a = peer_a.Topic(false, kTopic);
  const dds_entity_t topic_b = peer_b.Topic(false, kTopic);
  const dds_entity_t writer_a = peer_a.Writer(topic_a), reader_a = peer_a.Reader(topic_a);
  const dds_entity_t writer_b = peer_b.Writer(topic_b), reader_b = peer_b.Reader(topic_b);

  auto a_to_b = std::make_unique<DdsChannel>();
  auto b_to_a = std::make_unique<DdsChannel>();
  ASSERT_TRUE(a_to_b->Initialize(relay.src, relay.dst, kTopic, kPlainType, true, true));
  ASSERT_TRUE(b_to_a->Initialize(relay.dst, relay.src, kTopic, kPlainType, true, true));
  ASSERT_TRUE(PrimePath(209, kTopic, false, reader_b));
  ASSERT_TRUE(PrimePath(210, kTopic, false, reader_a));
  ASSERT_TRUE(WaitFor([&] {
    return PublicationsMatched(writer_a) == 2 && SubscriptionsMatched(reader_a) == 2 &&
           PublicationsMatched(writer_b) == 2 && SubscriptionsMatched(reader_b) == 2;
  }));

  // Seqs 0.. from A and 100.. from B, interleaved.
  constexpr int kSamples = 5;
  {
    Watchdog watchdog("writing through two opposite channels", milliseconds(10000));
    for (const Reading& reading : MakeReadings({1}, kSamples)) {
      Reading from_b = reading;
      from_b.seq += 100;
      ASSERT_EQ(WriteReading(writer_a, false, reading, SourceTimestamp(reading.seq)),
                DDS_RETCODE_OK);
      ASSERT_EQ(WriteReading(writer_b, false, from_b, SourceTimestamp(from_b.seq)), DDS_RETCODE_OK);
    }
  }
  for (const dds_entity_t reader : {reader_a, reader_b}) {
    const std::map<int32_t, int> counts = SettledCounts(reader, 2 * kSamples);
    EXPECT_EQ(counts.size(), static_cast<size_t>(2 * kSamples));
    for (const auto& [seq, count] : counts) EXPECT_EQ(count, 1) << "seq " << seq;
  }

  Watchdog watchdog("destroying two opposite channels", milliseconds(10000));
  a_to_b.reset();
  b_to_a.reset();
}

// --- set-up -------------------------------------------------------------------

struct SetupCase {
  const char* topic;
  bool clash_in_src;
  bool clash_in_dst;
};

TEST(ChannelSetupTest, FailsWhenATopicCannotBeCreatedAndLeavesNoEndpoint) {
  Watchdog test_watchdog("the set-up failure test", milliseconds(30000));
  const SetupCase cases[] = {
      {"setup_no_clash", false, false},
      {"setup_clash_src", true, false},
      {"setup_clash_dst", false, true},
      {"setup_clash_both", true, true},
  };
  RelayDomains relay(213, 214);
  ASSERT_TRUE(relay.ok());
  DiscoveryObserver src_view(213), dst_view(214);
  ASSERT_TRUE(src_view.ok() && dst_view.ok());

  for (const SetupCase& c : cases) {
    SCOPED_TRACE(c.topic);
    // The topic name already stands for another type in that participant.
    if (c.clash_in_src) {
      ASSERT_NE(relay.src->GetRawTopic(c.topic, kKeyedType), nullptr);
    }
    if (c.clash_in_dst) {
      ASSERT_NE(relay.dst->GetRawTopic(c.topic, kKeyedType), nullptr);
    }
    const bool expect_ok = !c.clash_in_src && !c.clash_in_dst;
    {
      DdsChannel channel;
      EXPECT_EQ(channel.Initialize(relay.src, relay.dst, c.topic, kPlainType, true, true),
                expect_ok);
      if (expect_ok) {
        EXPECT_TRUE(WaitFor([&] {
          return !src_view.Readers(c.topic).empty() && !dst_view.Writers(c.topic).empty();
        }));
      }
    }
    EXPECT_TRUE(WaitFor([&] {
      return src_view.Readers(c.topic).empty() && src_view.Writers(c.topic).empty() &&
             dst_view.Readers(c.topic).empty() && dst_view.Writers(c.topic).empty();
    })) << "an endpoint outlived its channel";
  }
}

dds_reliability_kind_t Reliability(bool reliable) {
  return reliable ? DDS_RELIABILITY_RELIABLE : DDS_RELIABILITY_BEST_EFFORT;
}

dds_durability_kind_t Durability(dds_DurabilityQosPolicyKind kind) {
  return kind == dds_TRANSIENT_LOCAL_DURABILITY_QOS ? DDS_DURABILITY_TRANSIENT_LOCAL
                                                    : DDS_DURABILITY_VOLATILE;
}

dds_history_kind_t History(dds_HistoryQosPolicyKind kind) {
  return kind == dds_KEEP_ALL_HISTORY_QOS ? DDS_HISTORY_KEEP_ALL : DDS_HISTORY_KEEP_LAST;
}

struct QosCase {
  const char* topic;
  bool src_reliable;
  bool dst_reliable;
};

TEST(ChannelSetupTest, ReaderAndWriterReliabilityFollowTheirOwnFlag) {
  Watchdog test_watchdog("the reliability test", milliseconds(30000));
  const QosCase cases[] = {
      {"qos_be_be", false, false},
      {"qos_be_rel", false, true},
      {"qos_rel_be", true, false},
      {"qos_rel_rel", true, true},
  };
  constexpr dds_domainid_t kDomain = 215;
  RelayDomains relay(kDomain, kDomain);
  ASSERT_TRUE(relay.ok());
  DiscoveryObserver view(kDomain);
  ASSERT_TRUE(view.ok());

  for (const QosCase& c : cases) {
    SCOPED_TRACE(c.topic);
    DdsChannel channel;
    ASSERT_TRUE(channel.Initialize(relay.src, relay.dst, c.topic, kPlainType, c.src_reliable,
                                   c.dst_reliable));
    ASSERT_TRUE(
        WaitFor([&] { return !view.Readers(c.topic).empty() && !view.Writers(c.topic).empty(); }));
    // Apart from reliability, both keep the layer's defaults; readers also
    // have transient-local twins.
    for (const EndpointQos& reader : view.Readers(c.topic)) {
      EXPECT_EQ(reader.type_name, kPlainType);
      EXPECT_EQ(reader.reliability, Reliability(c.src_reliable));
      if (reader.durability != DDS_DURABILITY_TRANSIENT_LOCAL) {
        EXPECT_EQ(reader.durability, Durability(dds_DATAREADER_QOS_DEFAULT.durability.kind));
      }
      EXPECT_EQ(reader.history, History(dds_DATAREADER_QOS_DEFAULT.history.kind));
    }
    for (const EndpointQos& writer : view.Writers(c.topic)) {
      EXPECT_EQ(writer.type_name, kPlainType);
      EXPECT_EQ(writer.reliability, Reliability(c.dst_reliable));
      EXPECT_EQ(writer.durability, Durability(dds_DATAWRITER_QOS_DEFAULT.durability.kind));
      EXPECT_EQ(writer.history, History(dds_DATAWRITER_QOS_DEFAULT.history.kind));
    }
  }
}

}  // namespace
}  // namespace relay_core_test
