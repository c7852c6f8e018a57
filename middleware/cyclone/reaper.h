// Deletion of a lane's Cyclone writers on threads of its own.
#ifndef CORVANE_MIDDLEWARE_CYCLONE_REAPER_H_
#define CORVANE_MIDDLEWARE_CYCLONE_REAPER_H_

// Deleting a Cyclone writer whose subscribers have not acknowledged all it
// sent waits until they have, or for Cyclone's linger time (a second), or
// until those subscribers' leases end (Fast DDS's default: 20 s). One after
// another, the writers of many rules into a hung subscriber's domain would
// then keep a stop waiting for as many seconds. So writers are handed to the
// reaper of their lane, whose threads delete up to kThreads at once; the
// lane's own deletion waits for them, which overlaps the waits of all its
// writers.

#include <dds/dds.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace corvane_dds {

class WriterReaper {
 public:
  static constexpr size_t kThreads = 16;

  WriterReaper() = default;
  // Waits until every writer handed over is deleted.
  ~WriterReaper();
  WriterReaper(const WriterReaper&) = delete;
  WriterReaper& operator=(const WriterReaper&) = delete;

  // Deletes `writer` soon, on a thread of the reaper. Its listener must be
  // gone already: the writer may outlive whatever the listener refers to.
  // Any thread.
  void Delete(dds_entity_t writer);

 private:
  void Work();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<dds_entity_t> doomed_;   // guarded by mutex_
  size_t idle_ = 0;                   // threads waiting for work; guarded by mutex_
  bool stopping_ = false;             // guarded by mutex_
  std::vector<std::thread> threads_;  // started on demand; guarded by mutex_
};

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_CYCLONE_REAPER_H_
