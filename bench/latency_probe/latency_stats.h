// Collects the one-way latencies of the samples in a window of sequence
// numbers and summarises them. Samples outside the window (warm-up, strays)
// are ignored; a sequence number seen twice counts once, as a duplicate.

#ifndef CORVANE_BENCH_LATENCY_PROBE_LATENCY_STATS_H_
#define CORVANE_BENCH_LATENCY_PROBE_LATENCY_STATS_H_

#include <cstdint>
#include <string>
#include <vector>

struct LatencySummary {
  uint64_t count = 0;       // Distinct samples received inside the window.
  uint64_t lost = 0;        // Window size minus count.
  uint64_t duplicates = 0;  // Repeated sequence numbers inside the window.
  // Microseconds; meaningless when count is 0.
  double min_us = 0;
  double mean_us = 0;
  double median_us = 0;
  double p90_us = 0;
  double p99_us = 0;
  double max_us = 0;
};

class LatencyRecorder {
 public:
  // Measures sequence numbers [first_seq, end_seq); reserves room for all.
  LatencyRecorder(uint64_t first_seq, uint64_t end_seq);

  // `latency_ns` may be negative only through clock misuse; it is kept as is.
  void Record(uint64_t seq, int64_t latency_ns);

  // True once every sequence number of the window has arrived.
  bool Complete() const { return latencies_ns_.size() == end_seq_ - first_seq_; }

  LatencySummary Summarize() const;

 private:
  uint64_t first_seq_;
  uint64_t end_seq_;
  uint64_t duplicates_ = 0;
  std::vector<bool> seen_;
  std::vector<int64_t> latencies_ns_;
};

// Nearest-rank percentile (0 < p <= 100) of ascending `sorted`, which must be
// non-empty.
int64_t NearestRankPercentile(const std::vector<int64_t>& sorted, double p);

// One machine-readable line, without newline, e.g.
// "latency count=9000 lost=0 dup=0 min_us=40.1 mean_us=60.2 median_us=55.0
//  p90_us=80.3 p99_us=120.9 max_us=900.4"; latencies read "nan" when count is 0.
std::string FormatSummaryLine(const LatencySummary& summary);

#endif  // CORVANE_BENCH_LATENCY_PROBE_LATENCY_STATS_H_
