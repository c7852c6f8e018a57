#include "tests/e2e/dds_probe.h"

#include <dds/dds.h>

#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include "e2e_blob.h"

namespace corvane_e2e {

const char kBlobTypeName[] = "corvane_e2e::Blob";

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kTakeBatch = 64;

// GUIDs of every participant this process created; discovery reports them
// too, and they are never the relay's.
std::mutex own_guids_mutex;
std::set<std::string> own_guids;

std::string GuidBytes(const dds_guid_t& guid) {
  return std::string(reinterpret_cast<const char*>(guid.v), sizeof guid.v);
}

bool IsOwn(const std::string& guid) {
  std::lock_guard<std::mutex> lock(own_guids_mutex);
  return own_guids.count(guid) != 0;
}

// The process's participants stay on loopback even when the test runs
// outside CTest, which sets the same configuration.
void KeepOnLoopback() {
  static std::once_flag once;
  std::call_once(once, [] { setenv("CYCLONEDDS_URI", CORVANE_TEST_DDS_URI, 1); });
}

dds_qos_t* ReliableKeepAll() {
  dds_qos_t* qos = dds_create_qos();
  dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(30));
  dds_qset_history(qos, DDS_HISTORY_KEEP_ALL, 0);
  return qos;
}

// Polls `matched` until it reports at least `count` or `timeout` passes.
template <typename Matched>
bool PollMatched(int count, std::chrono::milliseconds timeout, Matched matched) {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (matched() < count) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

dds_entity_t BlobTopic(const Participant& participant, const std::string& topic) {
  return dds_create_topic(participant.handle(), &corvane_e2e_Blob_desc, topic.c_str(), nullptr,
                          nullptr);
}

}  // namespace

// --- Participant ---------------------------------------------------------------

Participant::Participant(int domain_id) : handle_(0) {
  KeepOnLoopback();
  handle_ = dds_create_participant(static_cast<dds_domainid_t>(domain_id), nullptr, nullptr);
  dds_guid_t guid;
  if (handle_ > 0 && dds_get_guid(handle_, &guid) == DDS_RETCODE_OK) {
    std::lock_guard<std::mutex> lock(own_guids_mutex);
    own_guids.insert(GuidBytes(guid));
  }
}

Participant::~Participant() {
  if (handle_ > 0) dds_delete(handle_);
}

// --- BlobWriter ----------------------------------------------------------------

BlobWriter::BlobWriter(const Participant& participant, const std::string& topic) : handle_(0) {
  const dds_entity_t topic_handle = BlobTopic(participant, topic);
  if (topic_handle <= 0) return;
  dds_qos_t* qos = ReliableKeepAll();
  handle_ = dds_create_writer(participant.handle(), topic_handle, qos, nullptr);
  dds_delete_qos(qos);
}

BlobWriter::~BlobWriter() {
  if (handle_ > 0) dds_delete(handle_);
}

bool BlobWriter::WaitForReaders(int count, std::chrono::milliseconds timeout) {
  return PollMatched(count, timeout, [this] {
    dds_publication_matched_status_t status{};
    dds_get_publication_matched_status(handle_, &status);
    return static_cast<int>(status.current_count);
  });
}

bool BlobWriter::Write(const Blob& sample, int64_t source_timestamp) {
  corvane_e2e_Blob data{};
  data.seq = sample.seq;
  data.payload._maximum = static_cast<uint32_t>(sample.payload.size());
  data.payload._length = static_cast<uint32_t>(sample.payload.size());
  data.payload._buffer = const_cast<uint8_t*>(sample.payload.data());
  data.payload._release = false;
  return dds_write_ts(handle_, &data, source_timestamp) == DDS_RETCODE_OK;
}

bool BlobWriter::WaitForAcks(std::chrono::milliseconds timeout) {
  return dds_wait_for_acks(handle_, DDS_MSECS(timeout.count())) == DDS_RETCODE_OK;
}

// --- BlobReader ----------------------------------------------------------------

BlobReader::BlobReader(const Participant& participant, const std::string& topic, Heard heard)
    : handle_(0), waitset_(0), condition_(0) {
  const dds_entity_t topic_handle = BlobTopic(participant, topic);
  if (topic_handle <= 0) return;
  dds_qos_t* qos = ReliableKeepAll();
  if (heard == Heard::kRemoteOnly) dds_qset_ignorelocal(qos, DDS_IGNORELOCAL_PROCESS);
  const dds_entity_t reader = dds_create_reader(participant.handle(), topic_handle, qos, nullptr);
  dds_delete_qos(qos);
  if (reader <= 0) return;
  waitset_ = dds_create_waitset(participant.handle());
  condition_ = dds_create_readcondition(reader, DDS_ANY_STATE);
  if (waitset_ <= 0 || condition_ <= 0 || dds_waitset_attach(waitset_, condition_, 0) != 0) {
    dds_delete(reader);
    return;
  }
  handle_ = reader;
}

