#ifndef CORVANE_MIDDLEWARE_DDS_DELIVERY_INTERNAL_H_
#define CORVANE_MIDDLEWARE_DDS_DELIVERY_INTERNAL_H_

// Delivery of a reader's data-available callback on a thread of the layer,
// and the bound of the reader's backlog.
//
// Cyclone calls its listeners on the domain's receive thread, which also
// processes the acknowledgements of every writer in that domain instance and
// the samples of every other reader there. So the listener queues the samples
// and signals; the reader's own thread calls the layer's callback, again and
// again while the reader's last take came back full, and then flushes the
// writes it made (they are batched, so a burst costs few datagrams).
//
// A lone sample (one that finds its reader idle, kLoneGap or more after the
// one before) is delivered at once on the listener, which saves the thread's
// wake-up; a stream stays with the thread, whose writes are batched. Such a callback must never
// wait: the layer's Cyclone writers refuse a write at once when their history is full (they have no
// blocking time), and a write refused there, with every write of that callback after it, is handed
// to the reader's thread, which makes it before anything else.
//
// The backlog is bounded in bytes. A reliable reader holds its source back
// while its backlog is over the bound, which keeps a path whose destination
// keeps up lossless, however slow, with bounded memory. The hold is bounded:
// it waits in short slices, so the receive thread still gets through
// acknowledgements (two opposite relays never wait for each other), and a
// reader that took nothing for kStallTime stops holding at all. From then on
// it drops its oldest samples beyond the bound, counting them, until it takes
// again, which its delivery thread only does once the destination has
// acknowledged the writes before. A best-effort reader never holds: it drops
// at once.
//
// The interface takes sizes and counts only, so that any reader with a
// queue of its own can use it: call Arrived after queueing, drop what it
// asks, report Dropped and Taken.

#include <dds/dds.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

struct dds_DataReader;
struct ddsi_serdata;

namespace corvane_dds {

class DeliveryThread {
 public:
  using Clock = std::chrono::steady_clock;

  // Bytes a backlog holds before its reader holds the source back or drops.
  static constexpr uint64_t kBoundBytes = 2 << 20;
  // A sample that comes at least this long after the one before is lone.
  static constexpr Clock::duration kLoneGap = std::chrono::microseconds(500);
  // A reliable reader that took nothing for this long while over its bound
  // stops holding its source and drops instead. A destination that keeps up
  // can still hold a writer back for a few hundred milliseconds: Cyclone lets
  // a throttled writer go on only once nearly all it sent was acknowledged,
  // and a subscriber busy with a window of small samples acknowledges late.
  // So this is the writers' blocking time.
  static constexpr Clock::duration kStallTime = std::chrono::seconds(1);

  // Calls `reader`'s on_data_available; names its topic and domain in the
  // log lines about drops.
  explicit DeliveryThread(dds_DataReader* reader);
  ~DeliveryThread();  // Stop() and join
  DeliveryThread(const DeliveryThread&) = delete;
  DeliveryThread& operator=(const DeliveryThread&) = delete;

  // A reliable reader holds its source back. Set before the reader can
  // receive anything.
  void set_holds_back(bool holds_back) { holds_back_.store(holds_back); }
  // The callback may run inline (DeliverInline).
  void set_inline(bool allowed) { inline_.store(allowed); }

  // `bytes` joined an empty backlog of an idle reader, alone (on the source's
  // receive thread): calls the callback here and returns true. False, having
  // done nothing, when inline delivery is off, the sample is not lone, or the
  // reader is not idle or has no callback.
  bool DeliverInline(uint64_t bytes);
  // `bytes` joined the backlog (on the source's receive thread): wakes the
  // thread and, while the backlog is over its bound, waits (never longer than
  // kStallTime in all) for room. Returns how many bytes the caller must drop,
  // oldest first, then report with Dropped.
  uint64_t Arrived(uint64_t bytes);
  // `count` samples of `bytes` in all were dropped from the backlog.
  void Dropped(uint64_t count, uint64_t bytes);
  // `bytes` left the backlog through a take; `count` samples of them.
  void Taken(uint64_t count, uint64_t bytes);
  // A callback was installed: samples that came before it are delivered now.
  void Kick();
  // Ends the thread after a callback in progress returns; waits for that.
  // From then on Arrived never waits. Must not be called on the thread itself.
  void Stop();
  // True on the thread and in a callback that runs inline.
  bool IsCurrentThread() const;

  // Samples this reader dropped since it was created.
  uint64_t dropped() const { return dropped_total_.load(); }

  // On a delivery thread that is not stopping, and while its reader has a
  // listener context, waits for `writer`'s readers to acknowledge all it
  // wrote: true when a write that timed out should be tried again. Elsewhere
  // false at once. Clearing the context is how the owner of a callback ends
  // its retries before it waits for the callback to return.
  static bool AwaitAcknowledgements(dds_entity_t writer);
  // In a callback called by DeliverInline, when `refused` or when the
  // callback handed a write on before, hands the write of `sample` through
  // `writer` to the reader's thread (with a reference of its own): true.
  // Elsewhere false.
  static bool HandOn(dds_entity_t writer, ddsi_serdata* sample, bool refused);
  // True on a delivery thread.
  static bool OnDeliveryThread();

 private:
  void Run();
  // One wake-up: the callback until the reader is drained, then the flush.
  void Deliver();
  // Makes the writes handed on by an inline callback, in order.
  void WriteHandedOn();
  // Drop mode starts or ends; logs it. Needs mutex_.
  void StartDropping();
  void EndDropping();

  dds_DataReader* const reader_;
  std::atomic<bool> holds_back_{false};
  std::atomic<bool> inline_{false};
  std::atomic<std::thread::id> thread_id_{};
  std::atomic<uint64_t> dropped_total_{0};
  std::mutex mutex_;
  std::condition_variable wake_;      // for the thread
  std::condition_variable room_;      // for Cyclone's listener
  bool pending_ = false;              // guarded by mutex_
  bool busy_ = false;                 // a callback runs; guarded by mutex_
  Clock::time_point last_arrival_{};  // guarded by mutex_
  // Writes an inline callback handed on, each owning one reference; guarded.
  std::vector<std::pair<dds_entity_t, ddsi_serdata*>> handed_on_;
  bool stopping_ = false;  // guarded by mutex_
  int64_t bytes_ = 0;      // queued and not taken; guarded by mutex_
  // Since when the reader has taken nothing while over its bound; guarded.
  Clock::time_point stalled_since_{};
  bool over_bound_ = false;          // guarded by mutex_
  bool dropping_ = false;            // guarded by mutex_
  uint64_t dropped_in_episode_ = 0;  // guarded by mutex_
  std::thread thread_;
};

// Writes on a delivery thread are flushed once the thread has drained its
// reader; elsewhere each write is flushed at once. False when the caller must
// flush `writer` itself.
bool DeferFlush(dds_entity_t writer);

// Publishes `sample` through `writer` as the layer's write does
// (dds_data_path.cc): waiting at most `max_blocking_time` for room, or as
// long as AwaitAcknowledgements says on a delivery thread, or not at all in
// a callback that runs inline (HandOn). The caller keeps its reference.
dds_return_t PublishWaiting(dds_entity_t writer, ddsi_serdata* sample,
                            dds_duration_t max_blocking_time);

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_DDS_DELIVERY_INTERNAL_H_
