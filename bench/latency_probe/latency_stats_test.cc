#include "bench/latency_probe/latency_stats.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench/latency_probe/probe_options.h"

namespace {

TEST(NearestRankPercentileTest, PicksTheRankedElement) {
  const std::vector<int64_t> hundred = [] {
    std::vector<int64_t> v;
    for (int64_t i = 1; i <= 100; ++i) v.push_back(i);
    return v;
  }();
  struct Case {
    std::vector<int64_t> sorted;
    double p;
    int64_t expected;
  } cases[] = {
      {{7}, 50, 7},       {{7}, 99, 7},          {{1, 2}, 50, 1},   {{1, 2}, 51, 2},
      {{1, 2, 3}, 50, 2}, {{1, 2, 3, 4}, 50, 2}, {hundred, 50, 50}, {hundred, 90, 90},
      {hundred, 99, 99},  {hundred, 100, 100},   {hundred, 0.1, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NearestRankPercentile(c.sorted, c.p), c.expected)
        << "size " << c.sorted.size() << " p " << c.p;
  }
}

TEST(LatencyRecorderTest, CountsWindowLossAndDuplicates) {
  struct Arrival {
    uint64_t seq;
    int64_t latency_ns;
  };
  struct Case {
    const char* name;
    std::vector<Arrival> arrivals;
    uint64_t count, lost, duplicates;
    bool complete;
  } cases[] = {
      {"all in order", {{10, 1}, {11, 1}, {12, 1}, {13, 1}}, 4, 0, 0, true},
      {"warm-up and late strays ignored",
       {{9, 1}, {10, 1}, {11, 1}, {12, 1}, {13, 1}, {14, 1}},
       4,
       0,
       0,
       true},
      {"gap is lost", {{10, 1}, {13, 1}}, 2, 2, 0, false},
      {"duplicate counted once", {{10, 1}, {10, 5}, {11, 1}}, 2, 2, 1, false},
      {"out of order", {{13, 1}, {11, 1}, {12, 1}, {10, 1}}, 4, 0, 0, true},
      {"nothing", {}, 0, 4, 0, false},
  };
  for (const Case& c : cases) {
    LatencyRecorder recorder(10, 14);
    for (const Arrival& a : c.arrivals) recorder.Record(a.seq, a.latency_ns);
    const LatencySummary s = recorder.Summarize();
    EXPECT_EQ(s.count, c.count) << c.name;
    EXPECT_EQ(s.lost, c.lost) << c.name;
    EXPECT_EQ(s.duplicates, c.duplicates) << c.name;
    EXPECT_EQ(recorder.Complete(), c.complete) << c.name;
  }
}

TEST(LatencyRecorderTest, SummarisesInMicroseconds) {
  LatencyRecorder recorder(0, 4);
  recorder.Record(0, 4000);
  recorder.Record(1, 1000);
  recorder.Record(2, 3000);
  recorder.Record(3, 2000);
  recorder.Record(1, 900000);  // Duplicate: must not become the maximum.
  const LatencySummary s = recorder.Summarize();
  EXPECT_DOUBLE_EQ(s.min_us, 1.0);
  EXPECT_DOUBLE_EQ(s.mean_us, 2.5);
  EXPECT_DOUBLE_EQ(s.median_us, 2.0);
  EXPECT_DOUBLE_EQ(s.p99_us, 4.0);
  EXPECT_DOUBLE_EQ(s.max_us, 4.0);
  EXPECT_EQ(FormatSummaryLine(s),
            "latency count=4 lost=0 dup=1 min_us=1.0 mean_us=2.5 median_us=2.0 p90_us=4.0 "
            "p99_us=4.0 max_us=4.0");
}

TEST(LatencyRecorderTest, EmptyWindowPrintsNan) {
  const LatencyRecorder recorder(0, 3);
  EXPECT_EQ(FormatSummaryLine(recorder.Summarize()),
            "latency count=0 lost=3 dup=0 min_us=nan mean_us=nan median_us=nan p90_us=nan "
            "p99_us=nan max_us=nan");
}

bool Parse(std::vector<std::string> args, ProbeOptions* options) {
  args.insert(args.begin(), "latency_probe");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string error;
  return ParseProbeOptions(static_cast<int>(args.size()), argv.data(), options, &error);
}

TEST(ProbeOptionsTest, ParsesAndRejects) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
  } cases[] = {
      {{"pub"}, true},
      {{"--rate", "500", "sub", "--domain", "120"}, true},
      {{"pub", "--size", "20"}, true},
      {{"pub", "--size", "19"}, false},  // Smaller than the fixed part.
      {{"pub", "--domain", "233"}, false},
      {{"pub", "--rate", "0"}, false},
      {{"pub", "--rate", "1k"}, false},
      {{"pub", "--duration", "0.0001", "--rate", "10"}, false},  // No sample in the window.
      {{}, false},
      {{"pub", "sub"}, false},
      {{"ping"}, false},
      {{"pub", "--bogus"}, false},
  };
  for (const Case& c : cases) {
    ProbeOptions options;
    std::string joined;
    for (const std::string& a : c.args) joined += a + " ";
    EXPECT_EQ(Parse(c.args, &options), c.ok) << joined;
  }
}

TEST(ProbeOptionsTest, WindowFollowsRateAndWarmup) {
  ProbeOptions options;
  ASSERT_TRUE(Parse({"sub", "--rate", "1000", "--warmup", "2", "--duration", "10", "--domain",
                     "115", "--topic", "t", "--size", "128"},
                    &options));
  EXPECT_EQ(options.mode, ProbeMode::kSubscribe);
  EXPECT_EQ(options.domain_id, 115);
  EXPECT_EQ(options.topic, "t");
  EXPECT_EQ(options.size, 128u);
  EXPECT_EQ(options.FirstMeasuredSeq(), 2000u);
  EXPECT_EQ(options.EndSeq(), 12000u);
}

}  // namespace
