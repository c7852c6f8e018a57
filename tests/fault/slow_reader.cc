// fault_slow_reader: a subscriber that never reads, or reads slowly. Its
// reliable keep-all reader of ddsperf's data topic has room for a few samples
// only; once they are in, it acknowledges only as fast as it takes, and so
// holds back every writer it matched.
//
//   fault_slow_reader <domain id> <history limit> <seconds> [<takes/s>]
//
// Prints "ready" once the reader exists, "matched <n>" whenever the number of
// matched writers changes and, when it takes, "taken <n>" now and then.
// Ends after <seconds>, or on SIGINT or SIGTERM, with status 0; status 2 when
// the reader cannot be created.

#include <dds/dds.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "fault_keyed_seq.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void OnStop(int) {
  stop_requested = 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: %s <domain id> <history limit> <seconds> [<takes/s>]\n", argv[0]);
    return 1;
  }
  const auto domain = static_cast<dds_domainid_t>(std::atoi(argv[1]));
  const int32_t limit = std::atoi(argv[2]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[3]));
  const int takes_per_second = argc == 5 ? std::atoi(argv[4]) : 0;
  std::signal(SIGINT, OnStop);
  std::signal(SIGTERM, OnStop);

  const dds_entity_t participant = dds_create_participant(domain, nullptr, nullptr);
  const dds_entity_t topic =
      dds_create_topic(participant, &KeyedSeq_desc, "DDSPerfRDataKS", nullptr, nullptr);
  dds_qos_t* qos = dds_create_qos();
  dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
  dds_qset_history(qos, DDS_HISTORY_KEEP_ALL, 0);
  dds_qset_resource_limits(qos, limit, DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED);
  const dds_entity_t reader = dds_create_reader(participant, topic, qos, nullptr);
  dds_delete_qos(qos);
  if (participant < 0 || topic < 0 || reader < 0) {
    std::fprintf(stderr, "cannot create the reader in domain %d\n", static_cast<int>(domain));
    if (participant > 0) dds_delete(participant);
    return 2;
  }
  std::printf("ready\n");
  std::fflush(stdout);

  uint32_t matched = 0;
  uint64_t taken = 0;
  while (stop_requested == 0 && std::chrono::steady_clock::now() < deadline) {
    // One 20 ms period's share of samples, one take each.
    for (int i = 0; i < takes_per_second / 50; i++) {
      void* sample = nullptr;
      dds_sample_info_t info;
      if (dds_take(reader, &sample, &info, 1, 1) != 1) break;
      dds_return_loan(reader, &sample, 1);
      taken++;
    }
    if (takes_per_second > 0) {
      std::printf("taken %llu\n", static_cast<unsigned long long>(taken));
      std::fflush(stdout);
    }
    dds_subscription_matched_status_t status;
    if (dds_get_subscription_matched_status(reader, &status) == DDS_RETCODE_OK &&
        status.current_count != matched) {
      matched = status.current_count;
      std::printf("matched %d\n", static_cast<int>(matched));
      std::fflush(stdout);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  dds_delete(participant);
  return 0;
}
