// The bridge interface and its factory.
#ifndef CORVANE_BRIDGE_BRIDGE_H_
#define CORVANE_BRIDGE_BRIDGE_H_

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"

class DdsChannel;
class DdsManager;
struct rulestats_record;

// A bridge makes one rule work: it holds the forwarding channels that carry
// the rule's DDS topics between the rule's two domains, and forwarding lasts
// as long as the bridge. The four kinds derive from this class; Create picks
// the kind from the rule's type.
class Bridge {
 public:
  // A bridge whose set-up succeeded, or empty when the rule's type is unknown
  // or its set-up failed. Writes no message. Keeps no reference to `rule` or
  // `manager`; domains created for a failed bridge stay with the manager.
  static std::shared_ptr<Bridge> Create(const RuleDescription& rule,
                                        const std::shared_ptr<DdsManager>& manager);

  Bridge() = default;
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;
  virtual ~Bridge() = default;

  // Sets up the kind's channels from the rule; called once, by Create.
  virtual bool Initialize(const RuleDescription& rule,
                          const std::shared_ptr<DdsManager>& manager) = 0;

  // Every channel of the bridge counts for `rule` (middleware/rule_stats.h).
  void CountFor(rulestats_record* rule) const;

  // Every channel whose DDS topic `by_topic` names announces that USER_DATA
  // text from now on (the ROS 2 type hash of the peers it bridges).
  virtual void CarryUserData(const std::map<std::string, std::string>& by_topic) const;

 protected:
  // The channels Initialize set up, in order (channel_rows.h).
  std::vector<DdsChannel*> channels_;
};

#endif  // CORVANE_BRIDGE_BRIDGE_H_
