// The reader's delivery thread and the batching of the writes it makes.

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "middleware/dds_delivery_internal.h"
#include "middleware/dds_entities_internal.h"

namespace corvane_dds {
namespace {

// Under a steady stream a reader never drains; flush at least this often so
// that a partly filled datagram does not wait for the stream to pause.
constexpr int kCallsPerFlush = 32;

// The backlog (in samples) at which Cyclone's listener waits: about
// kBacklogBytes of samples of the size last taken, within [kMinHigh,
// kMaxHigh]. It goes on at half of that. Large enough for the receive thread
// and the delivery thread to overlap under load; small enough to bound memory.
constexpr int64_t kBacklogBytes = 2 << 20;
constexpr int64_t kMinHigh = 16;
constexpr int64_t kMaxHigh = 256;
// A stalled path releases Cyclone's receive thread now and then (Cyclone may
// hold locks of the source writer meanwhile), letting one sample in each
// time, until the backlog reaches four times the high watermark.
constexpr auto kListenerWaitSlice = std::chrono::milliseconds(100);
constexpr int64_t kHardLimitFactor = 4;

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

void DeliveryThread::Signal() {
  std::unique_lock<std::mutex> lock(mutex_);
  backlog_++;
  if (!pending_) {
    pending_ = true;
    wake_.notify_one();
  }
  if (!holds_back_.load() || backlog_ < high_) return;
  const auto room = [this] { return backlog_ <= high_ / 2 || stopping_; };
  if (backlog_ < kHardLimitFactor * high_) {
    room_.wait_for(lock, kListenerWaitSlice, room);
  } else {
    room_.wait(lock, room);
  }
}

void DeliveryThread::Taken(uint32_t count, uint64_t bytes, bool drained) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Samples that leave the reader untaken (replaced, expired) are never
  // counted off; a drained reader resets the count.
  backlog_ = drained ? 0 : backlog_ - count;
  if (count > 0 && bytes > 0) {
    high_ = std::clamp(kBacklogBytes * count / static_cast<int64_t>(bytes), kMinHigh, kMaxHigh);
  }
  if (backlog_ <= high_ / 2) room_.notify_all();
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
}

void DeliveryThread::Run() {
  thread_id_.store(std::this_thread::get_id());
  WriteBatch batch;
  current_batch = &batch;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // A signal that comes while no callback is installed waits for one.
    wake_.wait(lock, [this] {
      return stopping_ || (pending_ && reader_->on_data_available.load() != nullptr);
    });
    if (stopping_) break;
    pending_ = false;
    lock.unlock();
    Deliver();
    batch.Flush();
    lock.lock();
  }
  current_batch = nullptr;
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
