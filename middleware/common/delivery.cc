// The reader's delivery thread, the bound of its backlog, its batched writes.

#include "middleware/common/delivery.h"

#include <algorithm>
#include <utility>

#include "middleware/common/signal_block.h"
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

// A backlog of this many samples or fewer is never held for the whole stall
// time, whatever their size: a few samples of megabytes each are past twice
// the bound at once, and holding the receive thread for them would also hold
// the acknowledgements that an opposite rule through the same thread waits
// for, while that rule's own full hold keeps this one's destination waiting.
constexpr int64_t kSlicedSamples = 4;

}  // namespace

void DeliveryThread::Batch::Flush() {
  for (int i = 0; i < count; i++) flush[i](handles[i]);
  count = 0;
}

DeliveryThread::DeliveryThread(const dds_DataReader* reader, std::string topic,
                               dds_DomainId_t domain)
    : reader_(reader), topic_(std::move(topic)), domain_(domain) {
  const SignalBlock block;
  thread_ = std::thread([this] { Run(); });
}

DeliveryThread::~DeliveryThread() {
  Stop();
}

void DeliveryThread::SetCallback(Callback callback) {
  callback_.store(callback);
  // Signals that came while no callback was installed are still pending.
  if (callback == nullptr) return;
  { std::lock_guard<std::mutex> lock(mutex_); }
  wake_.notify_one();
}

uint64_t DeliveryThread::Arrived(uint64_t count, uint64_t bytes) {
  std::unique_lock<std::mutex> lock(mutex_);
  samples_ += static_cast<int64_t>(count);
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
    // Past twice the bound with more than a few samples queued, only the
    // deadline ends a wait without room.
    const Clock::time_point deadline = stalled_since_ + kStallTime;
    const bool full_hold = bytes_ > 2 * bound && samples_ > kSlicedSamples;
    const Clock::time_point until = full_hold ? deadline : std::min(now + kHoldSlice, deadline);
    const bool room = room_.wait_until(lock, until, [&] { return bytes_ <= bound || stopping_; });
    // A reader that takes again before the deadline keeps its samples; the
    // next arrival waits again.
    if (room || stopping_ || Clock::now() < stalled_since_ + kStallTime) return 0;
  }
  if (!dropping_) SetDropping(true);
  return static_cast<uint64_t>(bytes_ - bound);
}

void DeliveryThread::Dropped(uint64_t count, uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  samples_ -= static_cast<int64_t>(count);
  bytes_ -= static_cast<int64_t>(bytes);
  dropped_in_episode_ += count;
  dropped_total_.fetch_add(count);
}

void DeliveryThread::Taken(uint64_t count, uint64_t bytes, bool more) {
  more_.store(more);
  if (count == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  samples_ -= static_cast<int64_t>(count);
  bytes_ -= static_cast<int64_t>(bytes);
  const auto bound = static_cast<int64_t>(kBoundBytes);
  // Taking again means the writes before went through: for a reliable path,
  // the destination acknowledged them. A best-effort reader waits for half its
  // bound, so that a steady overload is one episode, not one per take.
  if (dropping_ && (holds_back_.load() || bytes_ <= bound / 2)) SetDropping(false);
  if (bytes_ <= bound) {
    over_bound_ = false;
    room_.notify_all();
  } else {
    stalled_since_ = Clock::now();
  }
}

void DeliveryThread::SetDropping(bool dropping) {
  dropping_ = dropping;
  const std::string what =
      dropping ? "its destination does not keep up; dropping what its backlog cannot hold"
               : "its destination keeps up again; " + std::to_string(dropped_in_episode_) +
                     " samples dropped";
  dropped_in_episode_ = 0;
  logger_log(LOGGER_WARNING, "Reader of topic '%s' in domain %d: %s", topic_.c_str(),
             static_cast<int>(domain_), what.c_str());
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

bool DeliveryThread::KeepWaiting() {
  if (!IsCurrentThread() || context_.load() == nullptr) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  return !stopping_;
}

bool DeliveryThread::DeferFlush(void (*flush)(int64_t handle), int64_t handle) {
  if (!IsCurrentThread()) return false;
  for (int i = 0; i < batch_.count; i++) {
    if (batch_.handles[i] == handle && batch_.flush[i] == flush) return true;
  }
  if (batch_.count == Batch::kCapacity) return false;
  batch_.flush[batch_.count] = flush;
  batch_.handles[batch_.count++] = handle;
  return true;
}

void DeliveryThread::Run() {
  thread_id_.store(std::this_thread::get_id());
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // Samples that come while no callback is installed wait for one.
    wake_.wait(lock, [this] { return stopping_ || (pending_ && callback_.load() != nullptr); });
    if (stopping_) break;
    pending_ = false;
    lock.unlock();
    Deliver();
    batch_.Flush();
    lock.lock();
  }
}

void DeliveryThread::Deliver() {
  for (int calls = 1;; calls++) {
    const Callback callback = callback_.load();
    if (callback == nullptr) return;
    more_.store(false);
    callback(reader_);
    if (!more_.load()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
    }
    if (calls % kCallsPerFlush == 0) batch_.Flush();
  }
}

}  // namespace corvane_dds
