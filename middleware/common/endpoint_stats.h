// How the layer's readers and writers count for their rule (rule_stats.h).
#ifndef CORVANE_MIDDLEWARE_COMMON_ENDPOINT_STATS_H_
#define CORVANE_MIDDLEWARE_COMMON_ENDPOINT_STATS_H_

// Each reader and writer has a StatsSlot; one attached to a rule holds an
// EndpointStats that points into the rule's records. The data path calls
// Forwarded and Dropped on the writer's, the engines' listeners call Matched
// and Refused on the endpoint whose status changed. Counting samples is a few
// relaxed atomic operations; match changes take the slot's lock briefly.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "middleware/dds.h"

struct rulestats_record;  // rule_stats.h

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

class EndpointStats {
 public:
  EndpointStats(std::shared_ptr<rulestats_record> rule, ChannelCounters* channel, PeerMatches* side,
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
  const std::shared_ptr<rulestats_record> rule_;  // keeps the two records alive
  ChannelCounters* const channel_;
  PeerMatches* const side_;
  const PeerKind peers_;
};

// An endpoint's way to its rule's counters. It may be attached to a rule
// after its endpoint matched peers: those matches count then.
class StatsSlot {
 public:
  // From now on the endpoint counts into `stats`; once only.
  void Attach(std::unique_ptr<EndpointStats> stats);
  // The number of peers the endpoint matches changed by `change`.
  void Matched(int32_t change);
  // `change` more peers were refused (nothing when it is not positive);
  // `policy` is the DDS id of the last policy that did not match (Fast DDS's
  // numbering, which follows the DDS standard).
  void Refused(int32_t change, uint32_t policy);
  // Null until attached.
  EndpointStats* get() const { return attached_.load(std::memory_order_acquire); }

 private:
  std::mutex mutex_;
  std::unique_ptr<EndpointStats> stats_;  // guarded by mutex_
  std::atomic<EndpointStats*> attached_{nullptr};
  int32_t matched_ = 0;  // before Attach; guarded by mutex_
  uint32_t refused_ = 0;
  uint32_t refused_policy_ = 0;
};

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_COMMON_ENDPOINT_STATS_H_
