// The bridge of a pattern rule: it bridges what discovery finds.
#ifndef CORVANE_BRIDGE_PATTERN_BRIDGE_H_
#define CORVANE_BRIDGE_PATTERN_BRIDGE_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "bridge/bridge.h"
#include "config/config.h"

struct DiscoveredEndpoint;
struct rulestats_record;

// The rule a rule file would state for `endpoint`, found in the discovery
// domain of `pattern` (config/topic_pattern.h), when `pattern` matches it:
// the same kind, sides and reliability, with the endpoint's topic and type in
// the rule's own terms. Topics match by their publications, services and
// actions by their servers' request readers. Nullopt when it does not match.
std::optional<RuleDescription> MatchDiscovered(const RuleDescription& pattern,
                                               const DiscoveredEndpoint& endpoint);

// Where discovery feeds `rule`: its src domain for topics, its dst domain
// (the servers') for services and actions.
int32_t DiscoveryDomain(const RuleDescription& rule);

// The DDS topics that rules carry, each with its direction, by the first
// topic of each rule (the message, or the request): a topic that a rule
// carries already is not bridged again by a pattern.
class BridgedTopics {
 public:
  // True when no rule carried `rule`'s first topic that way yet; it is then
  // counted as carried.
  bool Claim(const RuleDescription& rule);

 private:
  std::set<std::tuple<std::string, int32_t, int32_t>> topics_;
};

// Names a pattern rule in its log lines and counters.
struct PatternRuleName {
  int index;
  const char* type;          // the rule type text
  rulestats_record* record;  // the counters its topics count for
};

// A rule whose topic or data_type is a pattern. Each topic (service, action)
// that it matches among those discovery finds is bridged exactly as an
// explicit rule naming it would be, and stays bridged until the bridge goes.
class PatternBridge : public Bridge {
 public:
  // At most this many topics per pattern rule; one warning at the limit.
  static constexpr size_t kMaxTopics = 1000;

  // Gets both domains of the rule, so that discovery starts at once.
  bool Initialize(const RuleDescription& rule, const std::shared_ptr<DdsManager>& manager) override;

  const RuleDescription& rule() const { return rule_; }

  // Bridges each endpoint of `found` (discovered in DiscoveryDomain(rule()))
  // that the pattern matches and `bridged` does not hold yet, with one
  // level-2 line per topic. On the thread that builds bridges.
  // A new topic's channels announce the USER_DATA that `user_data` holds
  // for their topics (Bridge::CarryUserData), when the rule is a ROS 2 one.
  void BridgeDiscovered(const std::vector<DiscoveredEndpoint>& found, const PatternRuleName& name,
                        const std::shared_ptr<DdsManager>& manager, BridgedTopics& bridged,
                        const std::map<std::string, std::string>& user_data);

  // For a ROS 2 rule, every topic it bridges (Bridge::CarryUserData).
  void CarryUserData(const std::map<std::string, std::string>& by_topic) const override;

 private:
  RuleDescription rule_;
  std::vector<std::shared_ptr<Bridge>> matches_;
  std::map<std::string, std::string> types_;  // bridged topic -> its data type
  std::set<std::string> warned_types_;        // topics seen with another type
  bool warned_full_ = false;
};

#endif  // CORVANE_BRIDGE_PATTERN_BRIDGE_H_
