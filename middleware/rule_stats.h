// What each rule is doing, for the log.
#ifndef CORVANE_MIDDLEWARE_RULE_STATS_H_
#define CORVANE_MIDDLEWARE_RULE_STATS_H_

// For each rule: its channels, how many samples and bytes they forwarded or
// dropped, and which peers they matched.
//
// The layer knows readers and writers, not rules. The caller adds a rule
// (rulestats_add_rule) and attaches the rule's readers and writers to it.
// Within a rule, a channel is one topic name: its reader on one side and its
// writer on the other. A rule side is one of the rule's two domains.
// Endpoints attached to no rule are not counted.
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
  // A pattern rule's topic pattern and type pattern (copied), whose topics
  // attach as they are found; null for a rule of fixed topics.
  const char* topic_pattern;
  const char* type_pattern;
};

struct dds_DataReader;
struct dds_DataWriter;
// One rule's records, valid until rulestats_clear.
struct rulestats_record;

// Adds `rule` (copied), reported after the rules added before it.
rulestats_record* rulestats_add_rule(const rulestats_rule* rule);
// The endpoint counts for `rule` from now on, and so do the peers it matched
// already; once per endpoint.
void rulestats_attach_reader(rulestats_record* rule, dds_DataReader* reader);
void rulestats_attach_writer(rulestats_record* rule, dds_DataWriter* writer);

// Forgets every rule. Endpoints still alive keep counting into records that
// are no longer reported.
void rulestats_clear();

// One line per rule: index, type, topic names, domains and reliability.
void rulestats_log_rules(int level);

// One line per topic of a rule and side whose matches changed since its last
// line, naming the rule, the topic and the domain: the first peer publisher
// or subscriber appeared, the last one went, or a peer was refused for
// incompatible QoS (naming the policy). A topic's side gets at most one line
// per second; changes within that second are coalesced into the next.
// Meant to be called a few times per second.
void rulestats_log_match_changes(int level);

// One counters line per rule; with `changed_only`, only for the rules whose
// counters changed since the last call with `changed_only`.
void rulestats_log_counters(int level, bool changed_only);

#endif  // CORVANE_MIDDLEWARE_RULE_STATS_H_
