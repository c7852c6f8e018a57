// The bridge of a plain DDS topic.
#ifndef CORVANE_BRIDGE_DDS_BRIDGE_H_
#define CORVANE_BRIDGE_DDS_BRIDGE_H_

#include "bridge/bridge.h"
#include "dds/dds_channel.h"

// Relays one plain DDS topic from the rule's src domain to its dst domain,
// under the topic name and type name exactly as the rule gives them.
class DdsBridge : public Bridge {
 public:
  DdsBridge() = default;
  ~DdsBridge() override = default;

  bool Initialize(const RuleDescription& rule, const std::shared_ptr<DdsManager>& manager) override;

 private:
  DdsChannel channel_;
};

#endif  // CORVANE_BRIDGE_DDS_BRIDGE_H_
