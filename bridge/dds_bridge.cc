// The plain DDS topic bridge: one channel under the rule's own names.

#include "bridge/dds_bridge.h"

#include "bridge/channel_rows.h"

bool DdsBridge::Initialize(const RuleDescription& rule,
                           const std::shared_ptr<DdsManager>& manager) {
  return InitializeChannelRows(rule, manager, {{&channel_, rule.topic, rule.data_type, true}},
                               channels_);
}
