// Per-rule records of counters and matches, and the log lines made of them.

#include "middleware/rule_stats.h"

#include <array>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "middleware/common/endpoint_stats.h"
#include "middleware/dds_entities_internal.h"
#include "middleware/logger.h"

namespace corvane_dds {

using Clock = std::chrono::steady_clock;

// A match line per channel and side at most this often.
constexpr Clock::duration kMatchLinePeriod = std::chrono::seconds(1);

// The peers one channel matches in one of the rule's domains.
struct ChannelSide {
  PeerMatches peers[kPeerKinds];
  // Guarded by the registry's mutex.
  bool has_line = false;
  Clock::time_point last_line;
};

struct ChannelRecord {
  std::string topic;
  dds_DomainId_t from = -1;  // the reader's domain
  dds_DomainId_t to = -1;    // the writer's domain
  ChannelCounters counters;
  ChannelSide sides[2];  // in the rule's src and dst domain
};

struct SideRecord {
  dds_DomainId_t domain = 0;
  bool reliable = false;
};

// The counters of one channel as last summarised.
struct ChannelValues {
  uint64_t samples = 0;
  uint64_t bytes = 0;
  std::array<uint64_t, kDropReasons> dropped = {};
  std::array<int32_t, kPeerKinds> matched = {};
  bool operator==(const ChannelValues& o) const {
    return samples == o.samples && bytes == o.bytes && dropped == o.dropped && matched == o.matched;
  }
};

}  // namespace corvane_dds

struct rulestats_record : std::enable_shared_from_this<rulestats_record> {
  int index = 0;
  std::string type;
  std::string topic_pattern;  // empty for a rule of fixed topics
  std::string type_pattern;
  corvane_dds::SideRecord sides[2];  // src, dst
  int side_count = 2;                // 1 when both sides are one domain
  // Channels only grow, under the registry's mutex; a deque keeps addresses.
  std::deque<corvane_dds::ChannelRecord> channels;
  std::vector<corvane_dds::ChannelValues> last_summary;  // guarded by the registry's mutex
};

