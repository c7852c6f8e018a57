#ifndef CORVANE_TESTS_CONFIG_LOADER_RUN_H_
#define CORVANE_TESTS_CONFIG_LOADER_RUN_H_

#include <string>
#include <vector>

#include "config/config.h"

// A rule as one comparable line; records that print alike are equal.
std::string Describe(const RuleDescription& rule);
std::string Describe(RuleType type, const std::string& topic, const std::string& data_type,
                     int32_t src_id, bool src_reliable, int32_t dst_id, bool dst_reliable);

// What one AppConfig::LoadFromYamlFile call did in a child process.
struct LoaderRun {
  bool exited_cleanly = false;  // no crash, no exception, no hang
  bool present = false;
  std::vector<std::string> rules;      // Describe() of each rule, in order
  std::vector<std::string> log_lines;  // standard error, line by line
};

// Loads `path` in a forked child whose logger starts at `log_level`. The
// parent never touches the logger, so each child reads its level afresh.
LoaderRun RunLoader(const std::string& path, int log_level);

#endif  // CORVANE_TESTS_CONFIG_LOADER_RUN_H_
