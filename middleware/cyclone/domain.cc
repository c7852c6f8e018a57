// The layer's Cyclone domain instances and their configuration.

#include "middleware/cyclone/domain.h"

#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "middleware/logger.h"

namespace corvane_dds {
namespace {

// Batched writes: a delivery thread flushes its writers once it has drained
// its reader, so a burst of samples leaves in few datagrams instead of one
// sendmsg per sample.
constexpr char kTuning[] = "<Internal><WriteBatch>true</WriteBatch></Internal>";

struct Registry {
  std::mutex mutex;
  std::condition_variable released;
  // The ids that have an instance in Cyclone, held or still being deleted.
  std::map<dds_DomainId_t, std::weak_ptr<CycloneDomain>> domains;
};

Registry& TheRegistry() {
  // Never destroyed: static objects that hold instances may go after it.
  static Registry* registry = new Registry;
  return *registry;
}

}  // namespace

CycloneDomain::~CycloneDomain() {
  dds_delete(handle_);
  Registry& registry = TheRegistry();
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.domains.erase(id_);
  }
  registry.released.notify_all();
}

std::shared_ptr<CycloneDomain> AcquireCycloneDomain(dds_DomainId_t domain_id) {
  if (domain_id < 0) return nullptr;
  Registry& registry = TheRegistry();
  std::unique_lock<std::mutex> lock(registry.mutex);
  for (auto it = registry.domains.find(domain_id); it != registry.domains.end();
       it = registry.domains.find(domain_id)) {
    if (std::shared_ptr<CycloneDomain> existing = it->second.lock()) return existing;
    // The last holder has let go; Cyclone frees the id in a moment.
    registry.released.wait(lock);
  }
  std::string config = kTuning;
  const char* user = std::getenv("CYCLONEDDS_URI");
  if (user != nullptr && *user != '\0') config.append(",").append(user);
  const dds_entity_t handle =
      dds_create_domain(static_cast<dds_domainid_t>(domain_id), config.c_str());
  if (handle <= 0) {
    logger* log = logger_global();
    if (log->level <= LOGGER_ERROR) {
      logger_write(log, LOGGER_ERROR, 0, 0, 0,
                   "Cyclone DDS refused domain %d: its id or the configuration in "
                   "CYCLONEDDS_URI is unusable (%s)",
                   domain_id, dds_strretcode(handle));
    }
    return nullptr;
  }
  auto domain = std::make_shared<CycloneDomain>(CycloneDomain::Token{}, domain_id, handle);
  registry.domains[domain_id] = domain;
  return domain;
}

}  // namespace corvane_dds
