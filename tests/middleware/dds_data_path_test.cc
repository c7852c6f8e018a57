// The raw data path against typed Cyclone DDS peers: take, write, loans,
// sample information. Each test uses its own domain ids.

#include <dds/ddsi/ddsi_serdata.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <ostream>
#include <string>
#include <vector>

#include "dds_test_support.h"
#include "middleware/common/engine.h"
#include "middleware/cyclone/entities.h"
#include "middleware/cyclone/latched.h"

namespace corvane_test {
namespace {

constexpr dds_time_t kFirstTimestamp = DDS_SECS(1600000000) + 123457;

void SetPayload(dds_sequence_octet* seq, std::vector<uint8_t>& bytes) {
  seq->_buffer = bytes.data();
  seq->_length = static_cast<uint32_t>(bytes.size());
  seq->_maximum = seq->_length;
  seq->_release = false;
}

dds_return_t WriteTyped(dds_entity_t writer, bool keyed, int32_t n, std::vector<uint8_t>& payload,
                        dds_time_t timestamp) {
  if (keyed) {
    corvane_test_KeyedSample sample{};
    sample.id = n;
    SetPayload(&sample.payload, payload);
    return dds_write_ts(writer, &sample, timestamp);
  }
  corvane_test_KeylessSample sample{};
  sample.seq = n;
  SetPayload(&sample.payload, payload);
  return dds_write_ts(writer, &sample, timestamp);
}

// A typed sample taken from a typed reader, reduced to what the tests compare.
struct TypedCopy {
  int32_t n;
  std::vector<uint8_t> payload;
  dds_time_t source_timestamp;
};

std::vector<TypedCopy> TakeTyped(dds_entity_t reader, bool keyed) {
  void* samples[16] = {};
  dds_sample_info_t infos[16];
  const int count = dds_take(reader, samples, infos, 16, 16);
  std::vector<TypedCopy> copies;
  for (int i = 0; i < count; i++) {
    if (!infos[i].valid_data) continue;
    const dds_sequence_octet* payload;
    int32_t n;
    if (keyed) {
      const auto* sample = static_cast<const corvane_test_KeyedSample*>(samples[i]);
      n = sample->id;
      payload = &sample->payload;
    } else {
      const auto* sample = static_cast<const corvane_test_KeylessSample*>(samples[i]);
      n = sample->seq;
      payload = &sample->payload;
    }
    copies.push_back({n,
                      std::vector<uint8_t>(payload->_buffer, payload->_buffer + payload->_length),
                      infos[i].source_timestamp});
  }
  if (count > 0) dds_return_loan(reader, samples, count);
  return copies;
}

int32_t KeylessSeqOf(const TakenSample& sample) {
  int32_t seq;  // little-endian XCDR1: 4-byte header, then the long
  std::memcpy(&seq, sample.bytes.data() + 4, sizeof seq);
  return seq;
}

// --- relay across domains -----------------------------------------------------

struct RelayCase {
  const char* name;
  bool keyed;
  dds_domainid_t src;
  dds_domainid_t dst;
};

void PrintTo(const RelayCase& c, std::ostream* os) {
  *os << c.name;
}

class RelayTest : public ::testing::TestWithParam<RelayCase> {};

TEST_P(RelayTest, CarriesBytesAndSourceTimestampUnchanged) {
  const RelayCase& c = GetParam();
  const char* topic_name = c.keyed ? "relay_keyed" : "relay_keyless";
  const char* type_name = c.keyed ? kKeyedType : kKeylessType;
  const dds_topic_descriptor_t* type =
      c.keyed ? &corvane_test_KeyedSample_desc : &corvane_test_KeylessSample_desc;

  TypedPeer source(c.src, type, topic_name);
  TypedPeer sink(c.dst, type, topic_name);
  LayerDomain relay_src(c.src), relay_dst(c.dst), probe(c.dst);
  ASSERT_TRUE(source.ok() && sink.ok() && relay_src.ok() && relay_dst.ok() && probe.ok());
  dds_DataReader* relay_reader = relay_src.Reader(relay_src.Topic(topic_name, type_name), true);
  dds_DataWriter* relay_writer = relay_dst.Writer(relay_dst.Topic(topic_name, type_name), true);
  dds_DataReader* probe_reader = probe.Reader(probe.Topic(topic_name, type_name), true);
  ASSERT_TRUE(relay_reader && relay_writer && probe_reader);
  const dds_entity_t typed_writer = source.Writer();
  const dds_entity_t typed_reader = sink.Reader();
  ASSERT_TRUE(WaitFor([&] {
    return PublicationsMatched(typed_writer) == 1 && SubscriptionsMatched(typed_reader) == 1 &&
           PublicationsMatched(relay_writer) == 3 && SubscriptionsMatched(relay_reader) == 1;
  })) << "each typed peer matches exactly the relay endpoint of its own kind";

  constexpr int kSamples = 5;
  std::vector<std::vector<uint8_t>> payloads;
  for (int i = 0; i < kSamples; i++) {
    payloads.push_back(Payload(static_cast<size_t>(1 + 700 * i), static_cast<uint32_t>(i)));
    ASSERT_EQ(WriteTyped(typed_writer, c.keyed, i, payloads.back(), kFirstTimestamp + i * 1000),
              DDS_RETCODE_OK);
  }

  std::vector<TakenSample> relayed;
  ASSERT_TRUE(WaitFor([&] {
    for (TakenSample& s : ForwardOnce(relay_reader, relay_writer)) relayed.push_back(std::move(s));
    return relayed.size() >= kSamples;
  }));
  std::vector<TakenSample> probed;
  ASSERT_TRUE(WaitFor([&] {
    for (TakenSample& s : TakeCopies(probe_reader, 8)) probed.push_back(std::move(s));
    return probed.size() >= kSamples;
  }));
  std::vector<TypedCopy> received;
  ASSERT_TRUE(WaitFor([&] {
    for (TypedCopy& s : TakeTyped(typed_reader, c.keyed)) received.push_back(std::move(s));
    return received.size() >= kSamples;
  }));

  ASSERT_EQ(relayed.size(), size_t{kSamples});
  ASSERT_EQ(probed.size(), size_t{kSamples});
  ASSERT_EQ(received.size(), size_t{kSamples});
  for (int i = 0; i < kSamples; i++) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(relayed[i].info.valid_data);
    EXPECT_EQ(relayed[i].keyed, c.keyed);
    EXPECT_EQ(relayed[i].info.source_timestamp, kFirstTimestamp + i * 1000);
    EXPECT_EQ(probed[i].bytes, relayed[i].bytes);
    EXPECT_EQ(probed[i].info.source_timestamp, kFirstTimestamp + i * 1000);
    EXPECT_EQ(probed[i].keyed, c.keyed);
    EXPECT_EQ(received[i].n, i);
    EXPECT_EQ(received[i].payload, payloads[i]);
    EXPECT_EQ(received[i].source_timestamp, kFirstTimestamp + i * 1000);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, RelayTest,
                         ::testing::Values(RelayCase{"Keyed", true, 10, 11},
                                           RelayCase{"Keyless", false, 12, 13}),
                         [](const ::testing::TestParamInfo<RelayCase>& info) {
                           return std::string(info.param.name);
                         });

// --- fragmented samples from another process ---------------------------------

// Samples larger than a datagram reach the raw type as a fragment chain, which
// only happens between processes: ddsperf publishes 64 KiB keyed samples.
TEST(RawDataPathTest, ReassemblesFragmentedSamplesFromAnotherProcess) {
  constexpr dds_domainid_t kDomain = 14;
  if (std::system("command -v ddsperf > /dev/null 2>&1") != 0) GTEST_SKIP() << "no ddsperf";
  LayerDomain relay(kDomain);
  ASSERT_TRUE(relay.ok());
  dds_DataReader* reader = relay.Reader(relay.Topic("DDSPerfRDataKS", "KeyedSeq"), true);
  ASSERT_NE(reader, nullptr);

  const std::string command = "timeout 20 ddsperf -i " + std::to_string(kDomain) +
                              " -D 3 pub 50Hz size 64k > /dev/null 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> publisher(popen(command.c_str(), "r"), pclose);
  ASSERT_TRUE(publisher);

  std::vector<TakenSample> taken;
  WaitFor([&] {
    for (TakenSample& s : TakeCopies(reader, 8)) {
      if (s.info.valid_data) taken.push_back(std::move(s));
    }
    return taken.size() >= 5;
  });
  ASSERT_GE(taken.size(), 5u);
  for (const TakenSample& s : taken) {
    EXPECT_TRUE(s.keyed);
    // Header, then 64 KiB: seq, keyval, octet count and the octets.
    ASSERT_EQ(s.bytes.size(), 4u + 65536u);
    uint32_t octets;
    std::memcpy(&octets, s.bytes.data() + 12, sizeof octets);
    EXPECT_EQ(octets, 65536u - 12u);
  }
}

// --- samples without valid data -----------------------------------------------

TEST(RawDataPathTest, DisposeAndUnregisterArriveWithoutValidDataAndAreNotRelayed) {
  constexpr dds_domainid_t kDomain = 15;
  TypedPeer source(kDomain, &corvane_test_KeyedSample_desc, "lifecycle");
  TypedPeer sink(kDomain, &corvane_test_KeyedSample_desc, "lifecycle_out");
  LayerDomain relay(kDomain);
  ASSERT_TRUE(source.ok() && sink.ok() && relay.ok());
  dds_DataReader* reader = relay.Reader(relay.Topic("lifecycle", kKeyedType), true);
  dds_DataWriter* writer = relay.Writer(relay.Topic("lifecycle_out", kKeyedType), true);
  // Without auto-dispose, so that the unregistration leaves "no writers".
  const dds_entity_t typed_writer = source.Writer(true, false, false);
  const dds_entity_t typed_reader = sink.Reader();
  ASSERT_TRUE(WaitFor([&] {
    return PublicationsMatched(typed_writer) == 1 && SubscriptionsMatched(typed_reader) == 1 &&
           SubscriptionsMatched(reader) == 1 && PublicationsMatched(writer) == 1;
  }));

  std::vector<uint8_t> payload = Payload(16, 1);
  corvane_test_KeyedSample sample{};
  SetPayload(&sample.payload, payload);
  struct Step {
    const char* what;
    dds_return_t (*act)(dds_entity_t, const void*);
    bool valid_data;
    uint32_t instance_state;  // DDS numbering: alive 1, disposed 2, no writers 4
  };
  const Step steps[] = {
      {"write", dds_write, true, 1},
      {"dispose", dds_dispose, false, 2},
      {"write again", dds_write, true, 1},
      {"unregister", dds_unregister_instance, false, 4},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    ASSERT_EQ(step.act(typed_writer, &sample), DDS_RETCODE_OK);
    std::vector<TakenSample> taken;
    ASSERT_TRUE(WaitFor([&] {
      taken = ForwardOnce(reader, writer);
      return !taken.empty();
    }));
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].info.valid_data, step.valid_data);
    EXPECT_EQ(taken[0].info.instance_state, step.instance_state);
  }
  std::vector<TypedCopy> received;
  WaitFor([&] {
    for (TypedCopy& s : TakeTyped(typed_reader, true)) received.push_back(std::move(s));
    return received.size() >= 2;
  });
  EXPECT_EQ(received.size(), 2u) << "only the two writes are relayed";
}

