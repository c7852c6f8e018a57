// The ledger of relayed requests: a reply finds its client once, however
// late; entries of clients that left go after a grace period, and the ledger
// stays bounded, oldest first.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>

#include "middleware/fastdds/request_ledger.h"

namespace {

using corvane_dds::RequestLedger;
using corvane_dds::SampleIdentity;
using std::chrono::seconds;

// Request n came from a client whose sequence number has both halves set.
SampleIdentity ClientOf(int64_t n) {
  SampleIdentity client;
  client.guid.bytes[0] = 0x01;
  client.guid.bytes[15] = static_cast<uint8_t>(n);
  client.high = 7;
  client.low = 0xFFFFFF00u + static_cast<uint32_t>(n % 0x100);
  return client;
}

// The request writer of client n.
corvane_dds::Guid WriterOf(int64_t n) {
  corvane_dds::Guid writer = ClientOf(n).guid;
  writer.bytes[14] = 0x03;
  return writer;
}

struct LedgerCase {
  const char* name;
  int64_t recorded;    // requests 1..recorded, published as sequence 1..recorded
  bool publish_fails;  // the writer refused every request
  seconds later;       // time between the last record and the claims
  int64_t claimed;     // claimed twice
  bool found;          // the first claim finds ClientOf(claimed)
  size_t left;         // entries after the claims
  int64_t gone = 0;    // clients 1..gone left, noticed a second before `later`
};

void PrintTo(const LedgerCase& test, std::ostream* out) {
  *out << test.name;
}

class RequestLedgerTest : public ::testing::TestWithParam<LedgerCase> {};

TEST_P(RequestLedgerTest, ReplyFindsItsClientOnceWithinBounds) {
  const LedgerCase& test = GetParam();
  RequestLedger::Clock::time_point now{};
  RequestLedger ledger("rq/echoRequest", [&now] { return now; });
  const auto writers = std::make_shared<corvane_dds::MatchedPeers>();
  for (int64_t n = 1; n <= test.recorded; n++) {
    writers->Change(WriterOf(n), 1);
    ledger.PublishAndRecord(
        [&]() -> std::optional<int64_t> {
          if (test.publish_fails) return std::nullopt;
          return n;
        },
        corvane_dds::ReplyTarget{ClientOf(n)}, RequestLedger::Source{writers, WriterOf(n)});
  }
  for (int64_t n = 1; n <= test.gone; n++) writers->Change(WriterOf(n), -1);
  now += RequestLedger::kSweepPeriod;
  ledger.Claim(0);  // notices who left
  now += test.later;
  const std::optional<corvane_dds::ReplyTarget> first = ledger.Claim(test.claimed);
  EXPECT_FALSE(ledger.Claim(test.claimed).has_value());
  ASSERT_EQ(first.has_value(), test.found);
  if (first) {
    EXPECT_EQ(first->identity.guid, ClientOf(test.claimed).guid);
    EXPECT_EQ(first->identity.high, ClientOf(test.claimed).high);
    EXPECT_EQ(first->identity.low, ClientOf(test.claimed).low);
  }
  EXPECT_EQ(ledger.size(), test.left);
}

const int64_t kBound = static_cast<int64_t>(RequestLedger::kMaxEntries);

INSTANTIATE_TEST_SUITE_P(
    Cases, RequestLedgerTest,
    ::testing::Values(
        LedgerCase{"ClaimedOnce", 3, false, seconds(0), 2, true, 2},
        LedgerCase{"UnknownSequence", 3, false, seconds(0), 4, false, 3},
        LedgerCase{"FailedPublishRecordsNothing", 3, true, seconds(0), 1, false, 0},
        LedgerCase{"AnHourLater", 3, false, seconds(3600), 3, true, 2},
        LedgerCase{"LeftClientWithinGrace", 3, false, seconds(4), 1, true, 2, 1},
        LedgerCase{"LeftClientForgotten", 3, false, seconds(5), 1, false, 2, 1},
        LedgerCase{"OldestLeavesFirst", kBound + 1, false, seconds(0), 1, false, kBound},
        LedgerCase{"NewestStays", kBound + 1, false, seconds(0), 2, true, kBound - 1}),
    [](const ::testing::TestParamInfo<LedgerCase>& info) { return info.param.name; });

}  // namespace
