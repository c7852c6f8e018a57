// What discovery finds in a Cyclone participant's domain, through the built-in topics.

#include "middleware/cyclone/entities.h"
#include "middleware/cyclone/qos.h"

namespace corvane_dds {
namespace {

constexpr int kBatch = 32;

// Takes what `reader` of a built-in endpoint topic holds and visits each
// live endpoint of a participant other than the process's own.
void TakeEndpoints(dds_entity_t reader, bool readers, dds_DiscoveredEndpointVisitor visit,
                   void* context) {
  for (;;) {
    void* samples[kBatch] = {};
    dds_sample_info_t infos[kBatch];
    const int n = dds_take(reader, samples, infos, kBatch, kBatch);
    if (n <= 0) return;
    for (int i = 0; i < n; i++) {
      const auto* endpoint = static_cast<const dds_builtintopic_endpoint_t*>(samples[i]);
      if (!infos[i].valid_data || infos[i].instance_state != DDS_IST_ALIVE) continue;
      if (IsOwnParticipant(ParticipantGuidOf(endpoint->participant_key))) continue;
      void* user_data = nullptr;
      size_t size = 0;
      if (endpoint->qos == nullptr || !dds_qget_userdata(endpoint->qos, &user_data, &size)) {
        user_data = nullptr;
      }
      const dds_DiscoveredEndpoint found = {endpoint->topic_name, endpoint->type_name, readers,
                                            static_cast<const uint8_t*>(user_data),
                                            static_cast<uint32_t>(size)};
      visit(&found, context);
      dds_free(user_data);
    }
    dds_return_loan(reader, samples, n);
  }
}

}  // namespace

void CycloneParticipant::TakeDiscovered(dds_DiscoveredEndpointVisitor visit, void* context) {
  const dds_entity_t topics[2] = {DDS_BUILTIN_TOPIC_DCPSPUBLICATION,
                                  DDS_BUILTIN_TOPIC_DCPSSUBSCRIPTION};
  for (int i = 0; i < 2; i++) {
    // Created on first demand: a participant no pattern asks about pays nothing.
    if (discovery_[i] <= 0)
      discovery_[i] = dds_create_reader(lanes_[0]->participant.get(), topics[i], nullptr, nullptr);
    if (discovery_[i] > 0) TakeEndpoints(discovery_[i], i == 1, visit, context);
  }
}

}  // namespace corvane_dds
