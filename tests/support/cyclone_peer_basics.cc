#include "tests/support/cyclone_peer_basics.h"

#include <thread>

namespace corvane_test {

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
