// The counting side of the per-rule records: what endpoints report.

#include "middleware/common/endpoint_stats.h"

namespace corvane_dds {

void EndpointStats::Matched(int32_t change) {
  channel_->matched[static_cast<int>(peers_)].fetch_add(change, std::memory_order_relaxed);
  const int32_t before = side_->count.fetch_add(change);
  const int32_t after = before + change;
  if (before <= 0 && after > 0) side_->appeared.store(true);
  if (before > 0 && after <= 0) side_->gone.store(true);
}

void EndpointStats::Refused(uint32_t count, uint32_t policy) {
  if (count == 0) return;
  side_->refused_policy.store(policy);
  side_->refused.fetch_add(count);
}

void StatsSlot::Attach(std::unique_ptr<EndpointStats> stats) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stats_) return;
  stats_ = std::move(stats);
  if (matched_ != 0) stats_->Matched(matched_);
  if (refused_ != 0) stats_->Refused(refused_, refused_policy_);
  attached_.store(stats_.get(), std::memory_order_release);
}

void StatsSlot::Matched(int32_t change) {
  std::lock_guard<std::mutex> lock(mutex_);
  matched_ += change;
  if (stats_) stats_->Matched(change);
}

void StatsSlot::Refused(int32_t change, uint32_t policy) {
  if (change <= 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (stats_) {
    stats_->Refused(static_cast<uint32_t>(change), policy);
  } else {
    refused_ += static_cast<uint32_t>(change);
    refused_policy_ = policy;
  }
}

}  // namespace corvane_dds
