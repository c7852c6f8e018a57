#include "bench/latency_probe/latency_stats.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <numeric>

LatencyRecorder::LatencyRecorder(uint64_t first_seq, uint64_t end_seq)
    : first_seq_(first_seq), end_seq_(std::max(first_seq, end_seq)) {
  seen_.assign(end_seq_ - first_seq_, false);
  latencies_ns_.reserve(end_seq_ - first_seq_);
}

void LatencyRecorder::Record(uint64_t seq, int64_t latency_ns) {
  if (seq < first_seq_ || seq >= end_seq_) return;
  const uint64_t index = seq - first_seq_;
  if (seen_[index]) {
    ++duplicates_;
    return;
  }
  seen_[index] = true;
  latencies_ns_.push_back(latency_ns);
}

int64_t NearestRankPercentile(const std::vector<int64_t>& sorted, double p) {
  const double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
  const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
  return sorted[std::min(index, sorted.size() - 1)];
}

LatencySummary LatencyRecorder::Summarize() const {
  LatencySummary summary;
  summary.count = latencies_ns_.size();
  summary.lost = (end_seq_ - first_seq_) - summary.count;
  summary.duplicates = duplicates_;
  if (latencies_ns_.empty()) return summary;

  std::vector<int64_t> sorted = latencies_ns_;
  std::sort(sorted.begin(), sorted.end());
  const auto us = [](int64_t ns) { return static_cast<double>(ns) / 1000.0; };
  const double sum_ns = std::accumulate(sorted.begin(), sorted.end(), 0.0);
  summary.min_us = us(sorted.front());
  summary.mean_us = sum_ns / static_cast<double>(sorted.size()) / 1000.0;
  summary.median_us = us(NearestRankPercentile(sorted, 50));
  summary.p90_us = us(NearestRankPercentile(sorted, 90));
  summary.p99_us = us(NearestRankPercentile(sorted, 99));
  summary.max_us = us(sorted.back());
  return summary;
}

std::string FormatSummaryLine(const LatencySummary& summary) {
  char line[320];
  if (summary.count == 0) {
    std::snprintf(line, sizeof line,
                  "latency count=0 lost=%" PRIu64 " dup=%" PRIu64
                  " min_us=nan mean_us=nan median_us=nan p90_us=nan p99_us=nan max_us=nan",
                  summary.lost, summary.duplicates);
  } else {
    std::snprintf(line, sizeof line,
                  "latency count=%" PRIu64 " lost=%" PRIu64 " dup=%" PRIu64
                  " min_us=%.1f mean_us=%.1f median_us=%.1f p90_us=%.1f p99_us=%.1f max_us=%.1f",
                  summary.count, summary.lost, summary.duplicates, summary.min_us, summary.mean_us,
                  summary.median_us, summary.p90_us, summary.p99_us, summary.max_us);
  }
  return line;
}