namespace corvane_dds {

using RuleRecord = rulestats_record;

namespace {

struct Registry {
  std::mutex mutex;
  std::vector<std::shared_ptr<RuleRecord>> rules;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

const char* const kDropNames[kDropReasons] = {"write failed", "destination stalled"};
const char* const kPeerNames[kPeerKinds] = {"publisher", "subscriber"};

// The policies a match can fail on, by their DDS names and ids.
const char* PolicyName(uint32_t policy) {
  static const struct {
    uint32_t id;
    const char* name;
  } kPolicies[] = {
      {2, "DURABILITY"},
      {3, "PRESENTATION"},
      {4, "DEADLINE"},
      {5, "LATENCY_BUDGET"},
      {6, "OWNERSHIP"},
      {8, "LIVELINESS"},
      {10, "PARTITION"},
      {11, "RELIABILITY"},
      {12, "DESTINATION_ORDER"},
      {23, "DATA_REPRESENTATION"},
      {24, "TYPE_CONSISTENCY_ENFORCEMENT"},
  };
  for (const auto& known : kPolicies) {
    if (known.id == policy) return known.name;
  }
  return "unknown";
}

void Write(int level, const std::string& line) {
  logger_log(level, "%s", line.c_str());
}

bool Admits(int level) {
  return logger_global()->level <= level;
}

std::string Domain(const SideRecord& side) {
  return "domain " + std::to_string(side.domain) + (side.reliable ? " reliable" : " best effort");
}

// "rule 1 ros2-service: topics rq/xRequest, rr/xReply, domain 80 reliable <-> domain 81 reliable"
std::string RuleLine(const RuleRecord& rule) {
  std::string line = "rule " + std::to_string(rule.index) + " " + rule.type + ":";
  if (!rule.topic_pattern.empty()) {
    // "rule 0 ros2-msg: pattern /robot1/* (type *), domain 0 reliable -> domain 1 reliable"
    const bool both_ways = rule.type == "ros2-service" || rule.type == "ros2-action";
    return line + " pattern " + rule.topic_pattern + " (type " + rule.type_pattern + "), " +
           Domain(rule.sides[0]) + (both_ways ? " <-> " : " -> ") + Domain(rule.sides[1]);
  }
  line += rule.channels.size() == 1 ? " topic " : " topics ";
  bool both_ways = false;
  for (size_t i = 0; i < rule.channels.size(); i++) {
    if (i > 0) line += ", ";
    line += rule.channels[i].topic;
    if (rule.channels[i].from != rule.sides[0].domain) both_ways = true;
  }
  line += ", " + Domain(rule.sides[0]) + (both_ways ? " <-> " : " -> ") + Domain(rule.sides[1]);
  return line;
}

ChannelValues Read(const ChannelCounters& counters) {
  ChannelValues values;
  values.samples = counters.samples.load(std::memory_order_relaxed);
  values.bytes = counters.bytes.load(std::memory_order_relaxed);
  for (int i = 0; i < kDropReasons; i++) {
    values.dropped[i] = counters.dropped[i].load(std::memory_order_relaxed);
  }
  for (int i = 0; i < kPeerKinds; i++) {
    values.matched[i] = counters.matched[i].load(std::memory_order_relaxed);
  }
  return values;
}

// "rq/xRequest 80->81: forwarded 12 samples 480 bytes, dropped 0
// (write failed 0, destination stalled 0), publishers 1, subscribers 1"
std::string ChannelText(const ChannelRecord& channel, const ChannelValues& v) {
  uint64_t dropped = 0;
  std::string reasons;
  for (int i = 0; i < kDropReasons; i++) {
    dropped += v.dropped[i];
    reasons +=
        (i > 0 ? ", " : "") + std::string(kDropNames[i]) + " " + std::to_string(v.dropped[i]);
  }
  return channel.topic + " " + std::to_string(channel.from) + "->" + std::to_string(channel.to) +
         ": forwarded " + std::to_string(v.samples) + " samples " + std::to_string(v.bytes) +
         " bytes, dropped " + std::to_string(dropped) + " (" + reasons + "), publishers " +
         std::to_string(v.matched[0]) + ", subscribers " + std::to_string(v.matched[1]);
}

// What happened to one kind of peer since the side's last line; empty when
// nothing worth a line did.
std::string PeerChange(PeerMatches& peers, const char* name) {
  std::string text;
  const bool appeared = peers.appeared.exchange(false);
  const bool gone = peers.gone.exchange(false);
  const int32_t now = peers.count.load();
  const std::string count = " (" + std::to_string(now) + " now)";
  if (appeared && gone) {
    text = std::string(name) + "s came and went" + count;
  } else if (appeared) {
    text = std::string("first ") + name + " matched" + count;
  } else if (gone) {
    text = std::string("last ") + name + " gone";
  }
  const uint32_t refused = peers.refused.exchange(0);
  if (refused > 0) {
    if (!text.empty()) text += "; ";
    text += std::to_string(refused) + " " + name + (refused == 1 ? "" : "s") +
            " refused, incompatible QoS policy " + PolicyName(peers.refused_policy.load());
  }
  return text;
}

bool HasPendingChange(const ChannelSide& side) {
  for (const PeerMatches& peers : side.peers) {
    if (peers.appeared.load() || peers.gone.load() || peers.refused.load() > 0) return true;
  }
  return false;
}

}  // namespace

namespace {

// The stats of an endpoint in `domain` on `topic` whose peers are `peers`.
std::unique_ptr<EndpointStats> StatsFor(rulestats_record* rule, dds_DomainId_t domain,
                                        const std::string& topic, PeerKind peers) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  ChannelRecord* channel = nullptr;
  for (ChannelRecord& existing : rule->channels) {
    if (existing.topic == topic) channel = &existing;
  }
  if (channel == nullptr) {
    rule->channels.emplace_back();
    channel = &rule->channels.back();
    channel->topic = topic;
  }
  (peers == PeerKind::kPublisher ? channel->from : channel->to) = domain;
  const int side = rule->side_count == 2 && domain == rule->sides[1].domain ? 1 : 0;
  PeerMatches* matches = &channel->sides[side].peers[static_cast<int>(peers)];
  return std::make_unique<EndpointStats>(rule->shared_from_this(), &channel->counters, matches,
                                         peers);
}

}  // namespace

}  // namespace corvane_dds

