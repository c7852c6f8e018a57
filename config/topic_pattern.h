// Topic and type patterns: the wildcards of rules that bridge what discovery finds.
#ifndef CORVANE_CONFIG_TOPIC_PATTERN_H_
#define CORVANE_CONFIG_TOPIC_PATTERN_H_

#include <string>

#include "config/config.h"

// In a rule's `topic` or `data_type`, "*" matches any run of characters
// within one name level (no "/"), "**" any run including "/", and "?" one
// character other than "/"; a data_type of "*" alone accepts any type. A rule
// with none of them names one topic.

// True when `text` holds a wildcard.
bool HasWildcard(const std::string& text);

// True when `rule`'s topic or data_type holds a wildcard: the rule bridges
// the topics discovery finds that it matches.
bool IsPatternRule(const RuleDescription& rule);

// True when `pattern` matches the whole of `name`.
bool MatchesPattern(const std::string& pattern, const std::string& name);

// Why the pattern in `rule`'s `topic` (*field = "topic") or `data_type`
// (*field = "data_type") can match no name of the rule's kind; empty when it
// can match some.
std::string WhyPatternMatchesNothing(const RuleDescription& rule, std::string* field);

#endif  // CORVANE_CONFIG_TOPIC_PATTERN_H_
