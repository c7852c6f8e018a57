// corvane relaying plain DDS topics between real peers on loopback.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/dds_probe.h"
#include "tests/e2e/e2e_harness.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace corvane_e2e {
namespace {

using corvane_test::ChildExit;
using corvane_test::ChildProcess;
using corvane_test::TempDir;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Bounds discovery and delivery; reaching it means the relay failed.
constexpr milliseconds kDeliveryTimeout = seconds(30);
// How long to keep listening for samples that must not come.
constexpr milliseconds kQuietPeriod{1000};

// 2001-01-01 in ns since the epoch: far from now, so a relay that stamps its
// own time shows.
constexpr int64_t kStampBase = 978307200LL * 1000000000LL;

int64_t StampOf(uint32_t seq) {
  return kStampBase + static_cast<int64_t>(seq) * 1000003;
}

// Sizes from empty through a few fragments to well over 64 KiB.
size_t PayloadSize(uint32_t seq) {
  if (seq % 100 == 0) return 70000 + seq * 13;
  if (seq % 10 == 0) return 1300 + seq;
  return (seq * 37) % 700;
}

std::vector<Blob> MakeBlobs(uint32_t first_seq, uint32_t count) {
  std::mt19937 random(first_seq);
  std::vector<Blob> blobs(count);
  for (uint32_t i = 0; i < count; ++i) {
    blobs[i].seq = first_seq + i;
    blobs[i].payload.resize(PayloadSize(blobs[i].seq));
    for (uint8_t& byte : blobs[i].payload) byte = static_cast<uint8_t>(random());
  }
  return blobs;
}

::testing::AssertionResult WriteAll(BlobWriter* writer, const std::vector<Blob>& blobs) {
  for (const Blob& blob : blobs) {
    if (!writer->Write(blob, StampOf(blob.seq))) {
      return ::testing::AssertionFailure() << "write of sample " << blob.seq << " failed";
    }
  }
  return ::testing::AssertionSuccess();
}

// The relay is started with `rules` in a directory of the test's own and
// must stop with status 0 and a clean standard error.
class RelayTest : public testing::Test {
 protected:
  void StartWith(const std::vector<DdsRule>& rules) {
    std::string error;
    relay_ = StartRelay(dir_, RuleFile(rules), &error);
    ASSERT_NE(relay_, nullptr) << error;
  }

  void TearDown() override {
    if (relay_ == nullptr) return;
    ASSERT_TRUE(relay_->Running()) << "the relay ended on its own: " << relay_->Stderr();
    const ChildExit exit = StopRelay(relay_.get(), SIGTERM);
    EXPECT_TRUE(exit.ExitedWith(0)) << exit;
    EXPECT_EQ(relay_->Stdout(), "");
    EXPECT_FALSE(HasSanitizerReport(relay_->Stderr())) << relay_->Stderr();
  }

