// Deletion of a lane's Cyclone writers on threads of its own.

#include "middleware/cyclone/reaper.h"

#include "middleware/common/signal_block.h"

namespace corvane_dds {

WriterReaper::~WriterReaper() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    threads.swap(threads_);
  }
  wake_.notify_all();
  for (std::thread& thread : threads) thread.join();
}

void WriterReaper::Delete(dds_entity_t writer) {
  if (writer <= 0) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    doomed_.push_back(writer);
    if (idle_ < doomed_.size() && threads_.size() < kThreads) {
      // The process's signals are for the main thread.
      const SignalBlock block;
      threads_.emplace_back([this] { Work(); });
    }
  }
  wake_.notify_one();
}

void WriterReaper::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    idle_++;
    wake_.wait(lock, [this] { return stopping_ || !doomed_.empty(); });
    idle_--;
    if (doomed_.empty()) return;  // stopping, and nothing is left
    const dds_entity_t writer = doomed_.front();
    doomed_.pop_front();
    lock.unlock();
    dds_delete(writer);
    lock.lock();
  }
}

}  // namespace corvane_dds
