#include "bridge/dds_bridge.h"

#include "dds/dds_domain.h"
#include "dds/dds_manager.h"

bool DdsBridge::Initialize(const RuleDescription& rule,
                           const std::shared_ptr<DdsManager>& manager) {
  const std::shared_ptr<DdsDomain> src = manager->GetDomain(rule.src.domain_id);
  const std::shared_ptr<DdsDomain> dst = manager->GetDomain(rule.dst.domain_id);
  if (src == nullptr || dst == nullptr) return false;
  return channel_.Initialize(src, dst, rule.topic, rule.data_type, rule.src.reliable,
                             rule.dst.reliable);
}
