// The peers' own bookkeeping: if it were wrong, the interoperability tests
// would compare the wrong things and pass.

#include "tests/interop/peer_payload.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/interop/interop_harness.h"
#include "tests/interop/peer_report.h"

namespace {

TEST(PeerPayloadTest, Crc32MatchesTheStandardCheckValue) {
  const std::string check = "123456789";
  EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0xCBF43926u);
  EXPECT_EQ(Crc32(nullptr, 0), 0u);
}

TEST(PeerPayloadTest, PayloadsDifferBetweenSequenceNumbers) {
  for (PeerKind kind : {PeerKind::kSample, PeerKind::kChatter}) {
    EXPECT_NE(MakePayload(kind, 1, 300), MakePayload(kind, 2, 300));
    EXPECT_EQ(MakePayload(kind, 7, 300), MakePayload(kind, 7, 300));
  }
  for (uint8_t byte : MakePayload(PeerKind::kChatter, 3, 500))
    EXPECT_TRUE(byte >= 'a' && byte <= 'z');
}

TEST(PeerPayloadTest, ChatterTextSplitsBackOrRefuses) {
  const std::vector<uint8_t> payload = MakePayload(PeerKind::kChatter, 42, 10);
  uint32_t seq = 0;
  std::vector<uint8_t> split;
  ASSERT_TRUE(SplitChatterText(ComposeChatterText(42, payload), &seq, &split));
  EXPECT_EQ(seq, 42u);
  EXPECT_EQ(split, payload);
  ASSERT_TRUE(SplitChatterText("9:", &seq, &split));
  EXPECT_TRUE(split.empty());
  for (const char* bad : {"", ":abc", "abc", "12a:x", "99999999999:x"}) {
    EXPECT_FALSE(SplitChatterText(bad, &seq, &split)) << bad;
  }
}

std::string Sent(uint32_t seq, int64_t stamp) {
  PeerSample sample;
  sample.seq = seq;
  sample.payload = MakePayload(PeerKind::kSample, seq, 16);
  sample.source_timestamp_ns = stamp;
  return FormatSampleLine("sent", sample);
}

std::string Received(uint32_t seq, int64_t stamp, bool intact = true, uint32_t size = 16) {
  PeerSample sample;
  sample.seq = seq;
  sample.payload = MakePayload(PeerKind::kSample, seq, size);
  sample.source_timestamp_ns = stamp;
  return FormatReceivedLine(sample, intact);
}

TEST(CompareTrafficTest, FindsEachKindOfDifference) {
  const std::vector<std::string> sent = {"ready domain=1", Sent(1, 100), Sent(2, 200)};
  struct Case {
    const char* name;
    std::vector<std::string> received;
    bool expect_all;
    std::string verdict_start;  // Empty: no difference.
  } cases[] = {
      {"all", {"matched writers=1", Received(1, 100), Received(2, 200)}, true, ""},
      {"lost", {Received(2, 200)}, true, "1 of 2"},
      {"lost-best-effort", {Received(2, 200)}, false, ""},
      {"twice", {Received(1, 100), Received(1, 100)}, false, "sample 1 arrived twice"},
      {"altered", {Received(1, 100, false)}, false, "sample 1 arrived altered"},
      {"stamp", {Received(1, 101)}, false, "sample 1: stamp"},
      {"size", {Received(1, 100, true, 15)}, false, "sample 1: size"},
      {"unsent", {Received(3, 300)}, false, "sample 3 was never sent"},
      {"nothing", {"done received=0"}, false, "subscriber received nothing"},
  };
  for (const Case& c : cases) {
    const std::string verdict = CompareTraffic(sent, c.received, c.expect_all);
    if (c.verdict_start.empty()) {
      EXPECT_EQ(verdict, "") << c.name;
    } else {
      EXPECT_EQ(verdict.compare(0, c.verdict_start.size(), c.verdict_start), 0)
          << c.name << ": " << verdict;
    }
  }
}

}  // namespace
