#ifndef CORVANE_TESTS_E2E_DDS_PROBE_H_
#define CORVANE_TESTS_E2E_DDS_PROBE_H_

// Test-side DDS peers on Cyclone DDS, inside the test process: participants,
// a reliable keep-all writer and reader of the probe sample, and a watch on
// the participants that discovery reports in a domain. Every participant of
// the process stays on loopback.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace corvane_e2e {

// The DDS type name of the probe sample; a relay rule for probe topics names it.
extern const char kBlobTypeName[];

// Probe samples numbered from here up are warm-ups (see WaitUntilHeard):
// readers count them apart and leave them out of what they received.
constexpr uint32_t kWarmUpSeq = 0xFFFF0000u;

// One probe sample as written or as received.
struct Blob {
  uint32_t seq = 0;
  std::vector<uint8_t> payload;
  int64_t source_timestamp = 0;  // ns since the epoch; set on the received copy
};

// A participant in one domain. Not copyable; deleted with everything in it.
class Participant {
 public:
  explicit Participant(int domain_id);
  Participant(const Participant&) = delete;
  Participant& operator=(const Participant&) = delete;
  ~Participant();

  bool ok() const { return handle_ > 0; }
  int32_t handle() const { return handle_; }

 private:
  int32_t handle_;
};

// Reliable, keep-all, volatile writer of probe samples on `topic`. A write
// blocks while the history is full, for up to 30 s.
class BlobWriter {
 public:
  BlobWriter(const Participant& participant, const std::string& topic);
  BlobWriter(const BlobWriter&) = delete;
  BlobWriter& operator=(const BlobWriter&) = delete;
  ~BlobWriter();

  bool ok() const { return handle_ > 0; }

  // True once at least `count` readers have matched.
  bool WaitForReaders(int count, std::chrono::milliseconds timeout);

  // Publishes `sample` with `source_timestamp` (ns since the epoch).
  bool Write(const Blob& sample, int64_t source_timestamp);

  // True once every matched reader has acknowledged every sample.
  bool WaitForAcks(std::chrono::milliseconds timeout);

 private:
  int32_t handle_;
};

// Which writers a reader hears.
enum class Heard {
  kAll,         // local and remote writers alike
  kRemoteOnly,  // writers of other processes only, e.g. the relay's
};

// Reliable, keep-all, volatile reader of probe samples on `topic`, keeping
// everything it receives in arrival order.
class BlobReader {
 public:
  BlobReader(const Participant& participant, const std::string& topic, Heard heard);
  BlobReader(const BlobReader&) = delete;
  BlobReader& operator=(const BlobReader&) = delete;
  ~BlobReader();

  bool ok() const { return handle_ > 0; }

  // True once at least `count` writers have matched.
  bool WaitForWriters(int count, std::chrono::milliseconds timeout);

  // Collects arrivals until `count` samples have arrived in all or `timeout`
  // passes; returns the number received so far.
  size_t WaitForSamples(size_t count, std::chrono::milliseconds timeout);

  // Collects arrivals for `duration`; returns the number received so far.
  size_t CollectFor(std::chrono::milliseconds duration);

  const std::vector<Blob>& received() const { return received_; }

  // True once a warm-up sample has arrived, within `timeout`.
  bool WaitForWarmUp(std::chrono::milliseconds timeout);

 private:
  void TakeAll();

  int32_t handle_;
  int32_t waitset_;
  int32_t condition_;
  std::vector<Blob> received_;
  size_t warm_ups_ = 0;
};

// Writes warm-up samples until `reader` hears one. The writer can match the
// relay's reader before that reader has matched the writer, and what is
// written in between never reaches the relay; once a warm-up has crossed,
// the path is up. False after `timeout`.
bool WaitUntilHeard(BlobWriter* writer, BlobReader* reader, std::chrono::milliseconds timeout);

// Discovery's view of the participants in the domain of `participant`,
// leaving out those of this process.
class ParticipantWatch {
 public:
  explicit ParticipantWatch(const Participant& participant);
  ParticipantWatch(const ParticipantWatch&) = delete;
  ParticipantWatch& operator=(const ParticipantWatch&) = delete;
  ~ParticipantWatch();

  bool ok() const { return handle_ > 0; }

  // Takes the discovery news that has arrived.
  void Poll();

  // Polls until at least `count` foreign participants are alive or `timeout`
  // passes; returns whether they are.
  bool WaitForAlive(size_t count, std::chrono::milliseconds timeout);

  // Polls for `duration`.
  void PollFor(std::chrono::milliseconds duration);

  // Foreign participants seen at any time, and those alive at the last poll.
  size_t SeenCount() const { return alive_.size(); }
  size_t AliveCount() const;

 private:
  int32_t handle_;
  std::map<std::string, bool> alive_;  // by GUID bytes
};

}  // namespace corvane_e2e

#endif  // CORVANE_TESTS_E2E_DDS_PROBE_H_
