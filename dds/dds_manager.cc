// The domain manager: one domain per id, created on first demand.

#include "dds/dds_manager.h"

#include <cstring>

#include "dds/dds_domain.h"
#include "middleware/dds.h"

std::shared_ptr<DdsManager> DdsManager::Create() {
  dds_DomainParticipantFactory_get_instance();
  return std::make_shared<DdsManager>();
}

std::shared_ptr<DdsDomain> DdsManager::GetDomain(int32_t domain_id) {
  const auto found = domains_.find(domain_id);
  if (found != domains_.end()) return found->second;

  dds_DomainParticipantQos qos;
  std::memset(&qos, 0, sizeof qos);
  dds_DomainParticipantQos_copy(&qos, &dds_PARTICIPANT_QOS_DEFAULT);
  qos.entity_factory.autoenable_created_entities = true;
  std::shared_ptr<DdsDomain> domain = DdsDomain::Create(domain_id, &qos);
  dds_DomainParticipantQos_finalize(&qos);

  if (domain != nullptr) domains_.emplace(domain_id, domain);
  return domain;
}
