// The rule record, the rule list and its loader.
#ifndef CORVANE_CONFIG_CONFIG_H_
#define CORVANE_CONFIG_CONFIG_H_

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The kind of a rule. The values are fixed: they index the loader's key
// tables and select the bridge class.
enum class RuleType : int32_t {
  kDds = 0,
  kRosMsg = 1,
  kRosService = 2,
  kRosAction = 3,
};

// One side of a rule: a DDS domain id (any 32-bit value; DDS range checks
// happen when the domain is created) and whether readers and writers on
// that side are reliable (true) or best effort (false).
struct DomainEndpoint {
  int32_t domain_id = 0;
  bool reliable = false;
};

// One bridging rule as the rule file states it. For kDds, `topic` and
// `data_type` are DDS names used as written; for ROS 2 rules they are the
// fully qualified ROS 2 name (with its leading slash) and the ROS 2 type
// name. For service and action rules `src` is the proxy-service side (where
// the clients are) and `dst` the service side.
struct RuleDescription {
  RuleType type = RuleType::kDds;
  std::string data_type;
  std::string topic;
  DomainEndpoint src;
  DomainEndpoint dst;
};

// The ordered rule list of one rule file, without the rejected rules.
class AppConfig {
 public:
  AppConfig() = default;

  const std::vector<RuleDescription>& GetRuleList() const { return rules_; }

  // Reads the rule file at `path`. Absent when the file cannot be opened or
  // has no non-empty "rules" sequence; otherwise holds the accepted rules in
  // file order, possibly none. Each rejected rule is logged at level 4 and
  // left out.
  static std::optional<AppConfig> LoadFromYamlFile(const std::string& path);

 private:
  explicit AppConfig(std::vector<RuleDescription> rules) : rules_(std::move(rules)) {}

  std::vector<RuleDescription> rules_;
};

#endif  // CORVANE_CONFIG_CONFIG_H_