// --- batch limits --------------------------------------------------------------

TEST(RawDataPathTest, TakesAtMostTheLimitAndLeavesTheRestInOrder) {
  constexpr dds_domainid_t kDomain = 16;
  TypedPeer source(kDomain, &corvane_test_KeylessSample_desc, "batch");
  LayerDomain relay(kDomain);
  ASSERT_TRUE(source.ok() && relay.ok());
  dds_DataReader* reader = relay.Reader(relay.Topic("batch", kKeylessType), true);
  const dds_entity_t typed_writer = source.Writer();
  ASSERT_TRUE(WaitFor(
      [&] { return PublicationsMatched(typed_writer) == 1 && SubscriptionsMatched(reader) == 1; }));

  std::vector<uint8_t> payload = Payload(8, 2);
  for (int i = 0; i < 20; i++)
    ASSERT_EQ(WriteTyped(typed_writer, false, i, payload, dds_time()), 0);
  ASSERT_EQ(dds_wait_for_acks(typed_writer, DDS_SECS(5)), DDS_RETCODE_OK);

  int32_t next = 0;
  for (const size_t expected : {8u, 8u, 4u}) {
    dds_ReturnCode_t rc;
    const std::vector<TakenSample> taken = TakeCopies(reader, 8, &rc);
    ASSERT_EQ(rc, dds_RETCODE_OK);
    ASSERT_EQ(taken.size(), expected);
    for (const TakenSample& s : taken) EXPECT_EQ(KeylessSeqOf(s), next++);
  }
  dds_ReturnCode_t rc;
  EXPECT_TRUE(TakeCopies(reader, 8, &rc).empty());
  EXPECT_EQ(rc, dds_RETCODE_NO_DATA);
}

