// The layer's Cyclone domain instances and their configuration.

#include "middleware/cyclone/domain.h"

#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "middleware/cyclone/lane_config.h"
#include "middleware/logger.h"

namespace corvane_dds {
namespace {

// Batched writes: a delivery thread flushes its writers once it has drained
// its reader, so a burst of samples leaves in few datagrams instead of one
// sendmsg per sample.
constexpr char kTuning[] = "<Internal><WriteBatch>true</WriteBatch></Internal>";

// Instance ids of the lanes beyond 0: far above any DDS domain id in use.
constexpr uint32_t kLaneIdBase = 0x40000000;

uint32_t InstanceId(dds_DomainId_t domain_id, int lane) {
  if (lane == 0) return static_cast<uint32_t>(domain_id);
  return kLaneIdBase + static_cast<uint32_t>(domain_id) * CycloneDomain::kLanes +
         static_cast<uint32_t>(lane);
}

// The configuration of `lane` of `domain_id`: the layer's tuning, then the
// user's, which wins. False when the user's cannot be rewritten for a lane.
bool Configuration(dds_DomainId_t domain_id, int lane, std::string* config) {
  *config = kTuning;
  const char* user = std::getenv("CYCLONEDDS_URI");
  const bool has_user = user != nullptr && *user != '\0';
  if (lane == 0) {
    if (has_user) config->append(",").append(user);
    return true;
  }
  // The user may map the domain elsewhere too: their ExternalDomainId wins.
  config->append(",<Discovery><ExternalDomainId>")
      .append(std::to_string(domain_id))
      .append("</ExternalDomainId></Discovery>");
  if (!has_user) return true;
  std::string rewritten;
  if (!LaneConfig(user, static_cast<uint32_t>(domain_id), InstanceId(domain_id, lane),
                  &rewritten)) {
    return false;
  }
  config->append(",").append(rewritten);
  return true;
}

void LaneRefused(dds_DomainId_t domain_id, const char* why) {
  logger* log = logger_global();
  if (log->level <= LOGGER_INFO) {
    logger_write(log, LOGGER_INFO, 0, 0, 0,
                 "Domain %d gets no further Cyclone DDS instance (%s): its new topics share "
                 "the receive paths it has",
                 domain_id, why);
  }
}

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

std::shared_ptr<CycloneDomain> AcquireCycloneDomain(dds_DomainId_t domain_id, int lane) {
  if (domain_id < 0 || lane < 0 || lane >= CycloneDomain::kLanes) return nullptr;
  const dds_DomainId_t id = static_cast<dds_DomainId_t>(InstanceId(domain_id, lane));
  Registry& registry = TheRegistry();
  std::unique_lock<std::mutex> lock(registry.mutex);
  for (auto it = registry.domains.find(id); it != registry.domains.end();
       it = registry.domains.find(id)) {
    if (std::shared_ptr<CycloneDomain> existing = it->second.lock()) return existing;
    // The last holder has let go; Cyclone frees the id in a moment.
    registry.released.wait(lock);
  }
  std::string config;
  if (!Configuration(domain_id, lane, &config)) {
    LaneRefused(domain_id, "CYCLONEDDS_URI cannot be read for it");
    return nullptr;
  }
  const dds_entity_t handle = dds_create_domain(static_cast<dds_domainid_t>(id), config.c_str());
  if (handle <= 0 && lane > 0) {
    // Lane 0 stands, so the rules still run: no error of theirs.
    LaneRefused(domain_id, dds_strretcode(handle));
    return nullptr;
  }
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
  auto domain = std::make_shared<CycloneDomain>(CycloneDomain::Token{}, id, handle);
  registry.domains[id] = domain;
  return domain;
}

}  // namespace corvane_dds
