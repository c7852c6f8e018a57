// A reader's delivery thread: its callback, the bound of its backlog, its batched writes.
#ifndef CORVANE_MIDDLEWARE_COMMON_DELIVERY_H_
#define CORVANE_MIDDLEWARE_COMMON_DELIVERY_H_

// The engines call their listeners on their receive threads, which also
// process the acknowledgements of every writer in that domain and the samples
// of every other reader there. So an engine's listener only queues the
// samples and signals; the reader's own thread calls the layer's callback,
// again and again while the reader's last take came back full, and then
// flushes the writes the callback made of the samples it took (they are
// batched, so a burst costs few datagrams).
//
// The backlog is bounded in bytes. A reliable reader holds its source back
// while its backlog is over the bound, which keeps a path whose destination
// keeps up lossless, however slow, with bounded memory. The hold is bounded:
// it waits in short slices, so the receive thread still gets through
// acknowledgements (two opposite relays never wait for each other), and a
// reader that took nothing for kStallTime stops holding at all. Only a
// backlog past twice the bound that also holds more than a few samples is
// held without slices, which bounds the memory of a slow path: a few large
// samples alone never hold the receive thread for long. From then on
// it drops its oldest samples beyond the bound, counting them, until it takes
// again, which its delivery thread only does once the destination has
// acknowledged the writes before. A best-effort reader never holds: it drops
// at once.
//
// The interface takes sizes and counts only, so that any engine's queue can
// use it: call Arrived after queueing, drop what it asks, report Dropped and
// Taken.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "middleware/dds.h"

namespace corvane_dds {

class DeliveryThread {
 public:
  using Clock = std::chrono::steady_clock;
  using Callback = void (*)(const dds_DataReader*);

  // Bytes a backlog holds before its reader holds the source back or drops.
  static constexpr uint64_t kBoundBytes = 2 << 20;
  // A reliable reader that took nothing for this long while over its bound
  // stops holding its source and drops instead. A destination that keeps up
  // can still hold a writer back for a few hundred milliseconds: Cyclone lets
  // a throttled writer go on only once nearly all it sent was acknowledged,
  // and a subscriber busy with a window of small samples acknowledges late.
  // So this is the writers' blocking time.
  static constexpr Clock::duration kStallTime = std::chrono::seconds(1);

  // Calls its callback with `reader`; names `topic` and `domain` in the log
  // lines about drops.
  DeliveryThread(const dds_DataReader* reader, std::string topic, dds_DomainId_t domain);
  ~DeliveryThread();  // Stop() and join
  DeliveryThread(const DeliveryThread&) = delete;
  DeliveryThread& operator=(const DeliveryThread&) = delete;

  // A reliable reader holds its source back. Set before the reader can
  // receive anything.
  void set_holds_back(bool holds_back) { holds_back_.store(holds_back); }
  // Installs the callback (null: none); samples that came before it are
  // delivered now.
  void SetCallback(Callback callback);
  // The callback's context; read and written atomically.
  void set_context(void* context) { context_.store(context); }
  void* context() const { return context_.load(); }

  // `count` samples of `bytes` in all joined the backlog (on the engine's
  // receive thread): wakes the thread and, while the backlog is over its
  // bound, waits (never longer than kStallTime in all) for room. Returns how
  // many bytes the caller must drop, oldest first, then report with Dropped.
  uint64_t Arrived(uint64_t count, uint64_t bytes);
  // `count` samples of `bytes` in all were dropped from the backlog.
  void Dropped(uint64_t count, uint64_t bytes);
  // `count` samples, `bytes` of the backlog, left it through a take; `more`
  // when the take was full and more may wait.
  void Taken(uint64_t count, uint64_t bytes, bool more);
  // Ends the thread after a callback in progress returns; waits for that.
  // From then on Arrived never waits. Must not be called on the thread itself.
  void Stop();
  bool IsCurrentThread() const { return std::this_thread::get_id() == thread_id_.load(); }

  // For a write, on this thread, of a sample this reader took: true while
  // the thread is not stopping and the reader has a listener context, so a
  // write that found its writer full should wait for acknowledgements and be
  // tried again. Clearing the context is how the owner of a callback ends its
  // retries before it waits for the callback to return. False elsewhere.
  bool KeepWaiting();
  // For such a write: `flush(handle)` runs once the reader is drained, and
  // true. False, when called elsewhere or the batch is full: the caller
  // flushes itself.
  bool DeferFlush(void (*flush)(int64_t handle), int64_t handle);

  // Samples this reader dropped since it was created.
  uint64_t dropped() const { return dropped_total_.load(); }

 private:
  // The writers written since the last flush, as (flush, handle) pairs; a
  // writer deleted meanwhile only makes its flush fail.
  struct Batch {
    static constexpr int kCapacity = 16;
    void (*flush[kCapacity])(int64_t) = {};
    int64_t handles[kCapacity] = {};
    int count = 0;
    void Flush();
  };

  void Run();
  // One wake-up: the callback until the reader is drained, then the flush.
  void Deliver();
  // Drop mode starts or ends; logs it. Needs mutex_.
  void SetDropping(bool dropping);

  const dds_DataReader* const reader_;
  const std::string topic_;
  const dds_DomainId_t domain_;
  std::atomic<bool> holds_back_{false};
  std::atomic<Callback> callback_{nullptr};
  std::atomic<void*> context_{nullptr};
  std::atomic<std::thread::id> thread_id_{};
  std::atomic<uint64_t> dropped_total_{0};
  std::atomic<bool> more_{false};  // the last take was full
  Batch batch_;                    // the thread's own
  std::mutex mutex_;
  std::condition_variable wake_;  // for the thread
  std::condition_variable room_;  // for the engine's listener
  bool pending_ = false;          // guarded by mutex_
  bool stopping_ = false;         // guarded by mutex_
  int64_t samples_ = 0;           // queued and not taken; guarded by mutex_
  int64_t bytes_ = 0;             // queued and not taken; guarded by mutex_
  // Since when the reader has taken nothing while over its bound; guarded.
  Clock::time_point stalled_since_{};
  bool over_bound_ = false;          // guarded by mutex_
  bool dropping_ = false;            // guarded by mutex_
  uint64_t dropped_in_episode_ = 0;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_COMMON_DELIVERY_H_
