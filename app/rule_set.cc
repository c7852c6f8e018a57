// The running rules: loading, bridging and releasing them.

#include "app/rule_set.h"

#include <map>
#include <optional>
#include <utility>

#include "bridge/bridge.h"
#include "bridge/ros.h"
#include "config/topic_pattern.h"
#include "dds/dds_domain.h"
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

// Bridges `rule`, the `index`th; its readers and writers count for
// `*record`.
std::shared_ptr<Bridge> CreateCountedBridge(int index, const RuleDescription& rule,
                                            const std::shared_ptr<DdsManager>& manager,
                                            rulestats_record** record) {
  const bool pattern = IsPatternRule(rule);
  const rulestats_rule named = {index,
                                TypeName(rule.type),
                                rule.src.domain_id,
                                rule.src.reliable,
                                rule.dst.domain_id,
                                rule.dst.reliable,
                                pattern ? rule.topic.c_str() : nullptr,
                                pattern ? rule.data_type.c_str() : nullptr};
  std::shared_ptr<Bridge> bridge = Bridge::Create(rule, manager);
  if (bridge == nullptr) return nullptr;
  *record = rulestats_add_rule(&named);
  bridge->CountFor(*record);
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
    const int index = static_cast<int>(bridges_.size());
    rulestats_record* record = nullptr;
    std::shared_ptr<Bridge> bridge = CreateCountedBridge(index, rule, manager_, &record);
    if (bridge == nullptr) {
      logger_log(LOGGER_ERROR, "Failed to initialize Corvane; cannot create a bridge instance");
      Release();
      return 2;
    }
    if (IsPatternRule(rule)) {
      patterns_.push_back({index, std::static_pointer_cast<PatternBridge>(bridge), record});
      watched_domains_.insert(DiscoveryDomain(rule));
    } else {
      bridged_.Claim(rule);
    }
    if (rule.type != RuleType::kDds) {
      watched_domains_.insert(rule.src.domain_id);
      watched_domains_.insert(rule.dst.domain_id);
    }
    bridges_.push_back(std::move(bridge));
  }
  rulestats_log_rules(LOGGER_INFO);
  return 0;
}

void RuleSet::Poll() {
  // Discovery is taken once per domain and offered to every rule there.
  std::map<int32_t, std::vector<DiscoveredEndpoint>> found;
  std::map<std::string, std::string> new_hashes;
  for (const int32_t domain_id : watched_domains_) {
    const std::shared_ptr<DdsDomain> domain = manager_->GetDomain(domain_id);
    if (domain == nullptr) continue;
    std::vector<DiscoveredEndpoint>& endpoints = found[domain_id] = domain->TakeDiscovered();
    for (const DiscoveredEndpoint& endpoint : endpoints) {
      const std::string entry = TypeHashEntry(endpoint.user_data);
      if (!entry.empty() && type_hashes_.emplace(endpoint.topic_name, entry).second) {
        new_hashes[endpoint.topic_name] = entry;
      }
    }
  }
  for (const Pattern& pattern : patterns_) {
    const PatternRuleName name = {pattern.index, TypeName(pattern.bridge->rule().type),
                                  pattern.record};
    pattern.bridge->BridgeDiscovered(found[DiscoveryDomain(pattern.bridge->rule())], name,
                                     manager_, bridged_, type_hashes_);
  }
  if (new_hashes.empty()) return;
  const std::vector<RuleDescription>& rules = config_.GetRuleList();
  for (size_t i = 0; i < bridges_.size() && i < rules.size(); i++) {
    if (rules[i].type != RuleType::kDds) bridges_[i]->CarryUserData(new_hashes);
  }
}

void RuleSet::Release() {
  // Bridges hold readers and writers inside the manager's domains: they go
  // first, in rule order.
  for (std::shared_ptr<Bridge>& bridge : bridges_) bridge.reset();
  bridges_.clear();
  bridges_.shrink_to_fit();
  patterns_.clear();
  bridged_ = BridgedTopics();
  watched_domains_.clear();
  type_hashes_.clear();
  manager_.reset();
  rulestats_clear();
  config_ = AppConfig();
}
