#ifndef CORVANE_MIDDLEWARE_DDS_DOMAIN_CONFIG_INTERNAL_H_
#define CORVANE_MIDDLEWARE_DDS_DOMAIN_CONFIG_INTERNAL_H_

// The layer's own Cyclone domain instances.
//
// The layer never shares a Cyclone domain instance with other code of the
// process: its participants live in instances created under private internal
// ids that appear on the network as the DDS domain asked for
// (Discovery/ExternalDomainId). Its tuning (batched writes) therefore reaches
// only its own entities, not other Cyclone users of the process.
//
// An instance's configuration is the layer's tuning, then the user's
// CYCLONEDDS_URI (so the user's settings win, interface restrictions
// included), then the external domain id. Cyclone picks the <Domain id="N">
// sections of a configuration by internal id, so the user's sections for the
// DDS domain are renamed to id="any" in files named with file:// and in
// inline XML; other sources are passed on unchanged.

#include <dds/dds.h>

#include <cstdint>
#include <memory>
#include <string>

#include "middleware/dds.h"

namespace corvane_dds {

// The internal id of the instance for DDS domain `domain_id`.
uint32_t InternalDomainId(dds_DomainId_t domain_id);

// The configuration string for an instance of DDS domain `domain_id`, from
// the user's configuration `user_uri` (CYCLONEDDS_URI; null or empty for
// none) after expansion of environment variables.
std::string DomainConfig(dds_DomainId_t domain_id, const char* user_uri);

// One Cyclone domain instance of the layer, deleted with the last holder.
class CycloneDomain {
  // Only AcquireCycloneDomain makes instances.
  struct Token {};
  friend std::shared_ptr<CycloneDomain> AcquireCycloneDomain(dds_DomainId_t);

 public:
  CycloneDomain(Token, uint32_t internal_id, dds_entity_t handle)
      : internal_id_(internal_id), handle_(handle) {}
  ~CycloneDomain();
  CycloneDomain(const CycloneDomain&) = delete;
  CycloneDomain& operator=(const CycloneDomain&) = delete;

  uint32_t internal_id() const { return internal_id_; }

 private:
  const uint32_t internal_id_;
  const dds_entity_t handle_;
};

// The instance for `domain_id`, created on first demand and shared while
// held; null when Cyclone refuses the domain id or the configuration.
std::shared_ptr<CycloneDomain> AcquireCycloneDomain(dds_DomainId_t domain_id);

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_DDS_DOMAIN_CONFIG_INTERNAL_H_
