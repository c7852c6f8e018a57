// Match and incompatible-QoS statuses of the layer's Cyclone endpoints, for
// the rule records (rule_stats_internal.h).

#include "middleware/dds_entities_internal.h"
#include "middleware/dds_listener_internal.h"
#include "middleware/rule_stats_internal.h"

namespace corvane_dds {
namespace {

// Cyclone resets the change fields of a status once its listener has run,
// so each call reports only its own change.

void OnSubscriptionMatched(dds_entity_t, const dds_subscription_matched_status_t status,
                           void* arg) {
  EndpointStats* stats = static_cast<dds_DataReader*>(arg)->stats.get();
  if (stats != nullptr) stats->Matched(status.current_count_change);
}

void OnRequestedIncompatibleQos(dds_entity_t, const dds_requested_incompatible_qos_status_t status,
                                void* arg) {
  EndpointStats* stats = static_cast<dds_DataReader*>(arg)->stats.get();
  if (stats != nullptr && status.total_count_change > 0) {
    stats->Refused(static_cast<uint32_t>(status.total_count_change), status.last_policy_id);
  }
}

void OnPublicationMatched(dds_entity_t, const dds_publication_matched_status_t status, void* arg) {
  EndpointStats* stats = static_cast<dds_DataWriter*>(arg)->stats.get();
  if (stats != nullptr) stats->Matched(status.current_count_change);
}

void OnOfferedIncompatibleQos(dds_entity_t, const dds_offered_incompatible_qos_status_t status,
                              void* arg) {
  EndpointStats* stats = static_cast<dds_DataWriter*>(arg)->stats.get();
  if (stats != nullptr && status.total_count_change > 0) {
    stats->Refused(static_cast<uint32_t>(status.total_count_change), status.last_policy_id);
  }
}

}  // namespace

void AddReaderMatchCallbacks(dds_listener_t* listener) {
  dds_lset_subscription_matched(listener, OnSubscriptionMatched);
  dds_lset_requested_incompatible_qos(listener, OnRequestedIncompatibleQos);
}

CycloneListener MakeWriterListener(dds_DataWriter* writer) {
  CycloneListener listener(dds_create_listener(writer));
  dds_lset_publication_matched(listener.get(), OnPublicationMatched);
  dds_lset_offered_incompatible_qos(listener.get(), OnOfferedIncompatibleQos);
  return listener;
}

}  // namespace corvane_dds
