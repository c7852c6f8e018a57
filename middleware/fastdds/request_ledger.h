// The bounded ledger of relayed requests that await their replies.
#ifndef CORVANE_MIDDLEWARE_FASTDDS_REQUEST_LEDGER_H_
#define CORVANE_MIDDLEWARE_FASTDDS_REQUEST_LEDGER_H_

// The requests one relayed request writer has published and not yet seen
// answered: for each sequence number the writer gave a request, the sample
// identity the reply must name on the way back to the client.
//
// ROS 2 clients on Fast DDS pair a reply with their request through the
// reply's related sample identity, so a relay that republishes a request
// under its own writer must name the client's identity again on the reply.
// The ledger is bounded: an entry lives at most kMaxAge and a writer keeps
// at most kMaxEntries of them, the oldest leaving first, so a client that
// never gets its reply costs nothing for ever.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace corvane_dds {

// A DDS GUID: 12 bytes of participant prefix, 4 of entity id. All zero is
// "unknown".
struct Guid {
  std::array<uint8_t, 16> bytes{};
  bool known() const;
  bool SameParticipant(const Guid& other) const;
  bool operator==(const Guid& other) const { return bytes == other.bytes; }
  bool operator!=(const Guid& other) const { return bytes != other.bytes; }
};

// A writer's GUID and the sequence number (high and low halves, kept exactly
// as they travel) of one of its samples.
struct SampleIdentity {
  Guid guid;
  int32_t high = -1;  // -1/0: the sequence number is unknown
  uint32_t low = 0;
  int64_t sequence() const { return (static_cast<int64_t>(high) << 32) | low; }
};

class RequestLedger {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kMaxAge{60};
  static constexpr size_t kMaxEntries = 65536;

  // `name` (the request topic) labels its log lines; `now` is the clock,
  // tests pass their own.
  explicit RequestLedger(std::string name, std::function<Clock::time_point()> now = Clock::now)
      : name_(std::move(name)), now_(std::move(now)) {}

  // Runs `publish`, which returns the sequence number the writer gave the
  // request (nothing when it failed), and records that a reply to it must
  // name `client`. Under the ledger's lock, so a reply that comes back at
  // once cannot miss its entry.
  void PublishAndRecord(const std::function<std::optional<int64_t>()>& publish,
                        const SampleIdentity& client);

  // The identity recorded for the request published as `sequence`, which is
  // forgotten; nothing when no such entry exists (answered already, dropped,
  // or never recorded).
  std::optional<SampleIdentity> Claim(int64_t sequence);

  size_t size() const;

 private:
  struct Entry {
    SampleIdentity client;
    Clock::time_point recorded;
  };
  // Drops entries past their age or beyond the bound; logs what it dropped.
  void Prune(Clock::time_point now);
  // A trace line with the number of entries.
  void Trace() const;

  const std::string name_;
  const std::function<Clock::time_point()> now_;
  mutable std::mutex mutex_;
  // A writer numbers its samples in increasing order, so the first entry is
  // the oldest.
  std::map<int64_t, Entry> entries_;
};

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_FASTDDS_REQUEST_LEDGER_H_
