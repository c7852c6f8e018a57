#ifndef CORVANE_MIDDLEWARE_RULE_STATS_INTERNAL_H_
#define CORVANE_MIDDLEWARE_RULE_STATS_INTERNAL_H_

// How the layer's readers and writers count for their rule (rule_stats.h).
//
// Each reader and writer created while a rule is open holds an EndpointStats
// that points into the rule's records; others hold none. The data path calls
// Forwarded and Dropped on the writer's, the DDS listeners call Matched and
// Refused on the endpoint whose status changed. All of them are a few relaxed
// atomic operations and never lock.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "middleware/dds.h"

namespace corvane_dds {

// Why a sample taken from a source was not written to its destination.
// Other drop policies add their reason before kCount and their name in
// rule_stats.cc.
enum class DropReason { kWriteFailed, kStalled, kCount };
constexpr int kDropReasons = static_cast<int>(DropReason::kCount);

// Which peers an endpoint matches: a reader's peers publish, a writer's
// subscribe.
enum class PeerKind { kPublisher, kSubscriber };
constexpr int kPeerKinds = 2;

// One channel's counters.
struct ChannelCounters {
  std::atomic<uint64_t> samples{0};
  std::atomic<uint64_t> bytes{0};
  std::atomic<uint64_t> dropped[kDropReasons] = {};
  std::atomic<int32_t> matched[kPeerKinds] = {};
};

// One kind of peer on one rule side, as the match lines report it.
struct PeerMatches {
  std::atomic<int32_t> count{0};
  std::atomic<bool> appeared{false};  // count left 0 since the side's last line
  std::atomic<bool> gone{false};      // count came back to 0 since then
  std::atomic<uint32_t> refused{0};   // incompatible peers since then
  std::atomic<uint32_t> refused_policy{0};
};

struct RuleRecord;

class EndpointStats {
 public:
  EndpointStats(std::shared_ptr<RuleRecord> rule, ChannelCounters* channel, PeerMatches* side,
                PeerKind peers)
      : rule_(std::move(rule)), channel_(channel), side_(side), peers_(peers) {}

  // One sample of `bytes` written.
  void Forwarded(uint64_t bytes) {
    channel_->samples.fetch_add(1, std::memory_order_relaxed);
    channel_->bytes.fetch_add(bytes, std::memory_order_relaxed);
  }
  // `count` samples not written, for `reason`.
  void Dropped(DropReason reason, uint64_t count = 1) {
    channel_->dropped[static_cast<int>(reason)].fetch_add(count, std::memory_order_relaxed);
  }
  // The number of peers one DDS endpoint matches changed by `change`.
  void Matched(int32_t change);
  // `count` peers were refused; `policy` is the DDS id of the last policy
  // that did not match.
  void Refused(uint32_t count, uint32_t policy);

 private:
  const std::shared_ptr<RuleRecord> rule_;  // keeps the two records alive
  ChannelCounters* const channel_;
  PeerMatches* const side_;
  const PeerKind peers_;
};

// The stats of a reader (kPublisher) or writer (kSubscriber) created now in
// `domain` on `topic`: null when no rule is open.
std::unique_ptr<EndpointStats> AttachEndpoint(dds_DomainId_t domain, const std::string& topic,
                                              PeerKind peers);

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_RULE_STATS_INTERNAL_H_