  TempDir dir_;
  std::unique_ptr<ChildProcess> relay_;
};

// ddsperf publishes its keyed sequence topic at full rate in the source
// domain; its subscriber in the destination domain counts the gaps.
TEST_F(RelayTest, DdsperfSamplesOfEverySizeCrossWithoutLoss) {
  if (std::string(CORVANE_E2E_DDSPERF).empty()) GTEST_SKIP() << "ddsperf is not installed";
  ASSERT_NO_FATAL_FAILURE(StartWith({{"DDSPerfRDataKS", "KeyedSeq", 45, 46}}));
  for (const int size : {64, 1024, 16384, 65536}) {
    SCOPED_TRACE("size " + std::to_string(size));
    std::string error;
    std::unique_ptr<ChildProcess> sub =
        ChildProcess::Start(DdsperfOptions(46, {"-D", "6", "sub"}), &error);
    ASSERT_NE(sub, nullptr) << error;
    ASSERT_TRUE(sub->WaitForStdout("(self)", kDeliveryTimeout)) << sub->Stderr();
    std::unique_ptr<ChildProcess> pub = ChildProcess::Start(
        DdsperfOptions(45, {"-D", "3", "pub", "size", std::to_string(size)}), &error);
    ASSERT_NE(pub, nullptr) << error;

    const ChildExit pub_exit = pub->Wait(kDeliveryTimeout);
    const ChildExit sub_exit = sub->Wait(kDeliveryTimeout);
    EXPECT_TRUE(pub_exit.ExitedWith(0)) << pub_exit << "\n" << pub->Stderr();
    EXPECT_TRUE(sub_exit.ExitedWith(0)) << sub_exit << "\n" << sub->Stderr();

    const std::vector<DdsperfSubLine> lines = ParseDdsperfSub(sub->Stdout());
    ASSERT_FALSE(lines.empty()) << "nothing arrived:\n" << sub->Stdout();
    for (const DdsperfSubLine& line : lines) {
      EXPECT_EQ(line.size, static_cast<uint64_t>(size));
      EXPECT_EQ(line.lost, 0u) << sub->Stdout();
    }
    EXPECT_GT(lines.back().total, 0u);
    std::cout << "size " << size << ": " << lines.back().total << " samples relayed\n";
  }
}

// A pattern rule finds ddsperf's topic once its publisher appears, and
// carries it without a gap.
TEST_F(RelayTest, PatternCarriesTheTopicItFindsWithoutLoss) {
  if (std::string(CORVANE_E2E_DDSPERF).empty()) GTEST_SKIP() << "ddsperf is not installed";
  ASSERT_NO_FATAL_FAILURE(StartWith({{"DDSPerfRData*", "*", 117, 118}}));
  std::string error;
  std::unique_ptr<ChildProcess> sub =
      ChildProcess::Start(DdsperfOptions(118, {"-D", "6", "sub"}), &error);
  ASSERT_NE(sub, nullptr) << error;
  ASSERT_TRUE(sub->WaitForStdout("(self)", kDeliveryTimeout)) << sub->Stderr();
  std::unique_ptr<ChildProcess> pub =
      ChildProcess::Start(DdsperfOptions(117, {"-D", "4", "pub", "5000Hz"}), &error);
  ASSERT_NE(pub, nullptr) << error;
  EXPECT_TRUE(pub->Wait(kDeliveryTimeout).ExitedWith(0)) << pub->Stderr();
  EXPECT_TRUE(sub->Wait(kDeliveryTimeout).ExitedWith(0)) << sub->Stderr();
  const std::vector<DdsperfSubLine> lines = ParseDdsperfSub(sub->Stdout());
  ASSERT_FALSE(lines.empty()) << "nothing arrived:\n" << sub->Stdout() << relay_->Stderr();
  for (const DdsperfSubLine& line : lines) EXPECT_EQ(line.lost, 0u) << sub->Stdout();
  EXPECT_NE(
      relay_->Stderr().find("rule 0 dds: bridging DDSPerfRDataKS (KeyedSeq), domain 117 -> 118"),
      std::string::npos)
      << relay_->Stderr();
}

// Samples of a keyless type, written with their own source timestamps, arrive
// unchanged, in order, each exactly once; nothing goes the other way.
TEST_F(RelayTest, EverySampleCrossesUnchangedAndNothingCrossesBack) {
  const std::string topic = "corvane_e2e_content";
  ASSERT_NO_FATAL_FAILURE(StartWith({{topic, kBlobTypeName, 47, 48}}));
  Participant src(47);
  Participant dst(48);
  ASSERT_TRUE(src.ok() && dst.ok());
  BlobWriter writer(src, topic);
  BlobReader relayed(dst, topic, Heard::kRemoteOnly);
  BlobReader echoed(src, topic, Heard::kRemoteOnly);
  ASSERT_TRUE(writer.ok() && relayed.ok() && echoed.ok());
  ASSERT_TRUE(writer.WaitForReaders(1, kDeliveryTimeout)) << "the relay's reader never matched";
  ASSERT_TRUE(relayed.WaitForWriters(1, kDeliveryTimeout)) << "the relay's writer never matched";
  ASSERT_TRUE(WaitUntilHeard(&writer, &relayed, kDeliveryTimeout));

  constexpr uint32_t kCount = 2000;
  const std::vector<Blob> sent = MakeBlobs(0, kCount);
  ASSERT_TRUE(WriteAll(&writer, sent));
  EXPECT_TRUE(writer.WaitForAcks(kDeliveryTimeout));
  relayed.WaitForSamples(kCount, kDeliveryTimeout);
  relayed.CollectFor(kQuietPeriod / 4);  // duplicates would come now

  const std::vector<Blob>& got = relayed.received();
  ASSERT_EQ(got.size(), kCount);
  int mismatches = 0;
  for (uint32_t i = 0; i < kCount && mismatches < 5; ++i) {
    const bool same = got[i].seq == sent[i].seq && got[i].payload == sent[i].payload &&
                      got[i].source_timestamp == StampOf(sent[i].seq);
    if (same) continue;
    ++mismatches;
    ADD_FAILURE() << "sample " << i << ": got seq " << got[i].seq << ", " << got[i].payload.size()
                  << " bytes, stamp " << got[i].source_timestamp << "; sent seq " << sent[i].seq
                  << ", " << sent[i].payload.size() << " bytes, stamp " << StampOf(sent[i].seq);
  }

  // The other way: written in the destination domain, heard there, never
  // relayed into the source domain.
  BlobWriter back_writer(dst, topic);
  BlobReader back_local(dst, topic, Heard::kAll);
  ASSERT_TRUE(back_writer.ok() && back_local.ok());
  ASSERT_TRUE(back_writer.WaitForReaders(1, kDeliveryTimeout));
  const std::vector<Blob> back = MakeBlobs(100000, 200);
  ASSERT_TRUE(WriteAll(&back_writer, back));
  ASSERT_EQ(back_local.WaitForSamples(back.size(), kDeliveryTimeout), back.size());
  echoed.CollectFor(kQuietPeriod);
  EXPECT_EQ(echoed.received().size(), 0u) << "samples crossed against the rule's direction";
}

// Six rules between the same two domains, three each way: the domains'
// participants carry them all, their six topics spread over corvane's four
// Cyclone participants (its lanes) in each domain, and all relay.
TEST_F(RelayTest, RulesOverTheSameDomainsShareTheDomainsParticipants) {
  constexpr size_t kLanes = 4;
  const std::string forth = "corvane_e2e_share_forth";
  const std::string back = "corvane_e2e_share_back";
  Participant d49(49);
  Participant d50(50);
  ASSERT_TRUE(d49.ok() && d50.ok());
  ParticipantWatch watch49(d49);
  ParticipantWatch watch50(d50);
  ASSERT_TRUE(watch49.ok() && watch50.ok());
  std::vector<DdsRule> rules;
  for (const char* n : {"", "_2", "_3"}) {
    rules.push_back({forth + n, kBlobTypeName, 49, 50});
    rules.push_back({back + n, kBlobTypeName, 50, 49});
  }
  ASSERT_NO_FATAL_FAILURE(StartWith(rules));

  ASSERT_TRUE(watch49.WaitForAlive(kLanes, kDeliveryTimeout));
  ASSERT_TRUE(watch50.WaitForAlive(kLanes, kDeliveryTimeout));
  // A further participant would have been announced as fast as the others.
  watch49.PollFor(kQuietPeriod);
  watch50.PollFor(milliseconds(0));
  EXPECT_EQ(watch49.SeenCount(), kLanes);
  EXPECT_EQ(watch49.AliveCount(), kLanes);
  EXPECT_EQ(watch50.SeenCount(), kLanes);
  EXPECT_EQ(watch50.AliveCount(), kLanes);

  struct Path {
    const Participant& from;
    const Participant& to;
    std::string topic;
  };
  for (const Path& path : {Path{d49, d50, forth}, Path{d50, d49, back}}) {
    SCOPED_TRACE(path.topic);
    BlobWriter writer(path.from, path.topic);
    BlobReader reader(path.to, path.topic, Heard::kRemoteOnly);
    ASSERT_TRUE(writer.WaitForReaders(1, kDeliveryTimeout));
    ASSERT_TRUE(reader.WaitForWriters(1, kDeliveryTimeout));
    ASSERT_TRUE(WaitUntilHeard(&writer, &reader, kDeliveryTimeout));
    const std::vector<Blob> sent = MakeBlobs(0, 20);
    ASSERT_TRUE(WriteAll(&writer, sent));
    EXPECT_EQ(reader.WaitForSamples(sent.size(), kDeliveryTimeout), sent.size());
  }
}

// Rules A->B and B->A on one topic. Samples reach the other side exactly once
// and in order and never come back: first with a publisher in A only, then
// with publishers on both sides at once.
TEST_F(RelayTest, OppositeRulesOnOneTopicDoNotEcho) {
  const std::string topic = "corvane_e2e_echo";
  ASSERT_NO_FATAL_FAILURE(
      StartWith({{topic, kBlobTypeName, 51, 52}, {topic, kBlobTypeName, 52, 51}}));
  struct Side {
    Side(int domain, const std::string& topic)
        : participant(domain),
          writer(participant, topic),
          reader(participant, topic, Heard::kRemoteOnly) {}
    Participant participant;
    BlobWriter writer;
    BlobReader reader;  // hears the relay only
  };
  Side a(51, topic);
  Side b(52, topic);
  for (Side* side : {&a, &b}) {
    ASSERT_TRUE(side->participant.ok() && side->writer.ok() && side->reader.ok());
    ASSERT_TRUE(side->writer.WaitForReaders(1, kDeliveryTimeout)) << "no relay reader";
    // A relay writer on each side gives an echo its way back.
    ASSERT_TRUE(side->reader.WaitForWriters(1, kDeliveryTimeout)) << "no relay writer";
  }
  ASSERT_TRUE(WaitUntilHeard(&a.writer, &b.reader, kDeliveryTimeout));
  ASSERT_TRUE(WaitUntilHeard(&b.writer, &a.reader, kDeliveryTimeout));
  constexpr uint32_t kCount = 500;

  // Expects `reader` to have heard exactly `first_seq` .. `first_seq` + kCount - 1
  // after the samples it had already heard.
  const auto expect_heard = [&](const BlobReader& reader, size_t already, uint32_t first_seq) {
    const std::vector<Blob>& got = reader.received();
    EXPECT_EQ(got.size() - already, kCount);
    for (size_t i = 0; already + i < got.size(); ++i) {
      if (got[already + i].seq == first_seq + i) continue;
      ADD_FAILURE() << "heard sample " << got[already + i].seq << " where " << first_seq + i
                    << " was due";
      return;
    }
  };

  {
    SCOPED_TRACE("publisher in A");
    ASSERT_TRUE(WriteAll(&a.writer, MakeBlobs(0, kCount)));
    b.reader.WaitForSamples(kCount, kDeliveryTimeout);
    b.reader.CollectFor(kQuietPeriod);  // echoes would come now
    a.reader.CollectFor(milliseconds(0));
    expect_heard(b.reader, 0, 0);
    EXPECT_EQ(a.reader.received().size(), 0u) << "samples came back to A";
  }
  {
    SCOPED_TRACE("publishers in A and B");
    constexpr uint32_t kFirstOfA = 1000;
    constexpr uint32_t kFirstOfB = 100000;
    const size_t heard_in_a = a.reader.received().size();
    const size_t heard_in_b = b.reader.received().size();
    ::testing::AssertionResult b_written = ::testing::AssertionSuccess();
    std::thread b_publisher([&] { b_written = WriteAll(&b.writer, MakeBlobs(kFirstOfB, kCount)); });
    EXPECT_TRUE(WriteAll(&a.writer, MakeBlobs(kFirstOfA, kCount)));
    b_publisher.join();
    EXPECT_TRUE(b_written);
    a.reader.WaitForSamples(heard_in_a + kCount, kDeliveryTimeout);
    b.reader.WaitForSamples(heard_in_b + kCount, kDeliveryTimeout);
    a.reader.CollectFor(kQuietPeriod);
    b.reader.CollectFor(milliseconds(0));
    {
      SCOPED_TRACE("heard in A");
      expect_heard(a.reader, heard_in_a, kFirstOfB);
    }
    {
      SCOPED_TRACE("heard in B");
      expect_heard(b.reader, heard_in_b, kFirstOfA);
    }
  }
}

// Copies of each sequence number among `blobs`, which must all lie below `count`.
std::vector<int> CopiesBySeq(const std::vector<Blob>& blobs, uint32_t count) {
  std::vector<int> copies(count, 0);
  for (const Blob& blob : blobs) {
    if (blob.seq < count) ++copies[blob.seq];
  }
  return copies;
}

// A rule whose source and destination are one domain: the relay forwards each
// sample into that domain once and does not feed on its own output, so each
// sample is heard there twice, from the publisher and from the relay.
TEST_F(RelayTest, RuleWithinOneDomainDoesNotLoop) {
  const std::string topic = "corvane_e2e_loop";
  ASSERT_NO_FATAL_FAILURE(StartWith({{topic, kBlobTypeName, 53, 53}}));
  Participant d53(53);
  ASSERT_TRUE(d53.ok());
  BlobWriter writer(d53, topic);
  BlobReader everything(d53, topic, Heard::kAll);
  BlobReader from_relay(d53, topic, Heard::kRemoteOnly);
  ASSERT_TRUE(writer.ok() && everything.ok() && from_relay.ok());
  ASSERT_TRUE(writer.WaitForReaders(2, kDeliveryTimeout)) << "the relay's reader never matched";
  ASSERT_TRUE(from_relay.WaitForWriters(1, kDeliveryTimeout));
  ASSERT_TRUE(WaitUntilHeard(&writer, &from_relay, kDeliveryTimeout));

  constexpr uint32_t kCount = 300;
  ASSERT_TRUE(WriteAll(&writer, MakeBlobs(0, kCount)));
  from_relay.WaitForSamples(kCount, kDeliveryTimeout);
  from_relay.CollectFor(kQuietPeriod);  // a loop would keep the copies coming
  everything.WaitForSamples(2 * kCount, kQuietPeriod);
  everything.CollectFor(milliseconds(0));

  EXPECT_EQ(from_relay.received().size(), kCount);
  EXPECT_EQ(everything.received().size(), 2 * kCount);
  const std::vector<int> relayed = CopiesBySeq(from_relay.received(), kCount);
  const std::vector<int> heard = CopiesBySeq(everything.received(), kCount);
  int reported = 0;
  for (uint32_t seq = 0; seq < kCount && reported < 5; ++seq) {
    if (relayed[seq] == 1 && heard[seq] == 2) continue;
    ++reported;
    ADD_FAILURE() << "sample " << seq << ": relayed " << relayed[seq] << " times, heard "
                  << heard[seq] << " times";
  }
}

}  // namespace
}  // namespace corvane_e2e
