// Publishes many ROS 2-shaped topics at once and times their arrival through a relay.
//
//   pattern_load --src D --dst D [--topics N] [--timeout S] [--linger S]
//
// Creates N writers of std_msgs/msg/String on rt/bench/t0000 … in domain
// --src and a reader of each in domain --dst; every writer writes every
// 100 ms until its reader has a sample. Then one more pair, on rt/late/t,
// appears alone. Prints "topics=N first_ms=… all_ms=… late_ms=…" (from the
// writers' creation to the first reader's sample, to every reader's, and for
// the late topic from its creation to its sample), then "steady", and
// lingers --linger seconds before it exits. Status 1 on a timeout.

#include <dds/dds.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pattern_sample.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Pair {
  dds_entity_t writer;
  dds_entity_t reader;
  bool arrived = false;
};

long long Ms(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

Pair CreatePair(dds_entity_t src, dds_entity_t dst, const std::string& name, const dds_qos_t* qos) {
  const dds_entity_t src_topic = dds_create_topic(src, &std_msgs_msg_dds__String__desc,
                                                  name.c_str(), nullptr, nullptr);
  const dds_entity_t dst_topic = dds_create_topic(dst, &std_msgs_msg_dds__String__desc,
                                                  name.c_str(), nullptr, nullptr);
  return {dds_create_writer(src, src_topic, qos, nullptr),
          dds_create_reader(dst, dst_topic, qos, nullptr)};
}

// Writes on every pair not arrived yet until all have, or the deadline;
// returns the time the first one arrived, or -1.
long long RunUntilArrived(std::vector<Pair>& pairs, Clock::time_point start,
                          Clock::time_point deadline) {
  long long first = -1;
  size_t arrived = 0;
  char text[] = "x";
  std_msgs_msg_dds__String_ sample{text};
  Clock::time_point next_write = Clock::now();
  while (arrived < pairs.size() && Clock::now() < deadline) {
    if (Clock::now() >= next_write) {
      for (Pair& pair : pairs) {
        if (!pair.arrived) dds_write(pair.writer, &sample);
      }
      next_write = Clock::now() + std::chrono::milliseconds(100);
    }
    for (Pair& pair : pairs) {
      if (pair.arrived) continue;
      void* samples[1] = {nullptr};
      dds_sample_info_t info;
      if (dds_take(pair.reader, samples, &info, 1, 1) > 0) {
        dds_return_loan(pair.reader, samples, 1);
        pair.arrived = true;
        arrived++;
        if (first < 0) first = Ms(start);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return arrived == pairs.size() ? first : -1;
}

int Int(int argc, char** argv, const char* name, int fallback) {
  for (int i = 1; i + 1 < argc; i++) {
    if (std::strcmp(argv[i], name) == 0) return std::atoi(argv[i + 1]);
  }
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const int topics = Int(argc, argv, "--topics", 1000);
  const auto deadline = Clock::now() + std::chrono::seconds(Int(argc, argv, "--timeout", 60));
  const dds_entity_t src = dds_create_participant(Int(argc, argv, "--src", 0), nullptr, nullptr);
  const dds_entity_t dst = dds_create_participant(Int(argc, argv, "--dst", 1), nullptr, nullptr);
  if (src <= 0 || dst <= 0) return 2;
  dds_qos_t* qos = dds_create_qos();
  dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));

  std::vector<Pair> pairs;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < topics; i++) {
    char name[32];
    std::snprintf(name, sizeof name, "rt/bench/t%04d", i);
    pairs.push_back(CreatePair(src, dst, name, qos));
  }
  const long long first = RunUntilArrived(pairs, start, deadline);
  const long long all = Ms(start);
  std::vector<Pair> late = {CreatePair(src, dst, "rt/late/t", qos)};
  const Clock::time_point late_start = Clock::now();
  const long long late_ms = RunUntilArrived(late, late_start, deadline);
  dds_delete_qos(qos);
  std::printf("topics=%d first_ms=%lld all_ms=%lld late_ms=%lld\n", topics, first, all, late_ms);
  std::printf("steady\n");
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(Int(argc, argv, "--linger", 0)));
  dds_delete(src);
  dds_delete(dst);
  return first >= 0 && late_ms >= 0 ? 0 : 1;
}
