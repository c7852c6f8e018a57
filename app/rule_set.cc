// The running rules: loading, bridging and releasing them.

#include "app/rule_set.h"

#include <optional>
#include <utility>

#include "bridge/bridge.h"
#include "dds/dds_manager.h"
#include "middleware/logger.h"
#include "middleware/rule_stats.h"

namespace {

// The rule's type as the rule file spells it (without a ROS 2 distribution).
const char* TypeName(RuleType type) {
  switch (type) {
    case RuleType::kDds:
      return "dds";
    case RuleType::kRosMsg:
      return "ros2-msg";
    case RuleType::kRosService:
      return "ros2-service";
    case RuleType::kRosAction:
      return "ros2-action";
  }
  return "unknown";
}

// Bridges `rule`, the `index`th; its readers and writers count for it.
std::shared_ptr<Bridge> CreateCountedBridge(int index, const RuleDescription& rule,
                                            const std::shared_ptr<DdsManager>& manager) {
  const rulestats_rule named = {index,
                                TypeName(rule.type),
                                rule.src.domain_id,
                                rule.src.reliable,
                                rule.dst.domain_id,
                                rule.dst.reliable};
  std::shared_ptr<Bridge> bridge = Bridge::Create(rule, manager);
  if (bridge != nullptr) bridge->CountFor(rulestats_add_rule(&named));
  return bridge;
}

}  // namespace

int RuleSet::Start(const std::string& config_path) {
  std::optional<AppConfig> loaded = AppConfig::LoadFromYamlFile(config_path);
  if (!loaded) {
    logger_log(LOGGER_ERROR, "Cannot parse config File. Please check config file format");
    return 1;
  }
  config_ = std::move(*loaded);
  const std::vector<RuleDescription>& rules = config_.GetRuleList();
  if (rules.empty()) {
    logger_log(LOGGER_WARNING, "There are no rules in the config file for Corvane.");
    Release();
    return 1;
  }

  manager_ = DdsManager::Create();
  bridges_.reserve(rules.size());
  for (const RuleDescription& rule : rules) {
    std::shared_ptr<Bridge> bridge =
        CreateCountedBridge(static_cast<int>(bridges_.size()), rule, manager_);
    if (bridge == nullptr) {
      logger_log(LOGGER_ERROR, "Failed to initialize Corvane; cannot create a bridge instance");
      Release();
      return 2;
    }
    bridges_.push_back(std::move(bridge));
  }
  rulestats_log_rules(LOGGER_INFO);
  return 0;
}

void RuleSet::Release() {
  // Bridges hold readers and writers inside the manager's domains: they go
  // first, in rule order.
  for (std::shared_ptr<Bridge>& bridge : bridges_) bridge.reset();
  bridges_.clear();
  bridges_.shrink_to_fit();
  manager_.reset();
  rulestats_clear();
  config_ = AppConfig();
}
