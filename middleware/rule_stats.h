#ifndef CORVANE_MIDDLEWARE_RULE_STATS_H_
#define CORVANE_MIDDLEWARE_RULE_STATS_H_

// What each rule is doing, for the log: its channels, how many samples and
// bytes they forwarded or dropped, and which peers they matched.
//
// The layer knows readers and writers, not rules. The caller names the rule
// whose endpoints are about to be created (rulestats_begin_rule), creates
// them, and closes the rule again (rulestats_end_rule); every reader and
// writer created in between counts for that rule. Within a rule, a channel is
// one topic name: its reader on one side and its writer on the other. A rule
// side is one of the rule's two domains. Endpoints created outside a rule are
// not counted.
//
// Counting costs the forwarding path a few relaxed atomic additions. Match
// changes are noted by the DDS listeners and written only by
// rulestats_log_match_changes, so every line comes from the caller's thread.
// Peers are other participants' endpoints: the layer's readers ignore its own
// participant, so its own endpoints never match each other.
//
// All functions may be called from any thread; the log functions write
// through logger_global() at the level given, when the logger admits it.

#include <cstdint>

// One rule as the log names it.
struct rulestats_rule {
  int index;         // position in the rule file's accepted rules
  const char* type;  // "dds", "ros2-msg", ... (copied)
  int32_t src_domain;
  bool src_reliable;
  int32_t dst_domain;
  bool dst_reliable;
};

// Endpoints created from now on belong to `rule`, until rulestats_end_rule.
void rulestats_begin_rule(const rulestats_rule* rule);
void rulestats_end_rule();

// Forgets every rule. Endpoints still alive keep counting into records that
// are no longer reported.
void rulestats_clear();

// One line per rule: index, type, topic names, domains and reliability.
void rulestats_log_rules(int level);

// One line per rule side whose matches changed since its last line: the first
// peer publisher or subscriber appeared, the last one went, or a peer was
// refused for incompatible QoS (naming the policy). A side gets at most one
// line per second; changes within that second are coalesced into the next.
// Meant to be called a few times per second.
void rulestats_log_match_changes(int level);

// One counters line per rule; with `changed_only`, only for the rules whose
// counters changed since the last call with `changed_only`.
void rulestats_log_counters(int level, bool changed_only);

#endif  // CORVANE_MIDDLEWARE_RULE_STATS_H_
