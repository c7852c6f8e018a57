// The reader listener, called on the reader's delivery thread: its context,
// samples that precede it, draining a backlog, held callbacks and reader
// deletion while callbacks run.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "dds_test_support.h"
#include "middleware/dds_entities_internal.h"

namespace corvane_test {
namespace {

struct CallbackLog {
  std::atomic<int> calls{0};
  std::atomic<int> taken{0};
  std::atomic<int> wrong_context{0};
  std::atomic<bool> reader_gone{false};
  std::atomic<int> after_delete{0};
};

void CountingCallback(const dds_DataReader* const_reader) {
  auto* reader = const_cast<dds_DataReader*>(const_reader);
  auto* log = static_cast<CallbackLog*>(dds_DataReader_get_listener_context(reader));
  if (log == nullptr) return;
  log->calls++;
  if (log->reader_gone) log->after_delete++;
  log->taken += static_cast<int>(TakeCopies(reader, 8).size());
}

dds_DataReaderListener DataAvailableOnly(void (*callback)(const dds_DataReader*)) {
  dds_DataReaderListener listener{};
  listener.on_data_available = callback;
  return listener;
}

std::vector<uint8_t> KeylessBytes(int32_t seq) {
  std::vector<uint8_t> bytes = {0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  bytes[4] = static_cast<uint8_t>(seq);
  return bytes;
}

// Writes `count` keyless samples through a layer writer, numbered from `first`.
void WriteKeyless(dds_DataWriter* writer, int32_t first, int32_t count) {
  dds_SampleInfo info{};
  info.valid_data = true;
  for (int32_t i = first; i < first + count; i++) {
    const std::vector<uint8_t> bytes = KeylessBytes(i);
    ASSERT_EQ(dds_DataWriter_raw_write_w_sampleinfoex(writer, bytes.data(), 12, &info), 0);
  }
}

struct LayerPair {
  explicit LayerPair(dds_DomainId_t domain, const char* topic) : source(domain), relay(domain) {
    writer = source.Writer(source.Topic(topic, kKeylessType), true);
    reader = relay.Reader(relay.Topic(topic, kKeylessType), true);
  }
  bool Matched() const {
    return writer && reader && WaitFor([&] {
             return PublicationsMatched(writer) == 2 && SubscriptionsMatched(reader) == 2;
           });
  }
  LayerDomain source, relay;
  dds_DataWriter* writer = nullptr;
  dds_DataReader* reader = nullptr;
};

// Pending samples wait for a callback; once one is installed, the reader's
// delivery thread calls it again while its takes come back full, so a
// backlog is drained in takes of at most 8.
TEST(ListenerTest, DeliversWhatCameBeforeTheCallbackInTakesOfAtMostEight) {
  LayerPair pair(23, "replay");
  ASSERT_TRUE(pair.Matched());
  CallbackLog log;
  ASSERT_EQ(dds_DataReader_set_listener_context(pair.reader, &log), dds_RETCODE_OK);
  EXPECT_EQ(dds_DataReader_get_listener_context(pair.reader), &log);
  WriteKeyless(pair.writer, 0, 20);
  // A mask without data-available installs no callback.
  const dds_DataReaderListener listener = DataAvailableOnly(CountingCallback);
  ASSERT_EQ(dds_DataReader_set_listener(pair.reader, &listener, 0), dds_RETCODE_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(log.calls, 0);

  ASSERT_EQ(dds_DataReader_set_listener(pair.reader, &listener, dds_DATA_AVAILABLE_STATUS), 0);
  ASSERT_TRUE(WaitFor([&] { return log.taken == 20; })) << log.taken;
  EXPECT_GE(log.calls, 3) << "20 samples need three takes of at most 8";

  WriteKeyless(pair.writer, 20, 1);
  ASSERT_TRUE(WaitFor([&] { return log.taken == 21; }));

  ASSERT_EQ(dds_DataReader_set_listener_context(pair.reader, nullptr), dds_RETCODE_OK);
  const int calls = log.calls;
  WriteKeyless(pair.writer, 21, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(log.calls, calls) << "a cleared context ends the callback early";
  EXPECT_EQ(log.taken, 21);
}

// A callback that is held: deleting its reader waits for it to return, and a
// reader cannot be deleted from its own callback.
struct HeldCallback {
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
  std::atomic<bool> returned{false};
  std::atomic<dds_ReturnCode_t> self_delete{dds_RETCODE_OK};
  dds_Subscriber* subscriber = nullptr;
};

void HoldingCallback(const dds_DataReader* const_reader) {
  auto* reader = const_cast<dds_DataReader*>(const_reader);
  auto* held = static_cast<HeldCallback*>(dds_DataReader_get_listener_context(reader));
  if (held == nullptr || held->entered.exchange(true)) return;
  held->self_delete = dds_Subscriber_delete_datareader(held->subscriber, reader);
  while (!held->release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  held->returned = true;
}

TEST(ListenerTest, DeletionWaitsForTheCallbackInProgress) {
  LayerPair pair(25, "held");
  ASSERT_TRUE(pair.Matched());
  HeldCallback held;
  held.subscriber = pair.relay.subscriber();
  dds_DataReader_set_listener_context(pair.reader, &held);
  const dds_DataReaderListener listener = DataAvailableOnly(HoldingCallback);
  dds_DataReader_set_listener(pair.reader, &listener, dds_DATA_AVAILABLE_STATUS);
  WriteKeyless(pair.writer, 0, 1);
  ASSERT_TRUE(WaitFor([&] { return held.entered.load(); }));

  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    held.release = true;
  });
  EXPECT_EQ(dds_Subscriber_delete_datareader(pair.relay.subscriber(), pair.reader), dds_RETCODE_OK);
  EXPECT_TRUE(held.returned) << "the deletion returned before the callback";
  EXPECT_EQ(held.self_delete, dds_RETCODE_PRECONDITION_NOT_MET);
  releaser.join();
}

// A callback that is held keeps its own reader's samples waiting, not those of
// another reader in the same domain, as long as its backlog has room.
TEST(ListenerTest, AHeldCallbackDoesNotHoldAnotherReaderOfItsDomain) {
  LayerPair slow(26, "slow");
  LayerDomain fast_domain(26);
  dds_DataReader* fast = fast_domain.Reader(fast_domain.Topic("fast", kKeylessType), true);
  dds_DataWriter* fast_writer = slow.source.Writer(slow.source.Topic("fast", kKeylessType), true);
  ASSERT_TRUE(slow.Matched() && fast && fast_writer);
  ASSERT_TRUE(WaitFor(
      [&] { return PublicationsMatched(fast_writer) == 2 && SubscriptionsMatched(fast) == 2; }));
  HeldCallback held;
  held.subscriber = slow.relay.subscriber();
  dds_DataReader_set_listener_context(slow.reader, &held);
  const dds_DataReaderListener holding = DataAvailableOnly(HoldingCallback);
  dds_DataReader_set_listener(slow.reader, &holding, dds_DATA_AVAILABLE_STATUS);
  CallbackLog log;
  dds_DataReader_set_listener_context(fast, &log);
  const dds_DataReaderListener counting = DataAvailableOnly(CountingCallback);
  dds_DataReader_set_listener(fast, &counting, dds_DATA_AVAILABLE_STATUS);

  WriteKeyless(slow.writer, 0, 100);
  ASSERT_TRUE(WaitFor([&] { return held.entered.load(); }));
  WriteKeyless(fast_writer, 0, 100);
  EXPECT_TRUE(WaitFor([&] { return log.taken == 100; })) << log.taken;
  EXPECT_FALSE(held.returned);
  held.release = true;
}

// A writer thread publishes without pause while readers are created, heard
// and deleted: once the delete returns, no callback of that reader runs.
TEST(ListenerTest, DeletingAReaderWaitsForItsCallbacksInProgress) {
  constexpr dds_domainid_t kDomain = 24;
  TypedPeer source(kDomain, &corvane_test_KeylessSample_desc, "churn");
  LayerDomain relay(kDomain);
  ASSERT_TRUE(source.ok() && relay.ok());
  dds_Topic* topic = relay.Topic("churn", kKeylessType);
  const dds_entity_t typed_writer = source.Writer(false);

  std::atomic<bool> stop{false};
  std::thread publisher([&] {
    corvane_test_KeylessSample sample{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!stop && std::chrono::steady_clock::now() < deadline) {
      sample.seq++;
      dds_write(typed_writer, &sample);
      std::this_thread::yield();
    }
  });

  const dds_DataReaderListener listener = DataAvailableOnly(CountingCallback);
  for (int round = 0; round < 20; round++) {
    SCOPED_TRACE(round);
    CallbackLog log;
    dds_DataReader* reader = relay.Reader(topic, false);
    ASSERT_NE(reader, nullptr);
    dds_DataReader_set_listener_context(reader, &log);
    dds_DataReader_set_listener(reader, &listener, dds_DATA_AVAILABLE_STATUS);
    ASSERT_TRUE(WaitFor([&] { return log.calls >= 5; }));
    ASSERT_EQ(dds_Subscriber_delete_datareader(relay.subscriber(), reader), dds_RETCODE_OK);
    log.reader_gone = true;
    const int calls = log.calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(log.calls, calls);
    EXPECT_EQ(log.after_delete, 0);
  }
  stop = true;
  publisher.join();
}

// A reliable reader whose samples nobody takes (no callback, or a mask
// without data-available) holds its source for a bounded time only: another
// reader of its domain keeps receiving, and the idle reader keeps at most the
// bound's worth of bytes, whatever mix of sizes came, dropping its oldest and
// counting them.
struct IdleReaderCase {
  const char* what;
  bool masked;  // a listener whose mask leaves out data-available, else none
  std::vector<std::pair<int, uint32_t>> bursts;  // (samples, bytes each)
};

std::vector<uint8_t> SizedBytes(int32_t seq, uint32_t size) {
  std::vector<uint8_t> bytes(size, 0x5a);
  bytes[0] = 0;
  bytes[1] = 1;
  for (int i = 0; i < 4; i++) bytes[4 + i] = static_cast<uint8_t>(seq >> (8 * i));
  return bytes;
}

TEST(ListenerTest, AReaderNobodyTakesFromDropsBeyondItsBoundInBytesAndHoldsNoOtherReader) {
  constexpr uint64_t kBoundBytes = 2 << 20;  // what dds.h promises
  const IdleReaderCase cases[] = {
      {"no listener, equal sizes", false, {{800, 4096}}},
      {"masked listener, small samples then large ones", true, {{600, 64}, {180, 16384}}},
      {"no listener, large samples then small ones", false, {{180, 16384}, {600, 64}}},
  };
  dds_DomainId_t domain = 190;
  for (const IdleReaderCase& c : cases) {
    SCOPED_TRACE(c.what);
    LayerPair idle(domain, "idle");
    dds_DataWriter* busy_writer = idle.source.Writer(idle.source.Topic("busy", kKeylessType), true);
    dds_DataReader* busy = idle.relay.Reader(idle.relay.Topic("busy", kKeylessType), true);
    ASSERT_TRUE(idle.Matched() && busy && busy_writer);
    ASSERT_TRUE(WaitFor(
        [&] { return PublicationsMatched(busy_writer) == 2 && SubscriptionsMatched(busy) == 2; }));
    CallbackLog busy_log;
    dds_DataReader_set_listener_context(busy, &busy_log);
    const dds_DataReaderListener counting = DataAvailableOnly(CountingCallback);
    dds_DataReader_set_listener(busy, &counting, dds_DATA_AVAILABLE_STATUS);
    if (c.masked) dds_DataReader_set_listener(idle.reader, &counting, 0);

    int32_t written = 0;
    uint32_t largest = 0;
    dds_SampleInfo info{};
    info.valid_data = true;
    const auto write = [&](uint32_t size) {
      const std::vector<uint8_t> bytes = SizedBytes(written++, size);
      return dds_DataWriter_raw_write_w_sampleinfoex(idle.writer, bytes.data(), size, &info);
    };
    for (const auto& [count, size] : c.bursts) {
      largest = std::max(largest, size);
      for (int i = 0; i < count; i++) ASSERT_EQ(write(size), dds_RETCODE_OK) << written;
    }
    WriteKeyless(busy_writer, 0, 100);
    EXPECT_TRUE(WaitFor([&] { return busy_log.taken == 100; })) << busy_log.taken;
    // The next sample after the hold's time is up finds the reader dropping.
    EXPECT_TRUE(WaitFor([&] {
      return write(64) == dds_RETCODE_OK && dds_DataReader_dropped_sample_count(idle.reader) > 0;
    }));

    uint64_t bytes = 0;
    int32_t taken = 0, last_seq = -1;
    for (std::vector<TakenSample> batch; !(batch = TakeCopies(idle.reader, 64)).empty();) {
      for (const TakenSample& s : batch) {
        bytes += s.bytes.size();
        last_seq = s.bytes[4] | s.bytes[5] << 8 | s.bytes[6] << 16 | s.bytes[7] << 24;
        taken++;
      }
    }
    EXPECT_LE(bytes, kBoundBytes + largest);
    // Nothing goes unaccounted for. The layer's writer is transient-local, so
    // the reader's transient-local twin queues a second copy of each sample,
    // which the take discards: drops may count such copies too.
    EXPECT_GE(taken + dds_DataReader_dropped_sample_count(idle.reader),
              static_cast<uint64_t>(written));
    EXPECT_EQ(last_seq, written - 1) << "the newest samples are kept";
    domain++;
  }
}

}  // namespace
}  // namespace corvane_test
