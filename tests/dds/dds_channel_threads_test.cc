// DdsChannel under concurrency: bursts that the channel forwards in batches,
// and destruction while samples flow at full rate. Each test uses its own
// domain ids. Nothing here depends on the thread on which the middleware
// layer runs the channel's steps.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dds/dds_channel.h"
#include "dds/dds_domain.h"
#include "dds/dds_manager.h"
#include "relay_core_peers.h"

namespace relay_core_test {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

struct ListenerDeleter {
  void operator()(dds_listener_t* listener) const { dds_delete_listener(listener); }
};

// A reader whose data-available listener is `on_data` with `arg`.
dds_entity_t ListeningReader(TypedPeer* peer, dds_entity_t topic,
                             void (*on_data)(dds_entity_t, void*), void* arg) {
  const std::unique_ptr<dds_listener_t, ListenerDeleter> listener(dds_create_listener(arg));
  dds_lset_data_available(listener.get(), on_data);
  return peer->Reader(topic, listener.get());
}

// Threads joined when the test ends, also on an early return.
class JoinedThreads : public std::vector<std::thread> {
 public:
  ~JoinedThreads() { JoinAll(); }
  void JoinAll() {
    for (std::thread& thread : *this) {
      if (thread.joinable()) thread.join();
    }
  }
};

// --- batches ------------------------------------------------------------------

// Reading `seq` of `sensor` in a burst: small, and different for every pair.
Reading BurstReading(int32_t sensor, int32_t seq) {
  Reading reading;
  reading.sensor = sensor;
  reading.seq = seq;
  reading.value = sensor + seq / 1024.0;
  reading.label = std::to_string(seq);
  reading.payload = Payload(static_cast<size_t>(1 + seq % 61), static_cast<uint32_t>(sensor));
  return reading;
}

TEST(ThreadsChannelTest, ForwardsBurstsFromConcurrentWritersOnceAndInOrder) {
  Watchdog test_watchdog("the burst test", milliseconds(60000));
  constexpr char kTopic[] = "bursts";
  constexpr int kWriters = 16;
  constexpr int kPerWriter = 100;
  const std::shared_ptr<DdsManager> manager = DdsManager::Create();
  const std::shared_ptr<DdsDomain> src = manager->GetDomain(204), dst = manager->GetDomain(205);
  ASSERT_TRUE(src && dst);
  TypedPeer source(204), sink(205);
  const dds_entity_t reader = sink.Reader(sink.Topic(true, kTopic));
  const dds_entity_t source_topic = source.Topic(true, kTopic);
  std::vector<dds_entity_t> writers;
  for (int i = 0; i < kWriters; i++) writers.push_back(source.Writer(source_topic));

  auto channel = std::make_unique<DdsChannel>();
  ASSERT_TRUE(channel->Initialize(src, dst, kTopic, kKeyedType, true, true));
  ASSERT_TRUE(PrimePath(204, kTopic, true, reader));
  ASSERT_TRUE(WaitFor([&] {
    return SubscriptionsMatched(reader) == 1 &&
           std::all_of(writers.begin(), writers.end(),
                       [](dds_entity_t w) { return PublicationsMatched(w) == 1; });
  }));
  std::this_thread::sleep_for(kMatchSettle);

  // Writers that start together and write as fast as they can keep samples
  // pending while the channel forwards, so its steps take several at once,
  // whichever thread the layer runs them on.
  std::atomic<bool> go{false};
  std::atomic<int> failed_writes{0};
  JoinedThreads threads;
  for (int w = 0; w < kWriters; w++) {
    threads.emplace_back([&, w] {
      while (!go) std::this_thread::yield();
      for (int seq = 0; seq < kPerWriter; seq++) {
        if (WriteReading(writers[w], true, BurstReading(w, seq),
                         SourceTimestamp(static_cast<size_t>(w * kPerWriter + seq))) !=
            DDS_RETCODE_OK) {
          failed_writes++;
        }
      }
    });
  }
  go = true;
  threads.JoinAll();
  ASSERT_EQ(failed_writes, 0);

  std::vector<Received> received;
  auto receive = [&] {
    for (Received& r : ReceiveAll(reader, true)) {
      if (!IsPrimer(r.source_timestamp)) received.push_back(std::move(r));
    }
  };
  WaitFor(
      [&] {
        receive();
        return received.size() >= static_cast<size_t>(kWriters * kPerWriter);
      },
      milliseconds(20000));
  std::this_thread::sleep_for(milliseconds(200));
  receive();

  // Each sample once, intact, and each writer's in the order written.
  EXPECT_EQ(received.size(), static_cast<size_t>(kWriters * kPerWriter));
  std::map<int32_t, int32_t> next_seq;
  for (const Received& r : received) {
    ASSERT_TRUE(r.valid_data);
    const int32_t sensor = r.reading.sensor;
    ASSERT_TRUE(sensor >= 0 && sensor < kWriters) << sensor;
    ASSERT_EQ(r.reading.seq, next_seq[sensor]) << "sensor " << sensor << " lost or reordered";
    EXPECT_EQ(r.reading, BurstReading(sensor, next_seq[sensor]));
    EXPECT_EQ(r.source_timestamp,
              SourceTimestamp(static_cast<size_t>(sensor * kPerWriter + next_seq[sensor])));
    next_seq[sensor]++;
  }
}

// --- destruction under load -------------------------------------------------------

constexpr int kRepetitions = 200;

// What one repetition's sink received: how many samples, and when the last.
struct RepetitionSink {
  std::atomic<int> count{0};
  std::atomic<int64_t> last_arrival_ns{0};