BlobReader::~BlobReader() {
  if (waitset_ > 0) dds_delete(waitset_);
  if (handle_ > 0) dds_delete(handle_);
}

bool BlobReader::WaitForWriters(int count, std::chrono::milliseconds timeout) {
  return PollMatched(count, timeout, [this] {
    dds_subscription_matched_status_t status{};
    dds_get_subscription_matched_status(handle_, &status);
    return static_cast<int>(status.current_count);
  });
}

void BlobReader::TakeAll() {
  void* samples[kTakeBatch];
  dds_sample_info_t infos[kTakeBatch];
  for (;;) {
    samples[0] = nullptr;  // lend the samples
    const dds_return_t count = dds_take(handle_, samples, infos, kTakeBatch, kTakeBatch);
    if (count <= 0) return;
    for (dds_return_t i = 0; i < count; ++i) {
      if (!infos[i].valid_data) continue;
      const auto* data = static_cast<const corvane_e2e_Blob*>(samples[i]);
      if (data->seq >= kWarmUpSeq) {
        ++warm_ups_;
        continue;
      }
      Blob blob;
      blob.seq = data->seq;
      blob.payload.assign(data->payload._buffer, data->payload._buffer + data->payload._length);
      blob.source_timestamp = infos[i].source_timestamp;
      received_.push_back(std::move(blob));
    }
    dds_return_loan(handle_, samples, count);
  }
}

size_t BlobReader::WaitForSamples(size_t count, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  TakeAll();
  while (received_.size() < count) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) break;
    dds_waitset_wait(waitset_, nullptr, 0,
                     std::chrono::duration_cast<std::chrono::nanoseconds>(left).count());
    TakeAll();
  }
  return received_.size();
}

size_t BlobReader::CollectFor(std::chrono::milliseconds duration) {
  return WaitForSamples(SIZE_MAX, duration);
}

bool BlobReader::WaitForWarmUp(std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  TakeAll();
  while (warm_ups_ == 0) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) break;
    dds_waitset_wait(waitset_, nullptr, 0,
                     std::chrono::duration_cast<std::chrono::nanoseconds>(left).count());
    TakeAll();
  }
  return warm_ups_ > 0;
}

bool WaitUntilHeard(BlobWriter* writer, BlobReader* reader, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (uint32_t n = 0; Clock::now() < deadline; ++n) {
    Blob warm_up;
    warm_up.seq = kWarmUpSeq + n;
    if (!writer->Write(warm_up, dds_time())) return false;
    if (reader->WaitForWarmUp(std::chrono::milliseconds(100))) return true;
  }
  return false;
}

// --- ParticipantWatch ----------------------------------------------------------

ParticipantWatch::ParticipantWatch(const Participant& participant)
    : handle_(dds_create_reader(participant.handle(), DDS_BUILTIN_TOPIC_DCPSPARTICIPANT, nullptr,
                                nullptr)) {}

ParticipantWatch::~ParticipantWatch() {
  if (handle_ > 0) dds_delete(handle_);
}

void ParticipantWatch::Poll() {
  void* samples[kTakeBatch];
  dds_sample_info_t infos[kTakeBatch];
  for (;;) {
    samples[0] = nullptr;
    const dds_return_t count = dds_take(handle_, samples, infos, kTakeBatch, kTakeBatch);
    if (count <= 0) return;
    for (dds_return_t i = 0; i < count; ++i) {
      // Samples without data still carry the key.
      const auto* data = static_cast<const dds_builtintopic_participant_t*>(samples[i]);
      const std::string guid = GuidBytes(data->key);
      if (IsOwn(guid)) continue;
      alive_[guid] = infos[i].instance_state == DDS_IST_ALIVE;
    }
    dds_return_loan(handle_, samples, count);
  }
}

bool ParticipantWatch::WaitForAlive(size_t count, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    Poll();
    if (AliveCount() >= count) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void ParticipantWatch::PollFor(std::chrono::milliseconds duration) {
  const Clock::time_point deadline = Clock::now() + duration;
  do {
    Poll();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (Clock::now() < deadline);
  Poll();
}

size_t ParticipantWatch::AliveCount() const {
  size_t alive = 0;
  for (const auto& entry : alive_) alive += entry.second ? 1 : 0;
  return alive;
}

}  // namespace corvane_e2e