TEST(RawDataPathTest, TakesShareTheLimitBetweenKeyedAndKeylessPeers) {
  constexpr dds_domainid_t kDomain = 17;
  constexpr char kTopic[] = "both_kinds";
  constexpr char kType[] = "corvane_test::Mixed";
  // A keyed and a keyless peer of one topic name and one type name.
  const dds_topic_descriptor_t keyed_type = Renamed(corvane_test_KeyedSample_desc, kType);
  const dds_topic_descriptor_t keyless_type = Renamed(corvane_test_KeylessSample_desc, kType);
  TypedPeer keyed_source(kDomain, &keyed_type, kTopic);
  TypedPeer keyless_source(kDomain, &keyless_type, kTopic);
  LayerDomain relay(kDomain);
  ASSERT_TRUE(keyed_source.ok() && keyless_source.ok() && relay.ok());
  dds_DataReader* reader = relay.Reader(relay.Topic(kTopic, kType), true);
  ASSERT_NE(reader, nullptr);
  const dds_entity_t keyed_writer = keyed_source.Writer();
  const dds_entity_t keyless_writer = keyless_source.Writer();
  ASSERT_TRUE(WaitFor([&] {
    return PublicationsMatched(keyed_writer) == 1 && PublicationsMatched(keyless_writer) == 1;
  }));

  constexpr int kEach = 6;
  std::vector<uint8_t> payload = Payload(8, 3);
  for (int i = 0; i < kEach; i++) {
    ASSERT_EQ(WriteTyped(keyed_writer, true, i, payload, dds_time()), DDS_RETCODE_OK);
    ASSERT_EQ(WriteTyped(keyless_writer, false, i, payload, dds_time()), DDS_RETCODE_OK);
  }
  ASSERT_EQ(dds_wait_for_acks(keyed_writer, DDS_SECS(5)), DDS_RETCODE_OK);
  ASSERT_EQ(dds_wait_for_acks(keyless_writer, DDS_SECS(5)), DDS_RETCODE_OK);

  // Takes follow the order of arrival across both kinds, each kind in its
  // writer's order.
  const std::vector<TakenSample> first = TakeCopies(reader, 1);
  ASSERT_EQ(first.size(), 1u);
  int keyed = 0, keyless = 0;
  const auto count = [&](const TakenSample& s) {
    EXPECT_EQ(KeylessSeqOf(s), s.keyed ? keyed : keyless);  // id or seq: the first long
    (s.keyed ? keyed : keyless)++;
  };
  count(first[0]);
  for (int round = 0; round < 10; round++) {
    const std::vector<TakenSample> taken = TakeCopies(reader, 4);
    if (taken.empty()) break;
    EXPECT_LE(taken.size(), 4u);
    for (const TakenSample& s : taken) count(s);
  }
  EXPECT_EQ(keyed, kEach);
  EXPECT_EQ(keyless, kEach);
}

