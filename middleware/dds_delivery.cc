// The reader's delivery thread, the bound of its backlog, its batched writes.

#include <dds/ddsi/ddsi_serdata.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <string>

#include "middleware/dds_delivery_internal.h"
#include "middleware/dds_entities_internal.h"
#include "middleware/logger.h"

namespace corvane_dds {
namespace {

// Under a steady stream a reader never drains; flush at least this often so
// that a partly filled datagram does not wait for the stream to pause.
constexpr int kCallsPerFlush = 32;

// The longest a listener waits at once for room while its backlog is under
// twice its bound: between two such waits the receive thread gets through
// whatever else came, acknowledgements included.
constexpr auto kHoldSlice = std::chrono::milliseconds(1);
// How long a delivery thread waits at once for a writer's acknowledgements
// before it looks whether it is stopping.
constexpr dds_duration_t kAckSlice = DDS_MSECS(100);

// The Cyclone writers written by this delivery thread since its last flush.
class WriteBatch {
 public:
  bool Add(dds_entity_t writer) {
    for (int i = 0; i < count_; i++) {
      if (writers_[i] == writer) return true;
    }
    if (count_ == kCapacity) return false;
    writers_[count_++] = writer;
    return true;
  }
  // A writer deleted meanwhile only makes its flush fail.
  void Flush() {
    for (int i = 0; i < count_; i++) dds_write_flush(writers_[i]);
    count_ = 0;
  }

 private:
  static constexpr int kCapacity = 16;
  dds_entity_t writers_[kCapacity] = {};
  int count_ = 0;
};

thread_local WriteBatch* current_batch = nullptr;
thread_local DeliveryThread* current_delivery = nullptr;
// The reader whose callback runs inline on this thread, and whether that
// callback already handed a write on.
thread_local DeliveryThread* current_inline = nullptr;
thread_local bool handing_on = false;

// Blocks the asynchronous signals in the calling thread while it lives, so
// that threads started meanwhile inherit the block. Faults (SIGSEGV and the
// like) stay deliverable, for crash reports from the thread that faulted.
class SignalBlock {
 public:
  SignalBlock() {
    sigset_t blocked;
    sigfillset(&blocked);
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) {
      sigdelset(&blocked, fault);
    }
    pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
  }
  ~SignalBlock() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t previous_;
};

// `what` ends the line, after the reader's topic and domain.
void LogDrops(const dds_DataReader* reader, const std::string& what) {
  logger* lg = logger_global();
  if (lg->level > LOGGER_WARNING) return;
  const bool named = reader->topic != nullptr && reader->subscriber != nullptr;
  logger_write(lg, LOGGER_WARNING, 0, 0, 0, "Reader of topic '%s' in domain %d: %s",
               named ? reader->topic->name.c_str() : "?",
               named ? static_cast<int>(reader->subscriber->participant->domain_id) : -1,
               what.c_str());
}

}  // namespace

bool DeferFlush(dds_entity_t writer) {
  return current_batch != nullptr && current_batch->Add(writer);
}

DeliveryThread::DeliveryThread(dds_DataReader* reader) : reader_(reader) {
  // Like Cyclone's own threads, a delivery thread takes no asynchronous
  // signals: the process's stop handler runs on its main thread.
  const SignalBlock block;
  thread_ = std::thread([this] { Run(); });
}

DeliveryThread::~DeliveryThread() {
  Stop();
}

bool DeliveryThread::IsCurrentThread() const {
  return std::this_thread::get_id() == thread_id_.load() || current_inline == this;
}

bool DeliveryThread::DeliverInline(uint64_t bytes) {
  if (!inline_.load()) return false;
  auto callback = reader_->on_data_available.load();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = Clock::now();
    const bool lone = now - last_arrival_ >= kLoneGap;
    last_arrival_ = now;
    if (!lone || busy_ || pending_ || stopping_ || bytes_ != 0 || callback == nullptr) return false;
    busy_ = true;
    bytes_ += static_cast<int64_t>(bytes);
  }
  current_inline = this;
  handing_on = false;
  reader_->last_take.store(TakeOutcome::kNone);
  callback(reader_);
  current_inline = nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  busy_ = false;
  // What the callback left or handed on is the thread's.
  if (bytes_ > 0 || !handed_on_.empty()) {
    pending_ = true;
    wake_.notify_one();
  }
  return true;
}

bool DeliveryThread::HandOn(dds_entity_t writer, ddsi_serdata* sample, bool refused) {
  DeliveryThread* const self = current_inline;
  if (self == nullptr || !(refused || handing_on)) return false;
  handing_on = true;
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->handed_on_.emplace_back(writer, ddsi_serdata_ref(sample));
  return true;
}

