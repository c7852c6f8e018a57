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
// A reply may come hours later (an action's result comes when its goal
// ends), so an entry has no age: it goes when its reply claims it, or a
// while after its client's request writer left. The ledger is bounded in
// entries and bytes, the oldest leaving first, with one warning per episode.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace corvane_dds {

// A DDS GUID: 12 bytes of participant prefix, 4 of entity id. All zero is
// "unknown".
struct Guid {
  std::array<uint8_t, 16> bytes{};
  bool known() const;
  bool SameParticipant(const Guid& other) const;
  // Of an endpoint of Cyclone DDS, whose vendor id (0x0110) opens the prefix.
  bool FromCycloneDds() const { return bytes[0] == 0x01 && bytes[1] == 0x10; }
  // Of a reader (entity kinds 0x04 and 0x07, user or built-in).
  bool IsReader() const { return (bytes[15] & 0x0f) == 0x04 || (bytes[15] & 0x0f) == 0x07; }
  bool operator==(const Guid& other) const { return bytes == other.bytes; }
  bool operator!=(const Guid& other) const { return bytes != other.bytes; }
  bool operator<(const Guid& other) const { return bytes < other.bytes; }
};

// A writer's GUID and the sequence number (high and low halves, kept exactly
// as they travel) of one of its samples.
struct SampleIdentity {
  Guid guid;
  int32_t high = -1;  // -1/0: the sequence number is unknown
  uint32_t low = 0;
  int64_t sequence() const { return (static_cast<int64_t>(high) << 32) | low; }
};

// Where a reply goes back to: the identity it names, for a client that
// pairs through sample identities, or the request header it carries in
// front of its body, for one that pairs through the payload (16 bytes, as
// the client wrote them, in the byte order `header_little_endian` says).
struct ReplyTarget {
  SampleIdentity identity;
  bool has_header = false;
  bool header_little_endian = true;
  std::array<uint8_t, 16> header{};
};

// The remote endpoints one endpoint matches, in the order they matched, as
// its listener reports them.
class MatchedPeers {
 public:
  // `peer` matched (`change` 1) or left (-1).
  void Change(const Guid& peer, int32_t change);
  bool Contains(const Guid& peer) const;
  // Waits until `peer` is matched or `deadline` passes; true when it is.
  bool AwaitMatch(const Guid& peer, std::chrono::steady_clock::time_point deadline) const;
  // Waits until any peer is matched or `deadline` passes; the peers then.
  std::vector<Guid> AwaitAny(std::chrono::steady_clock::time_point deadline) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Guid> peers_;  // guarded by mutex_
};

class RequestLedger {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kMaxEntries = 65536;
  // What an entry costs, with the map's own share, and the bound on them.
  static constexpr size_t kEntryBytes = 128;
  static constexpr size_t kMaxBytes = size_t{8} << 20;
  // An entry of a client whose request writer left goes this long after
  // the ledger noticed (it looks at most once per kSweepPeriod).
  static constexpr std::chrono::seconds kDepartedGrace{5};
  static constexpr std::chrono::seconds kSweepPeriod{1};

  // Where a request came from, to tell when its client is gone: the
  // writers that the relay's reader in the client's domain matches, and the
  // client's request writer among them. Null `writers`: never gone.
  struct Source {
    std::shared_ptr<const MatchedPeers> writers;
    Guid writer;
  };

  // `name` (the request topic) labels its log lines; `now` is the clock,
  // tests pass their own.
  explicit RequestLedger(std::string name, std::function<Clock::time_point()> now = Clock::now)
      : name_(std::move(name)), now_(std::move(now)) {}

  // Runs `publish`, which returns the number the request is known by (the
  // sequence number the writer gave it, or the one in its header; nothing
  // when it failed), and records that a reply to it goes to `client`. Under
  // the ledger's lock, so a reply that comes back at once cannot miss its
  // entry.
  void PublishAndRecord(const std::function<std::optional<int64_t>()>& publish,
                        const ReplyTarget& client, const Source& source = {});

  // Where the reply to the request known as `sequence` goes; the entry is
  // forgotten. Nothing when no such entry exists (answered already,
  // dropped, or never recorded).
  std::optional<ReplyTarget> Claim(int64_t sequence);

  size_t size() const;

 private:
  struct Entry {
    ReplyTarget client;
    Source source;
    std::optional<Clock::time_point> departed;  // when its writer was seen gone
  };
  // Forgets the entries of clients gone for kDepartedGrace, at most once per
  // kSweepPeriod, and the oldest beyond the bounds.
  void Prune(Clock::time_point now);
  // A trace line with the number of entries.
  void Trace() const;

  const std::string name_;
  const std::function<Clock::time_point()> now_;
  mutable std::mutex mutex_;
  // A writer numbers its samples in increasing order, so the first entry is
  // the oldest.
  std::map<int64_t, Entry> entries_;  // guarded by mutex_
  Clock::time_point last_sweep_{};    // guarded by mutex_
  bool bounded_ = false;              // the bounds drop entries; guarded
};

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_FASTDDS_REQUEST_LEDGER_H_
