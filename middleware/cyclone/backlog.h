// A Cyclone reader's backlog of samples taken on the receive thread.
#ifndef CORVANE_MIDDLEWARE_CYCLONE_BACKLOG_H_
#define CORVANE_MIDDLEWARE_CYCLONE_BACKLOG_H_

// A reader's backlog: the Cyclone samples its listener took on the receive
// thread that its delivery thread has not taken yet. Taking them at once
// keeps the size of every queued sample known, so the bound is in bytes, and
// lets a rule whose destination stalled drop its own oldest samples instead
// of holding the receive thread that every reader of its domain shares.

#include <dds/dds.h>

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

struct ddsi_serdata;

namespace corvane_dds {

struct BacklogSample {
  ddsi_serdata* sample;  // one reference, owned by whoever holds the entry
  dds_sample_info_t info;
  int kind;             // kKeyless or kKeyed
  dds_entity_t source;  // the Cyclone reader it came from
  uint32_t size;
};

// How many samples and bytes an operation moved.
struct BacklogCount {
  uint32_t samples = 0;
  uint64_t bytes = 0;
};

class SampleBacklog {
 public:
  SampleBacklog() = default;
  ~SampleBacklog();  // releases the samples left
  SampleBacklog(const SampleBacklog&) = delete;
  SampleBacklog& operator=(const SampleBacklog&) = delete;

  // Takes every sample that `cyclone_reader`, of `kind`, holds.
  BacklogCount TakeFrom(dds_entity_t cyclone_reader, int kind);
  // Moves at most `limit` samples that match the Cyclone state `mask` to
  // `out`, oldest first; the caller owns their references from then on.
  // `more` tells whether matching samples are left.
  BacklogCount MoveTo(uint32_t limit, uint32_t mask, std::vector<BacklogSample>* out, bool* more);
  // Releases the oldest samples until at least `bytes` are gone or none is
  // left.
  BacklogCount DropOldest(uint64_t bytes);

 private:
  std::mutex mutex_;
  std::deque<BacklogSample> samples_;  // guarded by mutex_
};

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_CYCLONE_BACKLOG_H_
