#ifndef CORVANE_MIDDLEWARE_DDS_DELIVERY_INTERNAL_H_
#define CORVANE_MIDDLEWARE_DDS_DELIVERY_INTERNAL_H_

// Delivery of a reader's data-available callback on a thread of the layer.
//
// Cyclone calls its listeners on the domain's receive thread, which also
// processes the acknowledgements of every writer in that domain instance. A
// callback that writes into another domain and waits there for room would
// hold that thread, and two relays in opposite directions would wait for each
// other. So the Cyclone listener only signals; the reader's own thread calls
// the layer's callback, again and again while the reader's last take came back
// full, and then flushes the writes it made (they are batched, so a burst
// costs few datagrams).
//
// Back-pressure: the listener of a reliable reader waits while the reader
// holds a full backlog, which holds Cyclone's receive thread and so the
// source. That keeps a reliable path lossless and its memory bounded. Cyclone's
// own bound (resource limits) is no use here: a full reliable reader makes the
// receive thread retry in 10 ms sleeps, which wastes most of the time under
// load, and a reader deleted while full is retried forever.

#include <dds/dds.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

struct dds_DataReader;

namespace corvane_dds {

class DeliveryThread {
 public:
  explicit DeliveryThread(dds_DataReader* reader);
  ~DeliveryThread();  // Stop() and join
  DeliveryThread(const DeliveryThread&) = delete;
  DeliveryThread& operator=(const DeliveryThread&) = delete;

  // A reliable reader holds its source back: Signal waits while the reader
  // holds a full backlog. Set before the reader can receive anything.
  void set_holds_back(bool holds_back) { holds_back_.store(holds_back); }

  // One new sample, from Cyclone's listener (on Cyclone's receive thread).
  void Signal();
  // `count` samples of `bytes` in all were taken; `drained` when the take
  // emptied the reader.
  void Taken(uint32_t count, uint64_t bytes, bool drained);
  // A callback was installed: signals that came before it are delivered now.
  void Kick();
  // Ends the thread after a callback in progress returns; waits for that.
  // From then on Signal never waits. Must not be called on the thread itself.
  void Stop();
  bool IsCurrentThread() const { return std::this_thread::get_id() == thread_id_.load(); }

 private:
  void Run();
  // One wake-up: the callback until the reader is drained, then the flush.
  void Deliver();

  dds_DataReader* const reader_;
  std::atomic<bool> holds_back_{false};
  std::atomic<std::thread::id> thread_id_{};
  std::mutex mutex_;
  std::condition_variable wake_;  // for the thread
  std::condition_variable room_;  // for Cyclone's listener
  bool pending_ = false;          // guarded by mutex_
  bool stopping_ = false;         // guarded by mutex_
  int64_t backlog_ = 0;           // samples signalled and not yet taken; guarded by mutex_
  int64_t high_ = 256;            // backlog at which Signal waits; guarded by mutex_
  std::thread thread_;
};

// Writes on a delivery thread are flushed once the thread has drained its
// reader; elsewhere each write is flushed at once. False when the caller must
// flush `writer` itself.
bool DeferFlush(dds_entity_t writer);

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_DDS_DELIVERY_INTERNAL_H_
