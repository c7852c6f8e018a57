// Matching names against the wildcards of pattern rules.

#include "config/topic_pattern.h"

#include <vector>

namespace {

// Glob matching without recursion. A "*" that cannot take more (it would
// cross a "/") gives way to the latest "**" before it, which takes one more
// character, and matching goes on from there.
bool Match(const char* pattern, const char* name) {
  const char* deep = nullptr;       // just past the latest "**"
  const char* deep_name = nullptr;  // where its run ends now
  const char* star = nullptr;       // just past the latest "*" after it
  const char* star_name = nullptr;
  while (*name != '\0') {
    if (pattern[0] == '*' && pattern[1] == '*') {
      pattern += 2;
      deep = pattern;
      deep_name = name;
      star = nullptr;
    } else if (*pattern == '*') {
      star = ++pattern;
      star_name = name;
    } else if (*pattern == '?' ? *name != '/' : *pattern == *name) {
      pattern++;
      name++;
    } else if (star != nullptr && *star_name != '/') {
      pattern = star;
      name = ++star_name;
    } else if (deep != nullptr) {
      pattern = deep;
      name = ++deep_name;
      star = nullptr;
    } else {
      return false;
    }
  }
  while (*pattern == '*') pattern++;
  return *pattern == '\0';
}

std::vector<std::string> Levels(const std::string& text) {
  std::vector<std::string> levels(1);
  for (const char c : text) {
    if (c == '/') {
      levels.emplace_back();
    } else {
      levels.back() += c;
    }
  }
  return levels;
}

// The middle level of a ROS 2 type of `kind`: "pkg/msg/Name".
const char* TypeInterface(RuleType kind) {
  switch (kind) {
    case RuleType::kRosMsg:
      return "msg";
    case RuleType::kRosService:
      return "srv";
    case RuleType::kRosAction:
      return "action";
    case RuleType::kDds:
      break;
  }
  return nullptr;
}

}  // namespace

bool HasWildcard(const std::string& text) {
  return text.find_first_of("*?") != std::string::npos;
}

bool IsPatternRule(const RuleDescription& rule) {
  return HasWildcard(rule.topic) || HasWildcard(rule.data_type);
}

bool MatchesPattern(const std::string& pattern, const std::string& name) {
  return Match(pattern.c_str(), name.c_str());
}

std::string WhyPatternMatchesNothing(const RuleDescription& rule, std::string* field) {
  const char* const interface = TypeInterface(rule.type);
  if (interface == nullptr) return "";  // a DDS name may be anything
  if (HasWildcard(rule.topic) && rule.topic[0] != '/' && rule.topic[0] != '*') {
    *field = "topic";
    return "a ROS 2 name begins with \"/\"";
  }
  // "*" alone stands for any type.
  if (HasWildcard(rule.data_type) && rule.data_type != "*" &&
      rule.data_type.find("**") == std::string::npos) {
    const std::vector<std::string> levels = Levels(rule.data_type);
    if (levels.size() != 3 || !MatchesPattern(levels[1], interface)) {
      *field = "data_type";
      return std::string("a ROS 2 type of this rule reads pkg/") + interface + "/Name";
    }
  }
  return "";
}
