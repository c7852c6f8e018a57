// The running rules of the process.
#ifndef CORVANE_APP_RULE_SET_H_
#define CORVANE_APP_RULE_SET_H_

#include <memory>
#include <string>
#include <vector>

#include "config/config.h"

class Bridge;
class DdsManager;

// The running rules: the loaded rule file, the one DdsManager and one bridge
// per rule, in rule order. Forwarding runs from Start until Release.
class RuleSet {
 public:
  RuleSet() = default;
  RuleSet(const RuleSet&) = delete;
  RuleSet& operator=(const RuleSet&) = delete;
  ~RuleSet() { Release(); }

  // Loads `config_path` and bridges every rule in file order, each rule's
  // readers and writers counting for it (middleware/rule_stats.h). Returns 0
  // when every rule has its bridge, after one level-2 line per rule;
  // otherwise logs why, releases what it built and returns the exit status: 1
  // when the file yields no rules, 2 when a rule cannot be bridged (later
  // rules are not looked at).
  int Start(const std::string& config_path);

  // Releases the bridges in rule order, then the manager, then the rules and
  // their counters.
  void Release();

 private:
  AppConfig config_;
  std::shared_ptr<DdsManager> manager_;
  std::vector<std::shared_ptr<Bridge>> bridges_;
};

#endif  // CORVANE_APP_RULE_SET_H_
