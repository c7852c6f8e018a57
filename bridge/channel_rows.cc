#include "bridge/channel_rows.h"

#include "dds/dds_channel.h"
#include "dds/dds_domain.h"
#include "dds/dds_manager.h"

bool InitializeChannelRows(const RuleDescription& rule, const std::shared_ptr<DdsManager>& manager,
                           std::initializer_list<ChannelRow> rows) {
  const std::shared_ptr<DdsDomain> src = manager->GetDomain(rule.src.domain_id);
  const std::shared_ptr<DdsDomain> dst = manager->GetDomain(rule.dst.domain_id);
  if (src == nullptr || dst == nullptr) return false;
  for (const ChannelRow& row : rows) {
    const bool ok = row.towards_dst
                        ? row.channel->Initialize(src, dst, row.topic_name, row.type_name,
                                                  rule.src.reliable, rule.dst.reliable)
                        : row.channel->Initialize(dst, src, row.topic_name, row.type_name,
                                                  rule.dst.reliable, rule.src.reliable);
    if (!ok) return false;
  }
  return true;
}
