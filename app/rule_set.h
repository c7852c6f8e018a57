// The running rules of the process.
#ifndef CORVANE_APP_RULE_SET_H_
#define CORVANE_APP_RULE_SET_H_

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bridge/pattern_bridge.h"
#include "config/config.h"

class Bridge;
class DdsManager;
struct rulestats_record;

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

  // Bridges what the pattern rules match among the endpoints discovered
  // since the last call, and makes the endpoints of ROS 2 rules carry the
  // type hash of the peers they bridge. On the main thread, between Start
  // and Release.
  void Poll();

  // Releases the bridges in rule order, then the manager, then the rules and
  // their counters.
  void Release();

 private:
  // A pattern rule: its bridge and the counters its topics count for.
  struct Pattern {
    int index;
    std::shared_ptr<PatternBridge> bridge;
    rulestats_record* record;
  };

  AppConfig config_;
  std::shared_ptr<DdsManager> manager_;
  std::vector<std::shared_ptr<Bridge>> bridges_;
  std::vector<Pattern> patterns_;
  BridgedTopics bridged_;  // what explicit rules and patterns carry
  // The domains whose discovery is watched: those of ROS 2 rules, and where
  // pattern rules look.
  std::set<int32_t> watched_domains_;
  // Per DDS topic, the ROS 2 type hash entry of the first peer endpoint seen
  // with one.
  std::map<std::string, std::string> type_hashes_;
};

#endif  // CORVANE_APP_RULE_SET_H_
