// History of transient-local ("latched") publishers, carried across a relay.
#ifndef CORVANE_MIDDLEWARE_CYCLONE_LATCHED_H_
#define CORVANE_MIDDLEWARE_CYCLONE_LATCHED_H_

//
// Receiving: a transient-local reader gets what such publishers kept for late
// joiners but never matches a volatile publisher, so each reader kind has a
// transient-local twin beside its volatile reader. Both hear a transient-local
// publisher's live samples; the volatile one drops them (PublicationCache
// tells which publications are transient-local), so each sample is forwarded
// once.
//
// Keeping: one writer merges every source publisher into one history, and
// keep-last per instance keeps only the last publisher's samples of a keyless
// topic. So the samples of each transient-local source publisher go through a
// writer of its own (RetainedHistory), transient-local with that publisher's
// depth: a late joiner gets from it what it would have got from the publisher,
// and a subscriber already there gets each sample once. Keyed samples keep
// their instances where the peer sent key hashes. The relay's main writer
// carries the samples of volatile publishers and keeps only the last of them
// (one instance, whatever the key), so what it keeps never grows with the
// instances it has seen.

#include <dds/dds.h>
#include <dds/ddsi/ddsi_serdata.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "middleware/cyclone/reaper.h"
#include "middleware/dds.h"

namespace corvane_dds {

struct CycloneSample;

// What a relay's writer keeps for late joiners, in all: at most this many
// samples or bytes, whatever the source publishers' depths.
constexpr int64_t kMaxRetainedSamples = 1000;
constexpr int64_t kMaxRetainedBytes = int64_t{16} << 20;
// A departed publisher's samples stay this long (see RetainedHistory).
constexpr std::chrono::seconds kDepartedGrace{5};
// History writers of one relay writer: at most this many at once, and at most
// this many created within one second. Creating and deleting writers is slow
// (a deletion waits for acknowledgements), so a churn of transient-local
// publishers, or one whose samples alone pass the byte bound, must not make
// the relay do it without end.
constexpr size_t kMaxHistoryWriters = 256;
constexpr int kMaxNewHistoryWritersPerSecond = 64;

// The durability of the publications a reader matched, looked up once each.
class PublicationCache {
 public:
  // How many samples publication `handle`, matched by `reader`, keeps for
  // late joiners: 0 when it is volatile, -1 when it is no longer matched and
  // was never looked up.
  int32_t HistoryDepth(dds_entity_t reader, dds_instance_handle_t handle);

 private:
  std::mutex mutex_;
  std::unordered_map<dds_instance_handle_t, int32_t> depths_;  // guarded by mutex_
};

// The writers, one per transient-local source publication, that keep what
// those publications keep, for one relay writer. A publication's writer goes
// kDepartedGrace after the publication left its source reader: long enough for
// the reliable delivery of its last samples to end before the writer is
// deleted (deleting waits for acknowledgements), short enough that a late
// joiner hardly ever gets state whose publisher is gone. Past the bounds the
// oldest publication's history goes first, with one warning per relay writer.
// Past the writer bounds a publication gets no writer of its own: its samples
// go through the relay writer, which keeps only the last, with one warning
// each time the bounds start refusing.
class RetainedHistory {
 public:
  // `publisher` and `topics` (per kind) are the relay writer's; `qos` its
  // QoS. Its writers are deleted through `reaper`, which must outlive it.
  RetainedHistory(dds_entity_t publisher, const dds_entity_t (&topics)[2],
                  const dds_DataWriterQos& qos, std::string topic_name, WriterReaper& reaper);
  ~RetainedHistory();  // stops the sweeping thread, hands the writers to the reaper
  RetainedHistory(const RetainedHistory&) = delete;
  RetainedHistory& operator=(const RetainedHistory&) = delete;

  // The writer to publish `sample` through, the sample counted as kept;
  // <= 0 when none could be created or the writer bounds refuse one.
  // `origin` is where it was taken, from the source publication `publication`.
  dds_entity_t WriterFor(const CycloneSample& origin, uint64_t publication,
                         const ddsi_serdata* sample);

  // The USER_DATA every history writer announces, those there and those to come.
  void SetUserData(const std::string& bytes);

 private:
  struct Source {
    dds_entity_t writer = 0;  // deleted with the Source's removal
    dds_entity_t reader = 0;  // the source reader that matched the publication
    int32_t depth = 1;
    uint64_t last_write = 0;  // order of the latest write among sources
    bool departed = false;
    std::chrono::steady_clock::time_point departed_at;
    std::map<std::string, std::deque<uint32_t>> instances;  // key hash -> kept sizes
    int64_t samples = 0;
    int64_t bytes = 0;
  };
  using Key = std::pair<int, dds_instance_handle_t>;  // kind, source publication

  dds_entity_t CreateWriter(int kind, int32_t depth) const;
  // The helpers below need mutex_. Counts `sample` as kept by `source`.
  void Keep(Source* source, const ddsi_serdata* sample);
  // Drops a source and its counts; its writer goes to the reaper.
  void Forget(std::map<Key, Source>::iterator it);
  // True past the bounds; warns the first time.
  bool OverBounds();
  // True when the writer bounds admit one more writer, which is then counted.
  bool MayCreateWriter();
  void Sweep();

  const dds_entity_t publisher_;
  const dds_entity_t topics_[2];
  const dds_DataWriterQos qos_;
  const std::string topic_name_;
  WriterReaper& reaper_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<Key, Source> sources_;  // guarded by mutex_
  uint64_t writes_ = 0;            // guarded by mutex_
  int64_t samples_ = 0;            // guarded by mutex_
  int64_t bytes_ = 0;              // guarded by mutex_
  bool warned_ = false;            // guarded by mutex_
  std::string user_data_;          // guarded by mutex_
  // The writers created in the second since window_start_, and whether the
  // writer bounds are refusing; guarded by mutex_.
  std::chrono::steady_clock::time_point window_start_;
  int created_in_window_ = 0;
  bool refusing_ = false;
  bool stopping_ = false;  // guarded by mutex_
  std::thread sweeper_;
};

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_CYCLONE_LATCHED_H_
