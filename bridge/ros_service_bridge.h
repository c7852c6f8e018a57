// The bridge of a ROS 2 service.
#ifndef CORVANE_BRIDGE_ROS_SERVICE_BRIDGE_H_
#define CORVANE_BRIDGE_ROS_SERVICE_BRIDGE_H_

#include "bridge/bridge.h"
#include "dds/dds_channel.h"

// Relays one ROS 2 service: requests from the proxy-service side (the rule's
// src, where the clients are) to the service side (dst, where the server
// is), replies back.
class RosServiceBridge : public Bridge {
 public:
  RosServiceBridge() = default;
  ~RosServiceBridge() override = default;

  bool Initialize(const RuleDescription& rule, const std::shared_ptr<DdsManager>& manager) override;

 private:
  DdsChannel request_channel_;
  DdsChannel reply_channel_;
};

#endif  // CORVANE_BRIDGE_ROS_SERVICE_BRIDGE_H_
