// DdsManager and DdsDomain: one participant per domain id, the raw topic
// cache, refused domain ids. Each test uses its own domain ids.

#include "dds/dds_manager.h"

#include <gtest/gtest.h>

#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dds/dds_domain.h"
#include "relay_core_peers.h"

namespace relay_core_test {
namespace {

TEST(DdsManagerTest, OneDomainAndOneParticipantPerId) {
  constexpr dds_domainid_t kDomain = 206;
  DiscoveryObserver observer(kDomain);
  ASSERT_TRUE(observer.ok());

  std::shared_ptr<DdsManager> manager = DdsManager::Create();
  ASSERT_NE(manager, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(observer.AliveParticipants(), 0) << "participants are created on first demand";

  std::shared_ptr<DdsDomain> first = manager->GetDomain(kDomain);
  std::shared_ptr<DdsDomain> second = manager->GetDomain(kDomain);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_NE(first->publisher(), nullptr);
  EXPECT_NE(first->subscriber(), nullptr);
  dds_Publisher* const publisher = first->publisher();
  ASSERT_TRUE(WaitFor([&] { return observer.AliveParticipants() >= 1; }));
  // Give a second participant time to show up if there were one.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(observer.AliveParticipants(), 1);

  first.reset();
  second.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(observer.AliveParticipants(), 1) << "the manager keeps its domains alive";
  EXPECT_EQ(manager->GetDomain(kDomain)->publisher(), publisher);

  manager.reset();
  EXPECT_TRUE(WaitFor([&] { return observer.AliveParticipants() == 0; }))
      << "releasing the manager deletes its participants";
}

TEST(DdsManagerTest, RefusedDomainIdsGiveEmptyHandlesEveryTime) {
  const std::shared_ptr<DdsManager> manager = DdsManager::Create();
  for (const int32_t domain_id : {233, 300, INT32_MAX, -1, INT32_MIN}) {
    SCOPED_TRACE(domain_id);
    // A failure is not remembered: each call tries again and fails again.
    EXPECT_EQ(manager->GetDomain(domain_id), nullptr);
    EXPECT_EQ(manager->GetDomain(domain_id), nullptr);
  }
}

// Starts `count` threads that run `body` with their index at the same time.
void RunTogether(int count, const std::function<void(int)>& body) {
  std::mutex mutex;
  std::condition_variable go_cv;
  bool go = false;
  std::vector<std::thread> threads;
  for (int i = 0; i < count; i++) {
    threads.emplace_back([&, i] {
      {
        std::unique_lock<std::mutex> lock(mutex);
        go_cv.wait(lock, [&] { return go; });
      }
      body(i);
    });
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    go = true;
  }
  go_cv.notify_all();
  for (std::thread& thread : threads) thread.join();
}

TEST(ThreadsDomainTest, RawTopicsAreCachedPerNameAndType) {
  const std::shared_ptr<DdsManager> manager = DdsManager::Create();
  const std::shared_ptr<DdsDomain> domain = manager->GetDomain(207);
  ASSERT_NE(domain, nullptr);

  dds_Topic* const shared = domain->GetRawTopic("shared", kPlainType);
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(domain->GetRawTopic("shared", kPlainType), shared);

  // The same name with another type is another cache entry. Whatever the
  // layer makes of it, it is never the first topic, and asking again gives
  // the same answer.
  dds_Topic* const other_type = domain->GetRawTopic("shared", kKeyedType);
  EXPECT_NE(other_type, shared);
  EXPECT_EQ(domain->GetRawTopic("shared", kKeyedType), other_type);
  EXPECT_EQ(domain->GetRawTopic("shared", kPlainType), shared);

  // A second topic of an already registered type.
  dds_Topic* const second = domain->GetRawTopic("second", kPlainType);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, shared);
  EXPECT_EQ(domain->GetRawTopic("second", kPlainType), second);

  // Concurrent first demands: one topic per key, whoever gets there first.
  constexpr int kThreads = 8;
  for (int round = 0; round < 20; round++) {
    SCOPED_TRACE(round);
    const std::string contended = "contended_" + std::to_string(round);
    std::vector<dds_Topic*> same(kThreads), distinct(kThreads);
    RunTogether(kThreads, [&](int i) {
      same[i] = domain->GetRawTopic(contended, kKeyedType);
      distinct[i] = domain->GetRawTopic(contended + "_" + std::to_string(i), kKeyedType);
    });
    for (int i = 0; i < kThreads; i++) {
      EXPECT_NE(same[i], nullptr);
      EXPECT_EQ(same[i], same[0]);
      EXPECT_NE(distinct[i], nullptr);
      for (int j = 0; j < i; j++) EXPECT_NE(distinct[i], distinct[j]);
    }
  }
}

}  // namespace
}  // namespace relay_core_test
