// The reader's backlog of Cyclone samples.

#include "middleware/cyclone/backlog.h"

#include <dds/ddsi/ddsi_serdata.h>

#include "middleware/cyclone/raw_type.h"

namespace corvane_dds {
namespace {

constexpr int kTakePerCall = 16;

// Cyclone reads a category of a state mask that admits no state as "any".
bool Matches(const dds_sample_info_t& info, uint32_t mask) {
  return (mask & static_cast<uint32_t>(info.sample_state)) != 0 &&
         (mask & static_cast<uint32_t>(info.view_state)) != 0 &&
         (mask & static_cast<uint32_t>(info.instance_state)) != 0;
}

}  // namespace

SampleBacklog::~SampleBacklog() {
  for (const BacklogSample& entry : samples_) ddsi_serdata_unref(entry.sample);
}

BacklogCount SampleBacklog::TakeFrom(dds_entity_t cyclone_reader, int kind) {
  BacklogCount taken;
  ddsi_serdata* samples[kTakePerCall];
  dds_sample_info_t infos[kTakePerCall];
  for (;;) {
    const int count = dds_takecdr(cyclone_reader, samples, kTakePerCall, infos, 0);
    if (count <= 0) break;
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < count; i++) {
      const uint32_t size = RawSerdataSize(samples[i]);
      samples_.push_back({samples[i], infos[i], kind, cyclone_reader, size});
      taken.samples++;
      taken.bytes += size;
    }
    if (count < kTakePerCall) break;
  }
  return taken;
}

BacklogCount SampleBacklog::MoveTo(uint32_t limit, uint32_t mask, std::vector<BacklogSample>* out,
                                   bool* more) {
  BacklogCount moved;
  *more = false;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = samples_.begin(); it != samples_.end();) {
    if (!Matches(it->info, mask)) {
      ++it;
      continue;
    }
    if (moved.samples == limit) {
      *more = true;
      break;
    }
    out->push_back(*it);
    moved.samples++;
    moved.bytes += it->size;
    it = samples_.erase(it);
  }
  return moved;
}

BacklogCount SampleBacklog::DropOldest(uint64_t bytes) {
  BacklogCount dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  while (dropped.bytes < bytes && !samples_.empty()) {
    const BacklogSample& oldest = samples_.front();
    dropped.samples++;
    dropped.bytes += oldest.size;
    ddsi_serdata_unref(oldest.sample);
    samples_.pop_front();
  }
  return dropped;
}

}  // namespace corvane_dds