// --- the write -----------------------------------------------------------------

TEST(RawDataPathTest, WritesAlteredOrUnlentBytesAsCopies) {
  constexpr dds_domainid_t kDomain = 18;
  LayerDomain relay(kDomain), probe(kDomain);
  ASSERT_TRUE(relay.ok() && probe.ok());
  dds_DataWriter* writer = relay.Writer(relay.Topic("copies", kKeylessType), true);
  dds_DataReader* reader = probe.Reader(probe.Topic("copies", kKeylessType), true);
  ASSERT_TRUE(writer && reader);
  ASSERT_TRUE(WaitFor(
      [&] { return PublicationsMatched(writer) == 2 && SubscriptionsMatched(reader) == 2; }));
  const std::vector<uint8_t> bytes = {0, 1, 0, 0, 42, 0, 0, 0, 0, 0, 0, 0};

  EXPECT_EQ(dds_DataWriter_raw_write_w_sampleinfoex(nullptr, bytes.data(), 12, nullptr),
            dds_RETCODE_BAD_PARAMETER);
  EXPECT_EQ(dds_DataWriter_raw_write_w_sampleinfoex(writer, bytes.data(), 3, nullptr),
            dds_RETCODE_BAD_PARAMETER)
      << "shorter than an encapsulation header";

  dds_SampleInfo info{};
  info.valid_data = true;
  info.source_timestamp = kFirstTimestamp;
  ASSERT_EQ(dds_DataWriter_raw_write_w_sampleinfoex(writer, bytes.data(), 12, &info),
            dds_RETCODE_OK);
  // Without sample information the kind is unknown: both kinds get it.
  ASSERT_EQ(dds_DataWriter_raw_write_w_sampleinfoex(writer, bytes.data(), 12, nullptr),
            dds_RETCODE_OK);

  std::vector<TakenSample> taken;
  WaitFor([&] {
    for (TakenSample& s : TakeCopies(reader, 8)) taken.push_back(std::move(s));
    return taken.size() >= 3;
  });
  ASSERT_EQ(taken.size(), 3u);
  // The two kinds travel apart, so only the keyless samples keep their order.
  int keyed = 0;
  std::vector<dds_time_t> keyless_timestamps;
  for (const TakenSample& s : taken) {
    EXPECT_EQ(s.bytes, bytes);
    keyed += s.keyed ? 1 : 0;
    if (!s.keyed) keyless_timestamps.push_back(s.info.source_timestamp);
  }
  EXPECT_EQ(keyed, 1);
  ASSERT_EQ(keyless_timestamps.size(), 2u);
  EXPECT_EQ(keyless_timestamps[0], kFirstTimestamp);
}

