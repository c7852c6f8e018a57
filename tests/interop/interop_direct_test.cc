// Fast DDS and Cyclone DDS peers in one domain, without corvane: the ground
// the relayed interoperability tests stand on. Each case has its own domain.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>

#include "tests/interop/interop_harness.h"
#include "tests/interop/peer_process.h"

namespace {

using std::chrono::seconds;

struct DirectCase {
  const char* name;
  Vendor publisher;
  Vendor subscriber;
  int domain_id;
  TrafficSpec traffic;
};

TrafficSpec Traffic(const char* kind, bool reliable, uint32_t size, uint32_t count) {
  TrafficSpec traffic;
  traffic.kind = kind;
  traffic.reliable = reliable;
  traffic.size = size;
  traffic.count = count;
  if (reliable) {
    // Discovery completes at different times on the two sides; history
    // covers a reader that matches after the first writes.
    traffic.transient_local = true;
  } else {
    // Best effort has no history to catch up on and may drop on a busy
    // machine; what arrives must still be exact.
    traffic.min_count = 1;
    traffic.settle_ms = 1500;
  }
  return traffic;
}

// Keeps gtest from printing the case as raw bytes.
void PrintTo(const DirectCase& test, std::ostream* out) {
  *out << test.name;
}

class DirectInteropTest : public ::testing::TestWithParam<DirectCase> {};

TEST_P(DirectInteropTest, SubscriberGetsExactlyWhatPublisherSent) {
  const DirectCase& test = GetParam();
  std::unique_ptr<PeerProcess> subscriber = PeerProcess::Start(
      PeerCommand(test.subscriber, "sub", test.domain_id, test.traffic), PeerEnvironment());
  ASSERT_NE(subscriber, nullptr);
  ASSERT_TRUE(subscriber->WaitForLine("ready", seconds(15)));

  std::unique_ptr<PeerProcess> publisher = PeerProcess::Start(
      PeerCommand(test.publisher, "pub", test.domain_id, test.traffic), PeerEnvironment());
  ASSERT_NE(publisher, nullptr);

  const int publisher_status = publisher->WaitForExit(seconds(40));
  const int subscriber_status = subscriber->WaitForExit(seconds(40));
  EXPECT_EQ(publisher_status, 0);
  EXPECT_EQ(subscriber_status, 0);
  EXPECT_EQ(CompareTraffic(publisher->lines(), subscriber->lines(), test.traffic.reliable), "");
}

// Fragmented sizes exceed one UDP datagram of either vendor.
INSTANTIATE_TEST_SUITE_P(
    Loopback, DirectInteropTest,
    ::testing::Values(DirectCase{"FastDdsToCycloneSample", Vendor::kFastDds, Vendor::kCyclone, 90,
                                 Traffic("sample", true, 64, 50)},
                      DirectCase{"CycloneToFastDdsSample", Vendor::kCyclone, Vendor::kFastDds, 91,
                                 Traffic("sample", true, 64, 50)},
                      DirectCase{"FastDdsToCycloneChatter", Vendor::kFastDds, Vendor::kCyclone, 92,
                                 Traffic("chatter", true, 32, 50)},
                      DirectCase{"CycloneToFastDdsChatter", Vendor::kCyclone, Vendor::kFastDds, 93,
                                 Traffic("chatter", true, 32, 50)},
                      DirectCase{"FastDdsToCycloneFragmented", Vendor::kFastDds, Vendor::kCyclone,
                                 94, Traffic("sample", true, 200000, 10)},
                      DirectCase{"CycloneToFastDdsFragmented", Vendor::kCyclone, Vendor::kFastDds,
                                 95, Traffic("sample", true, 200000, 10)},
                      DirectCase{"FastDdsToCycloneBestEffort", Vendor::kFastDds, Vendor::kCyclone,
                                 96, Traffic("sample", false, 1000, 50)},
                      DirectCase{"CycloneToFastDdsBestEffort", Vendor::kCyclone, Vendor::kFastDds,
                                 97, Traffic("chatter", false, 1000, 50)},
                      DirectCase{"FastDdsToCycloneEmpty", Vendor::kFastDds, Vendor::kCyclone, 98,
                                 Traffic("chatter", true, 0, 5)},
                      DirectCase{"CycloneToFastDdsEmpty", Vendor::kCyclone, Vendor::kFastDds, 99,
                                 Traffic("sample", true, 0, 5)}),
    [](const ::testing::TestParamInfo<DirectCase>& info) { return info.param.name; });

}  // namespace
