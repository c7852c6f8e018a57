// The layer's Cyclone domain instances: one per DDS domain id, shared while
// held, and free for a new instance as soon as the last holder lets go. How
// Cyclone reads the user's configuration is checked through the binary
// (tests/e2e/cyclone_config_test.cc).

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "middleware/cyclone/domain.h"

namespace corvane_dds {
namespace {

TEST(DomainConfigTest, InstancesAreSharedAndIdsRefusedByCycloneGiveNone) {
  const std::shared_ptr<CycloneDomain> first = AcquireCycloneDomain(33);
  const std::shared_ptr<CycloneDomain> again = AcquireCycloneDomain(33);
  const std::shared_ptr<CycloneDomain> other = AcquireCycloneDomain(34);
  ASSERT_TRUE(first && other);
  EXPECT_EQ(first, again);
  EXPECT_EQ(first->id(), 33);
  EXPECT_NE(first->id(), other->id());
  EXPECT_EQ(AcquireCycloneDomain(233), nullptr);
  EXPECT_EQ(AcquireCycloneDomain(-1), nullptr);
}

// Threads take and drop two ids over and over, so that the last holder of one
// often lets go while another thread creates or deletes the other instance
// and a third is about to acquire the first.
TEST(DomainConfigTest, ReleasedIdIsAcquiredAgainAtOnce) {
  constexpr dds_DomainId_t kDomains[] = {223, 224};
  constexpr int kRounds = 40;
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; i++) {
        if (!AcquireCycloneDomain(kDomains[(i + t) % 2])) refused++;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(refused.load(), 0);
}

}  // namespace
}  // namespace corvane_dds