  static void OnData(dds_entity_t reader, void* arg) {
    auto* sink = static_cast<RepetitionSink*>(arg);
    const int64_t now = Clock::now().time_since_epoch().count();
    for (const Received& r : ReceiveAll(reader, true)) {
      if (!r.valid_data) continue;
      sink->count++;
      sink->last_arrival_ns = now;
    }
  }
};

TEST(ThreadsChannelTest, DestroyingWhileSamplesFlowStopsForwardingAtOnce) {
  Watchdog test_watchdog("the teardown test", milliseconds(110000));
  const std::shared_ptr<DdsManager> manager = DdsManager::Create();
  const std::shared_ptr<DdsDomain> src = manager->GetDomain(211), dst = manager->GetDomain(212);
  ASSERT_TRUE(src && dst);
  TypedPeer source(211), sink_peer(212);
  // A topic per repetition, so that whatever reaches a repetition's sink
  // came through that repetition's channel and no other.
  std::vector<RepetitionSink> sinks(kRepetitions);
  std::vector<Clock::time_point> destroyed_at(kRepetitions);
  std::vector<int> count_at_destruction(kRepetitions);
  const Clock::time_point start = Clock::now();
  for (int rep = 0; rep < kRepetitions; rep++) {
    SCOPED_TRACE(rep);
    const std::string topic = "teardown_" + std::to_string(rep);
    RepetitionSink& sink = sinks[rep];
    ASSERT_GT(
        ListeningReader(&sink_peer, sink_peer.Topic(true, topic), &RepetitionSink::OnData, &sink),
        0);
    const dds_entity_t writer = source.Writer(source.Topic(true, topic));
    ASSERT_GT(writer, 0);
    // The peer writes as fast as it can from before the channel exists until
    // well after it is gone.
    std::atomic<bool> stop{false};
    std::atomic<int64_t> written{0};
    JoinedThreads publisher;
    publisher.emplace_back([&] {
      Reading reading;
      reading.sensor = rep;
      reading.payload = Payload(64, static_cast<uint32_t>(rep));
      while (!stop) {
        WriteReading(writer, true, reading, dds_time());
        reading.seq++;
        written++;
      }
    });
    ASSERT_TRUE(WaitFor([&] { return written > 10; }));

    auto channel = std::make_unique<DdsChannel>();
    ASSERT_TRUE(channel->Initialize(src, dst, topic, kKeyedType, true, true));
    const bool flowing = WaitFor([&] { return sink.count >= 20; });
    {
      Watchdog watchdog("destroying a channel under load", milliseconds(10000));
      channel.reset();
    }
    destroyed_at[rep] = Clock::now();
    count_at_destruction[rep] = sink.count;
    const int64_t written_before = written;
    const bool kept_writing = WaitFor([&] { return written >= written_before + 200; });
    stop = true;
    publisher.JoinAll();
    ASSERT_TRUE(flowing) << "the channel did not forward";
    ASSERT_TRUE(kept_writing);
  }
  const auto elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - start);

  // Samples still in flight when a destruction returned may arrive a little
  // later; none may arrive once that has settled.
  std::this_thread::sleep_for(milliseconds(200));
  std::vector<int> settled(kRepetitions);
  for (int rep = 0; rep < kRepetitions; rep++) settled[rep] = sinks[rep].count;
  std::this_thread::sleep_for(milliseconds(300));
  int late = 0;
  for (int rep = 0; rep < kRepetitions; rep++) {
    SCOPED_TRACE(rep);
    EXPECT_EQ(sinks[rep].count, settled[rep]) << "a destroyed channel still forwards";
    const Clock::time_point last{Clock::duration(sinks[rep].last_arrival_ns.load())};
    EXPECT_LE(last, destroyed_at[rep] + milliseconds(200));
    late += sinks[rep].count - count_at_destruction[rep];
  }
  std::printf("%d repetitions in %lld ms; %d samples arrived after a destruction returned\n",
              kRepetitions, static_cast<long long>(elapsed.count()), late);
}

}  // namespace
}  // namespace relay_core_test
