// The bounded ledger of relayed requests that await their replies.

#include <algorithm>

#include "middleware/fastdds/request_ledger.h"
#include "middleware/logger.h"

namespace corvane_dds {

constexpr std::chrono::seconds RequestLedger::kMaxAge;
constexpr size_t RequestLedger::kMaxEntries;

bool Guid::known() const {
  return std::any_of(bytes.begin(), bytes.end(), [](uint8_t byte) { return byte != 0; });
}

bool Guid::SameParticipant(const Guid& other) const {
  return std::equal(bytes.begin(), bytes.begin() + 12, other.bytes.begin());
}

void RequestLedger::PublishAndRecord(const std::function<std::optional<int64_t>()>& publish,
                                     const SampleIdentity& client) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::optional<int64_t> sequence = publish();
  if (!sequence) return;
  const Clock::time_point now = now_();
  entries_[*sequence] = Entry{client, now};
  Prune(now);
  Trace();
}

std::optional<SampleIdentity> RequestLedger::Claim(int64_t sequence) {
  std::lock_guard<std::mutex> lock(mutex_);
  Prune(now_());
  const auto found = entries_.find(sequence);
  if (found == entries_.end()) return std::nullopt;
  const SampleIdentity client = found->second.client;
  entries_.erase(found);
  Trace();
  return client;
}

size_t RequestLedger::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

void RequestLedger::Prune(Clock::time_point now) {
  size_t expired = 0;
  while (!entries_.empty() &&
         (entries_.size() > kMaxEntries || now - entries_.begin()->second.recorded > kMaxAge)) {
    entries_.erase(entries_.begin());
    expired++;
  }
  if (expired == 0) return;
  logger* log = logger_global();
  if (log->level <= LOGGER_WARNING) {
    logger_write(log, LOGGER_WARNING, 0, 0, 0,
                 "%s: service requests unanswered for %lld s or beyond %zu per writer: forgot %zu, "
                 "their replies will be dropped",
                 name_.c_str(), static_cast<long long>(kMaxAge.count()), kMaxEntries, expired);
  }
}

void RequestLedger::Trace() const {
  logger* log = logger_global();
  if (log->level > LOGGER_TRACE) return;
  logger_write(log, LOGGER_TRACE, 0, 0, 0, "%s: %zu relayed requests await their replies",
               name_.c_str(), entries_.size());
}

}  // namespace corvane_dds