using corvane_dds::Clock;
using corvane_dds::RuleRecord;
using corvane_dds::TheRegistry;

rulestats_record* rulestats_add_rule(const rulestats_rule* rule) {
  auto record = std::make_shared<RuleRecord>();
  record->index = rule->index;
  record->type = rule->type != nullptr ? rule->type : "";
  record->topic_pattern = rule->topic_pattern != nullptr ? rule->topic_pattern : "";
  record->type_pattern = rule->type_pattern != nullptr ? rule->type_pattern : "";
  record->sides[0].domain = rule->src_domain;
  record->sides[0].reliable = rule->src_reliable;
  record->sides[1].domain = rule->dst_domain;
  record->sides[1].reliable = rule->dst_reliable;
  record->side_count = rule->src_domain == rule->dst_domain ? 1 : 2;
  corvane_dds::Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.rules.push_back(record);
  return record.get();
}

void rulestats_attach_reader(rulestats_record* rule, dds_DataReader* reader) {
  if (rule == nullptr || reader == nullptr) return;
  reader->stats.Attach(corvane_dds::StatsFor(rule, reader->subscriber->participant->domain_id,
                                             reader->topic->name,
                                             corvane_dds::PeerKind::kPublisher));
}

void rulestats_attach_writer(rulestats_record* rule, dds_DataWriter* writer) {
  if (rule == nullptr || writer == nullptr) return;
  writer->stats.Attach(corvane_dds::StatsFor(rule, writer->publisher->participant->domain_id,
                                             writer->topic->name,
                                             corvane_dds::PeerKind::kSubscriber));
}

void rulestats_clear() {
  corvane_dds::Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.rules.clear();
}

void rulestats_log_rules(int level) {
  if (!corvane_dds::Admits(level)) return;
  corvane_dds::Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  for (const std::shared_ptr<RuleRecord>& rule : registry.rules) {
    corvane_dds::Write(level, corvane_dds::RuleLine(*rule));
  }
}

void rulestats_log_match_changes(int level) {
  if (!corvane_dds::Admits(level)) return;
  const Clock::time_point now = Clock::now();
  corvane_dds::Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  for (const std::shared_ptr<RuleRecord>& rule : registry.rules) {
    for (corvane_dds::ChannelRecord& channel : rule->channels) {
      for (int s = 0; s < rule->side_count; s++) {
        corvane_dds::ChannelSide& side = channel.sides[s];
        if (side.has_line && now - side.last_line < corvane_dds::kMatchLinePeriod) continue;
        if (!corvane_dds::HasPendingChange(side)) continue;
        std::string changes;
        for (int k = 0; k < corvane_dds::kPeerKinds; k++) {
          const std::string change =
              corvane_dds::PeerChange(side.peers[k], corvane_dds::kPeerNames[k]);
          if (!change.empty()) changes += (changes.empty() ? "" : "; ") + change;
        }
        if (changes.empty()) continue;  // e.g. a peer came and went unseen
        side.has_line = true;
        side.last_line = now;
        corvane_dds::Write(level, "rule " + std::to_string(rule->index) + " " + channel.topic +
                                      " domain " + std::to_string(rule->sides[s].domain) + ": " +
                                      changes);
      }
    }
  }
}

void rulestats_log_counters(int level, bool changed_only) {
  if (!corvane_dds::Admits(level)) return;
  corvane_dds::Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  for (const std::shared_ptr<RuleRecord>& rule : registry.rules) {
    std::vector<corvane_dds::ChannelValues> values;
    for (const corvane_dds::ChannelRecord& channel : rule->channels) {
      values.push_back(corvane_dds::Read(channel.counters));
    }
    if (changed_only) {
      rule->last_summary.resize(values.size());  // a new channel starts from zero
      if (values == rule->last_summary) continue;
      rule->last_summary = values;
    }
    std::string line = "rule " + std::to_string(rule->index) + " counters: ";
    for (size_t i = 0; i < values.size(); i++) {
      if (i > 0) line += "; ";
      line += corvane_dds::ChannelText(rule->channels[i], values[i]);
    }
    corvane_dds::Write(level, line);
  }
}
