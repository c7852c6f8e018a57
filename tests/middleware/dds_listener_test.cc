// The reader listener: its context, signals that precede it, and reader
// deletion while callbacks run.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "dds_test_support.h"

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

TEST(ListenerTest, ReplaysSignalsThatCameBeforeItWasInstalled) {
  constexpr dds_domainid_t kDomain = 23;
  LayerDomain source(kDomain), relay(kDomain);
  ASSERT_TRUE(source.ok() && relay.ok());
  dds_DataWriter* writer = source.Writer(source.Topic("replay", kKeylessType), true);
  dds_DataReader* reader = relay.Reader(relay.Topic("replay", kKeylessType), true);
  ASSERT_TRUE(writer && reader);

  CallbackLog log;
  ASSERT_EQ(dds_DataReader_set_listener_context(reader, &log), dds_RETCODE_OK);
  EXPECT_EQ(dds_DataReader_get_listener_context(reader), &log);
  dds_SampleInfo info{};
  info.valid_data = true;
  for (int32_t i = 0; i < 3; i++) {
    const std::vector<uint8_t> bytes = KeylessBytes(i);
    ASSERT_EQ(dds_DataWriter_raw_write_w_sampleinfoex(writer, bytes.data(), 12, &info), 0);
  }
  // Signals on a mask without data-available are counted, not delivered.
  const dds_DataReaderListener listener = DataAvailableOnly(CountingCallback);
  ASSERT_EQ(dds_DataReader_set_listener(reader, &listener, 0), dds_RETCODE_OK);
  EXPECT_EQ(log.calls, 0);

  ASSERT_EQ(dds_DataReader_set_listener(reader, &listener, dds_DATA_AVAILABLE_STATUS), 0);
  EXPECT_EQ(log.calls, 3) << "one call per sample that arrived unheard";
  EXPECT_EQ(log.taken, 3);

  const std::vector<uint8_t> bytes = KeylessBytes(3);
  ASSERT_EQ(dds_DataWriter_raw_write_w_sampleinfoex(writer, bytes.data(), 12, &info), 0);
  ASSERT_TRUE(WaitFor([&] { return log.taken == 4; }));
  EXPECT_EQ(log.calls, 4);

  ASSERT_EQ(dds_DataReader_set_listener_context(reader, nullptr), dds_RETCODE_OK);
  ASSERT_EQ(dds_DataWriter_raw_write_w_sampleinfoex(writer, bytes.data(), 12, &info), 0);
  EXPECT_EQ(log.calls, 4) << "a cleared context ends the callback early";
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

}  // namespace
}  // namespace corvane_test