// A write that Cyclone refuses before taking the forwarded sample over (its
// writer is gone) must not keep a reference to the lent sample.
TEST(RawDataPathTest, RefusedForwardKeepsNoReferenceToTheLentSample) {
  constexpr dds_domainid_t kDomain = 222;
  LayerDomain relay(kDomain), probe(kDomain);
  ASSERT_TRUE(relay.ok() && probe.ok());
  dds_Topic* topic = relay.Topic("refused", kKeylessType);
  dds_DataReader* reader = relay.Reader(topic, true);
  dds_DataWriter* writer = relay.Writer(topic, true);
  dds_DataWriter* source = probe.Writer(probe.Topic("refused", kKeylessType), true);
  ASSERT_TRUE(reader && writer && source);
  ASSERT_TRUE(WaitFor(
      [&] { return PublicationsMatched(source) == 2 && SubscriptionsMatched(reader) == 2; }));
  const std::vector<uint8_t> bytes = {0, 1, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0};
  dds_SampleInfo keyless{};
  keyless.valid_data = true;
  ASSERT_EQ(dds_DataWriter_raw_write_w_sampleinfoex(source, bytes.data(), 12, &keyless), 0);

  TakeSequences seqs;
  ASSERT_TRUE(WaitFor([&] {
    return dds_DataReader_raw_take_w_sampleinfoex(reader, 0, seqs.data, seqs.infos, seqs.sizes, 1,
                                                  dds_ANY_SAMPLE_STATE, dds_ANY_VIEW_STATE,
                                                  dds_ANY_INSTANCE_STATE) == dds_RETCODE_OK;
  }));
  const dds_SampleInfo* info = dds_SampleInfoSeq_get(seqs.infos, 0);
  ddsi_serdata* lent = info->origin->cyclone->serdata;
  const uint32_t references = ddsrt_atomic_ld32(&lent->refc);
  dds_delete(CycloneEntity(writer, info->origin->cyclone->kind));
  // The source (a layer writer) is transient-local: sent as from a volatile
  // one, the sample goes through the writer just deleted.
  corvane_dds::CycloneSample volatile_sample = *info->origin->cyclone;
  volatile_sample.history_depth = 0;
  dds_SampleOrigin volatile_origin = *info->origin;
  volatile_origin.cyclone = &volatile_sample;
  dds_SampleInfo as_volatile = *info;
  as_volatile.origin = &volatile_origin;
  EXPECT_NE(
      dds_DataWriter_raw_write_w_sampleinfoex(writer, dds_DataSeq_get(seqs.data, 0),
                                              dds_UnsignedLongSeq_get(seqs.sizes, 0), &as_volatile),
      dds_RETCODE_OK);
  EXPECT_EQ(ddsrt_atomic_ld32(&lent->refc), references);
  dds_DataReader_raw_return_loan(reader, seqs.data, seqs.infos, seqs.sizes);
}

