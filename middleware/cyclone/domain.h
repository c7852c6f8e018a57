// The layer's Cyclone domain instances.
#ifndef CORVANE_MIDDLEWARE_CYCLONE_DOMAIN_H_
#define CORVANE_MIDDLEWARE_CYCLONE_DOMAIN_H_

// The layer's Cyclone domain instances.
//
// Each DDS domain is one Cyclone instance under its own id, configured with
// the layer's tuning (batched writes) followed by the user's CYCLONEDDS_URI as
// given, so the user's settings win and Cyclone reads them as it would for
// any other program: it opens the files, picks the <Domain> sections and
// expands the variables itself. Nothing else in the process may create an
// instance of the same id (dds_create_participant creates one implicitly):
// Cyclone then refuses the layer's.
//
// A DDS domain may also have extra instances, lanes 1 to kLanes - 1, each
// with receive threads of its own (see entities.h). Their instance ids lie
// above every DDS domain id; they join the DDS domain through Cyclone's
// ExternalDomainId and read the user's configuration as the domain's own
// instance does (lane_config.h).

#include <dds/dds.h>

#include <memory>

#include "middleware/dds.h"

namespace corvane_dds {

// One Cyclone domain instance of the layer, deleted with the last holder.
class CycloneDomain {
  // Only AcquireCycloneDomain makes instances.
  struct Token {};
  friend std::shared_ptr<CycloneDomain> AcquireCycloneDomain(dds_DomainId_t, int);

 public:
  // Instances of one DDS domain, lane 0 being the one under its own id.
  static constexpr int kLanes = 4;

  CycloneDomain(Token, dds_DomainId_t id, dds_entity_t handle) : id_(id), handle_(handle) {}
  ~CycloneDomain();
  CycloneDomain(const CycloneDomain&) = delete;
  CycloneDomain& operator=(const CycloneDomain&) = delete;

  // Cyclone's id of the instance: the DDS domain id for lane 0.
  dds_DomainId_t id() const { return id_; }

 private:
  const dds_DomainId_t id_;
  const dds_entity_t handle_;
};

// Lane `lane` of `domain_id`, created on first demand and shared while held;
// an instance whose last holder has just let go can be acquired again at
// once. Null, with Cyclone's reason logged, when Cyclone refuses the id or
// the configuration, or the layer cannot rewrite the configuration for a
// lane other than 0 (logged at info level only: lane 0 carries on).
std::shared_ptr<CycloneDomain> AcquireCycloneDomain(dds_DomainId_t domain_id, int lane = 0);

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_CYCLONE_DOMAIN_H_
