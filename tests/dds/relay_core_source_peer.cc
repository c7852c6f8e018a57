// A typed publisher in a process of its own, so that a relay in the test
// process receives its samples over the network instead of by local delivery.
//
// Usage: relay_core_source_peer DOMAIN TOPIC keyed|plain MATCHES SENSORS ROUNDS [STEP...]
// The readings are MakeReadings(SENSORS, ROUNDS), SENSORS comma-separated;
// reading i is published with SourceTimestamp(i). Steps: w<i> writes reading
// i, d<i> disposes its instance, u<i> unregisters it, p<ms> pauses. Without
// steps every reading is written in order. Prints "matched" once MATCHES
// readers match and "done" after the last step, then stays until SIGTERM.
// Exit status: 0 after SIGTERM, 2 bad arguments, 3 a DDS call failed, 4 no
// match within 20 s.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "relay_core_peers.h"

namespace {

volatile std::sig_atomic_t x_stop = 0;

void OnStop(int) {
  x_stop = 1;
}

std::vector<int32_t> ParseSensors(const std::string& list) {
  std::vector<int32_t> sensors;
  std::stringstream stream(list);
  for (std::string item; std::getline(stream, item, ',');) sensors.push_back(std::stoi(item));
  return sensors;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) return 2;
  std::signal(SIGTERM, OnStop);
  const dds_domainid_t domain = static_cast<dds_domainid_t>(std::atoi(argv[1]));
  const std::string topic = argv[2];
  const bool keyed = std::string(argv[3]) == "keyed";
  const int matches = std::atoi(argv[4]);
  const std::vector<relay_core_test::Reading> readings =
      relay_core_test::MakeReadings(ParseSensors(argv[5]), std::atoi(argv[6]));
  std::vector<std::string> steps(argv + 7, argv + argc);
  if (steps.empty()) {
    for (size_t i = 0; i < readings.size(); i++) steps.push_back("w" + std::to_string(i));
  }

  relay_core_test::TypedPeer peer(domain);
  // Without auto-dispose, so that unregistering leaves the instance without
  // writers instead of disposing it.
  const dds_entity_t writer = peer.Writer(peer.Topic(keyed, topic), false);
  if (writer <= 0) return 3;
  if (!relay_core_test::WaitFor(
          [&] { return relay_core_test::PublicationsMatched(writer) >= matches; },
          std::chrono::seconds(20))) {
    return 4;
  }
  std::this_thread::sleep_for(relay_core_test::kMatchSettle);
  std::printf("matched\n");
  std::fflush(stdout);
  for (const std::string& step : steps) {
    if (!relay_core_test::RunSourceStep(writer, keyed, readings, step)) return 3;
  }
  std::printf("done\n");
  std::fflush(stdout);
  relay_core_test::WaitFor([] { return x_stop != 0; }, std::chrono::seconds(60));
  return 0;
}
