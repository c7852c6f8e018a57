#include "app/rule_set.h"

#include <optional>
#include <utility>

#include "bridge/bridge.h"
#include "dds/dds_manager.h"
#include "middleware/logger.h"

namespace {

void Log(int level, const char* message) {
  logger* lg = logger_global();
  if (lg->level <= level) logger_write(lg, level, 0, 0, 0, "%s", message);
}

}  // namespace

int RuleSet::Start(const std::string& config_path) {
  std::optional<AppConfig> loaded = AppConfig::LoadFromYamlFile(config_path);
  if (!loaded) {
    Log(LOGGER_ERROR, "Cannot parse config File. Please check config file format");
    return 1;
  }
  config_ = std::move(*loaded);
  const std::vector<RuleDescription>& rules = config_.GetRuleList();
  if (rules.empty()) {
    Log(LOGGER_WARNING, "There are no rules in the config file for Corvane.");
    Release();
    return 1;
  }

  manager_ = DdsManager::Create();
  bridges_.reserve(rules.size());
  for (const RuleDescription& rule : rules) {
    std::shared_ptr<Bridge> bridge = Bridge::Create(rule, manager_);
    if (bridge == nullptr) {
      Log(LOGGER_ERROR, "Failed to initialize Corvane; cannot create a bridge instance");
      Release();
      return 2;
    }
    bridges_.push_back(std::move(bridge));
  }
  return 0;
}

void RuleSet::Release() {
  // Bridges hold readers and writers inside the manager's domains: they go
  // first, in rule order.
  for (std::shared_ptr<Bridge>& bridge : bridges_) bridge.reset();
  bridges_.clear();
  bridges_.shrink_to_fit();
  manager_.reset();
  config_ = AppConfig();
}