bool DeliveryThread::OnDeliveryThread() {
  return current_delivery != nullptr;
}

void DeliveryThread::WriteHandedOn() {
  std::vector<std::pair<dds_entity_t, ddsi_serdata*>> writes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    writes.swap(handed_on_);
  }
  for (const auto& [writer, sample] : writes) {
    PublishWaiting(writer, sample, 0);
    ddsi_serdata_unref(sample);
  }
}

uint64_t DeliveryThread::Arrived(uint64_t bytes) {
  std::unique_lock<std::mutex> lock(mutex_);
  bytes_ += static_cast<int64_t>(bytes);
  if (!pending_) {
    pending_ = true;
    wake_.notify_one();
  }
  const auto bound = static_cast<int64_t>(kBoundBytes);
  if (bytes_ <= bound || stopping_) return 0;
  const Clock::time_point now = Clock::now();
  if (!over_bound_) {
    over_bound_ = true;
    stalled_since_ = now;
  }
  if (holds_back_.load() && !dropping_) {
    // Past twice the bound only the deadline ends a wait without room.
    const Clock::time_point deadline = stalled_since_ + kStallTime;
    const Clock::time_point until =
        bytes_ > 2 * bound ? deadline : std::min(now + kHoldSlice, deadline);
    const bool room = room_.wait_until(lock, until, [&] { return bytes_ <= bound || stopping_; });
    // A reader that takes again before the deadline keeps its samples; the
    // next arrival waits again.
    if (room || stopping_ || Clock::now() < stalled_since_ + kStallTime) return 0;
  }
  if (!dropping_) StartDropping();
  return static_cast<uint64_t>(bytes_ - bound);
}

void DeliveryThread::Dropped(uint64_t count, uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  bytes_ -= static_cast<int64_t>(bytes);
  dropped_in_episode_ += count;
  dropped_total_.fetch_add(count);
}

void DeliveryThread::Taken(uint64_t count, uint64_t bytes) {
  if (count == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  bytes_ -= static_cast<int64_t>(bytes);
  const auto bound = static_cast<int64_t>(kBoundBytes);
  // Taking again means the writes before went through: for a reliable path,
  // the destination acknowledged them. A best-effort reader waits for half its
  // bound, so that a steady overload is one episode, not one per take.
  if (dropping_ && (holds_back_.load() || bytes_ <= bound / 2)) EndDropping();
  if (bytes_ <= bound) {
    over_bound_ = false;
    room_.notify_all();
  } else {
    stalled_since_ = Clock::now();
  }
}

void DeliveryThread::StartDropping() {
  dropping_ = true;
  dropped_in_episode_ = 0;
  LogDrops(reader_, "its destination does not keep up; dropping what its backlog cannot hold");
}

void DeliveryThread::EndDropping() {
  dropping_ = false;
  LogDrops(reader_, "its destination keeps up again; " + std::to_string(dropped_in_episode_) +
                        " samples dropped");
}

void DeliveryThread::Kick() {
  { std::lock_guard<std::mutex> lock(mutex_); }
  wake_.notify_one();
}

void DeliveryThread::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  room_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& handed_on : handed_on_) ddsi_serdata_unref(handed_on.second);
  handed_on_.clear();
}

bool DeliveryThread::AwaitAcknowledgements(dds_entity_t writer) {
  DeliveryThread* const self = current_delivery;
  if (self == nullptr) return false;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      if (self->stopping_ || self->reader_->context.load() == nullptr) return false;
    }
    const dds_return_t rc = dds_wait_for_acks(writer, kAckSlice);
    if (rc == DDS_RETCODE_OK) return true;
    if (rc != DDS_RETCODE_TIMEOUT) return false;
  }
}

void DeliveryThread::Run() {
  thread_id_.store(std::this_thread::get_id());
  WriteBatch batch;
  current_batch = &batch;
  current_delivery = this;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // Samples that come while no callback is installed wait for one.
    wake_.wait(lock, [this] {
      return stopping_ || (pending_ && !busy_ && reader_->on_data_available.load() != nullptr);
    });
    if (stopping_) break;
    pending_ = false;
    busy_ = true;
    lock.unlock();
    WriteHandedOn();
    Deliver();
    batch.Flush();
    lock.lock();
    busy_ = false;
  }
  current_batch = nullptr;
  current_delivery = nullptr;
}

void DeliveryThread::Deliver() {
  for (int calls = 1;; calls++) {
    auto callback = reader_->on_data_available.load();
    if (callback == nullptr) return;
    reader_->last_take.store(TakeOutcome::kNone);
    callback(reader_);
    if (reader_->last_take.load() != TakeOutcome::kFull) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
    }
    if (calls % kCallsPerFlush == 0) current_batch->Flush();
  }
}

}  // namespace corvane_dds
