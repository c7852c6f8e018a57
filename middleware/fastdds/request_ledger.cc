// The bounded ledger of relayed requests that await their replies.

#include "middleware/fastdds/request_ledger.h"

#include <algorithm>

#include "middleware/logger.h"

namespace corvane_dds {

constexpr size_t RequestLedger::kMaxEntries;
constexpr size_t RequestLedger::kEntryBytes;
constexpr size_t RequestLedger::kMaxBytes;
constexpr std::chrono::seconds RequestLedger::kDepartedGrace;
constexpr std::chrono::seconds RequestLedger::kSweepPeriod;

bool Guid::known() const {
  return std::any_of(bytes.begin(), bytes.end(), [](uint8_t byte) { return byte != 0; });
}

bool Guid::SameParticipant(const Guid& other) const {
  return std::equal(bytes.begin(), bytes.begin() + 12, other.bytes.begin());
}

void MatchedPeers::Change(const Guid& peer, int32_t change) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = std::find(peers_.begin(), peers_.end(), peer);
    if (change > 0) {
      peers_.push_back(peer);
    } else if (change < 0 && found != peers_.end()) {
      peers_.erase(found);
    }
  }
  changed_.notify_all();
}

bool MatchedPeers::Contains(const Guid& peer) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::find(peers_.begin(), peers_.end(), peer) != peers_.end();
}

bool MatchedPeers::AwaitMatch(const Guid& peer,
                              std::chrono::steady_clock::time_point deadline) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_until(lock, deadline, [&] {
    return std::find(peers_.begin(), peers_.end(), peer) != peers_.end();
  });
}

std::vector<Guid> MatchedPeers::AwaitAny(std::chrono::steady_clock::time_point deadline) const {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_until(lock, deadline, [&] { return !peers_.empty(); });
  return peers_;
}

void RequestLedger::PublishAndRecord(const std::function<std::optional<int64_t>()>& publish,
                                     const ReplyTarget& client, const Source& source) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::optional<int64_t> sequence = publish();
  if (!sequence) return;
  entries_[*sequence] = Entry{client, source, std::nullopt};
  Prune(now_());
  Trace();
}

std::optional<ReplyTarget> RequestLedger::Claim(int64_t sequence) {
  std::lock_guard<std::mutex> lock(mutex_);
  Prune(now_());
  const auto found = entries_.find(sequence);
  if (found == entries_.end()) return std::nullopt;
  const ReplyTarget client = found->second.client;
  entries_.erase(found);
  Trace();
  return client;
}

size_t RequestLedger::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

void RequestLedger::Prune(Clock::time_point now) {
  if (now - last_sweep_ >= kSweepPeriod) {
    last_sweep_ = now;
    for (auto it = entries_.begin(); it != entries_.end();) {
      Entry& entry = it->second;
      const bool present =
          !entry.source.writers || entry.source.writers->Contains(entry.source.writer);
      if (present) entry.departed.reset();
      if (!present && !entry.departed) entry.departed = now;
      if (!present && now - *entry.departed >= kDepartedGrace) {
        it = entries_.erase(it);
      } else {
        ++it;
      }
    }
  }
  const size_t bound = std::min(kMaxEntries, kMaxBytes / kEntryBytes);
  size_t forgotten = 0;
  for (; entries_.size() > bound; forgotten++) entries_.erase(entries_.begin());
  if (forgotten > 0 && !bounded_) {
    logger_log(LOGGER_WARNING,
               "%s: more than %zu service requests await their replies; the oldest are "
               "forgotten, and their replies will be dropped",
               name_.c_str(), bound);
  }
  // An episode ends once the ledger has room for a tenth of its bound again.
  if (forgotten > 0) bounded_ = true;
  if (entries_.size() < bound - bound / 10) bounded_ = false;
}

void RequestLedger::Trace() const {
  logger_log(LOGGER_TRACE, "%s: %zu relayed requests await their replies", name_.c_str(),
             entries_.size());
}

}  // namespace corvane_dds