TEST(RawDataPathTest, ReadersIgnoreWritersOfTheirOwnParticipant) {
  constexpr dds_domainid_t kDomain = 19;
  LayerDomain relay(kDomain), other(kDomain);
  ASSERT_TRUE(relay.ok() && other.ok());
  dds_Topic* topic = relay.Topic("own", kKeylessType);
  dds_DataWriter* writer = relay.Writer(topic, true);
  dds_DataReader* own_reader = relay.Reader(topic, true);
  dds_DataReader* other_reader = other.Reader(other.Topic("own", kKeylessType), true);
  ASSERT_TRUE(writer && own_reader && other_reader);
  // Only the other participant's reader matches the writer (both kinds).
  ASSERT_TRUE(WaitFor([&] { return SubscriptionsMatched(other_reader) == 2; }));
  EXPECT_EQ(SubscriptionsMatched(own_reader), 0);

  const std::vector<uint8_t> bytes = {0, 1, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0};
  dds_SampleInfo info{};
  info.valid_data = true;
  info.source_timestamp = kFirstTimestamp;
  ASSERT_EQ(dds_DataWriter_raw_write_w_sampleinfoex(writer, bytes.data(), 12, &info), 0);
  ASSERT_TRUE(WaitFor([&] { return !TakeCopies(other_reader, 8).empty(); }));
  dds_ReturnCode_t rc;
  EXPECT_TRUE(TakeCopies(own_reader, 8, &rc).empty());
  EXPECT_EQ(rc, dds_RETCODE_NO_DATA);
}

TEST(RawDataPathTest, LateTransientLocalSubscriberGetsTheLastSample) {
  constexpr dds_domainid_t kDomain = 20;
  LayerDomain relay(kDomain);
  ASSERT_TRUE(relay.ok());
  dds_DataWriter* writer = relay.Writer(relay.Topic("late", kKeylessType), true);
  ASSERT_NE(writer, nullptr);
  for (int32_t i = 0; i < 3; i++) {
    std::vector<uint8_t> bytes = {0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    bytes[4] = static_cast<uint8_t>(i);
    dds_SampleInfo info{};
    info.valid_data = true;
    info.source_timestamp = kFirstTimestamp + i;
    ASSERT_EQ(dds_DataWriter_raw_write_w_sampleinfoex(writer, bytes.data(), 12, &info), 0);
  }

  // A volatile reader matches too. (Whether it also gets the kept sample is
  // Cyclone's choice: a writer in another process sends it to volatile
  // readers as well.)
  TypedPeer late(kDomain, &corvane_test_KeylessSample_desc, "late");
  ASSERT_TRUE(late.ok());
  const dds_entity_t durable_reader = late.Reader(true, true);
  const dds_entity_t volatile_reader = late.Reader(true, false);
  ASSERT_TRUE(WaitFor([&] {
    return SubscriptionsMatched(durable_reader) == 1 && SubscriptionsMatched(volatile_reader) == 1;
  }));
  std::vector<TypedCopy> received;
  WaitFor([&] {
    for (TypedCopy& s : TakeTyped(durable_reader, false)) received.push_back(std::move(s));
    return !received.empty();
  });
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].n, 2);
  EXPECT_EQ(received[0].source_timestamp, kFirstTimestamp + 2);
}

