// The channels of a bridge, set up from its table of rows.

#include "bridge/channel_rows.h"

#include <algorithm>

#include "dds/dds_channel.h"
#include "dds/dds_domain.h"
#include "dds/dds_manager.h"

namespace {

// What a row's topic carries: requests when a row answers it, replies when
// it answers a row.
dds_TopicKind KindOf(const ChannelRow& row, std::initializer_list<ChannelRow> rows) {
  if (row.answers != nullptr) return dds_REPLY_TOPIC;
  const bool answered = std::any_of(rows.begin(), rows.end(), [&](const ChannelRow& other) {
    return other.answers == row.channel;
  });
  return answered ? dds_REQUEST_TOPIC : dds_PLAIN_TOPIC;
}

}  // namespace

bool InitializeChannelRows(const RuleDescription& rule, const std::shared_ptr<DdsManager>& manager,
                           std::initializer_list<ChannelRow> rows,
                           std::vector<DdsChannel*>& channels) {
  const std::shared_ptr<DdsDomain> src = manager->GetDomain(rule.src.domain_id);
  const std::shared_ptr<DdsDomain> dst = manager->GetDomain(rule.dst.domain_id);
  if (src == nullptr || dst == nullptr) return false;
  for (const ChannelRow& row : rows) {
    const dds_TopicKind kind = KindOf(row, rows);
    const bool ok = row.towards_dst
                        ? row.channel->Initialize(src, dst, row.topic_name, row.type_name,
                                                  rule.src.reliable, rule.dst.reliable, kind)
                        : row.channel->Initialize(dst, src, row.topic_name, row.type_name,
                                                  rule.dst.reliable, rule.src.reliable, kind);
    if (!ok) return false;
    channels.push_back(row.channel);
  }
  for (const ChannelRow& row : rows) {
    if (row.answers != nullptr && !row.channel->AnswerFor(*row.answers)) return false;
  }
  return true;
}
