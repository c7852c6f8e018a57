#include "tests/support/cyclone_peer_basics.h"

#include <cstdlib>
#include <string>
#include <thread>

namespace corvane_test {

dds_entity_t CreatePeerParticipant(dds_domainid_t domain_id) {
  // Far above the DDS domain ids (0..232); the instance shows `domain_id` on
  // the network.
  const dds_domainid_t instance = 0x40000000u + domain_id;
  std::string config = "<Discovery><ExternalDomainId>" + std::to_string(domain_id) +
                       "</ExternalDomainId></Discovery>";
  const char* user = std::getenv("CYCLONEDDS_URI");
  if (user != nullptr && *user != '\0') config = std::string(user) + "," + config;
  // Kept until the process ends; Cyclone refuses a second one of an id.
  const dds_entity_t domain = dds_create_domain(instance, config.c_str());
  if (domain < 0 && domain != DDS_RETCODE_PRECONDITION_NOT_MET) return domain;
  return dds_create_participant(instance, nullptr, nullptr);
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

Entity::~Entity() {
  if (handle_ > 0) dds_delete(handle_);
}

int32_t PublicationsMatched(dds_entity_t writer) {
  dds_publication_matched_status_t status{};
  if (dds_get_publication_matched_status(writer, &status) < 0) return -1;
  return static_cast<int32_t>(status.current_count);
}

int32_t SubscriptionsMatched(dds_entity_t reader) {
  dds_subscription_matched_status_t status{};
  if (dds_get_subscription_matched_status(reader, &status) < 0) return -1;
  return static_cast<int32_t>(status.current_count);
}

}  // namespace corvane_test