// Writes one sample of `size` payload bytes, numbered `n`, as taken from
// transient-local publication `publication` that keeps one sample.
void WriteLatched(dds_DataWriter* writer, int32_t n, uint64_t publication, uint32_t size) {
  std::vector<uint8_t> bytes(12 + size, 0);
  bytes[1] = 1;
  std::memcpy(&bytes[4], &n, 4);
  std::memcpy(&bytes[8], &size, 4);
  dds_SampleInfo info{};
  info.valid_data = true;
  info.source_timestamp = kFirstTimestamp + n;
  info.publication_handle = publication;
  const corvane_dds::CycloneSample latched{nullptr, corvane_dds::kKeyless, 1, 0};
  dds_SampleOrigin origin;
  origin.cyclone = &latched;
  info.origin = &origin;
  ASSERT_EQ(dds_DataWriter_raw_write_w_sampleinfoex(writer, bytes.data(),
                                                    static_cast<uint32_t>(bytes.size()), &info),
            0);
}

// A burst of new transient-local publications gets history writers only up
// to the rate bound; the others' samples still go out, and the relay writer
// keeps the last of them.
TEST(RawDataPathTest, HistoryWritersAreBoundedInRate) {
  constexpr dds_domainid_t kDomain = 154;
  constexpr int32_t kPublications = 200;
  LayerDomain relay(kDomain);
  ASSERT_TRUE(relay.ok());
  dds_DataWriter* writer = relay.Writer(relay.Topic("churn", kKeylessType), true);
  ASSERT_NE(writer, nullptr);
  const auto start = std::chrono::steady_clock::now();
  for (int32_t n = 1; n <= kPublications; n++) {
    ASSERT_NO_FATAL_FAILURE(WriteLatched(writer, n, static_cast<uint64_t>(n), 4));
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;

  TypedPeer late(kDomain, &corvane_test_KeylessSample_desc, "churn");
  ASSERT_TRUE(late.ok());
  const dds_entity_t reader = late.Reader(true, true);
  std::vector<int32_t> received;
  WaitFor(
      [&] {
        for (TypedCopy& s : TakeTyped(reader, false)) received.push_back(s.n);
        return false;  // all that comes within the wait
      },
      std::chrono::seconds(3));
  std::sort(received.begin(), received.end());
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
  const size_t rate = corvane_dds::kMaxNewHistoryWritersPerSecond;
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received.back(), kPublications);  // the relay writer's last sample
  EXPECT_LE(received.size(), rate * static_cast<size_t>(seconds + 1) + 1);
  if (seconds == 0) {
    std::vector<int32_t> expected(rate);
    std::iota(expected.begin(), expected.end(), 1);
    expected.push_back(kPublications);
    EXPECT_EQ(received, expected);
  }
}

// Each transient-local publication's samples are kept apart; past 16 MiB in
// all, the oldest publication's go first.
TEST(RawDataPathTest, KeepsEachLatchedPublicationWithinTheByteBound) {
  constexpr dds_domainid_t kDomain = 184;
  constexpr uint32_t kPayload = 6 << 20;  // three are past the bound
  LayerDomain relay(kDomain);
  ASSERT_TRUE(relay.ok());
  dds_DataWriter* writer = relay.Writer(relay.Topic("latched", kKeylessType), true);
  ASSERT_NE(writer, nullptr);
  for (int32_t publication = 1; publication <= 3; publication++) {
    ASSERT_NO_FATAL_FAILURE(
        WriteLatched(writer, publication, static_cast<uint64_t>(publication), kPayload));
  }

  TypedPeer late(kDomain, &corvane_test_KeylessSample_desc, "latched");
  ASSERT_TRUE(late.ok());
  const dds_entity_t reader = late.Reader(true, true);
  std::vector<int32_t> received;
  WaitFor([&] {
    for (TypedCopy& s : TakeTyped(reader, false)) received.push_back(s.n);
    return received.size() >= 2;
  });
  std::sort(received.begin(), received.end());
  EXPECT_EQ(received, (std::vector<int32_t>{2, 3}));
}

}  // namespace
}  // namespace corvane_test
