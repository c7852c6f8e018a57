// Helpers shared by the ROS 2 test peers: programs that behave on DDS like
// ROS 2 nodes on the Cyclone-based ROS 2 middleware (same DDS topic names,
// type names, request header and default QoS), so that the relay can be
// tested against them without a ROS 2 installation.
//
// Every peer prints one machine-checkable line per event on stdout (line
// buffered) and exits 0 on success, 1 on a failed check or timeout, 2 on bad
// options or a DDS set-up failure.

#ifndef CORVANE_TESTS_PEERS_PEER_COMMON_H_
#define CORVANE_TESTS_PEERS_PEER_COMMON_H_

#include <dds/dds.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace peers {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitSetup = 2;

// Options "--key value", "--key=value" and "--flag". Each key's default
// decides its kind: "true"/"false" is a flag, an integer is an integer, else
// a string. "--domain" (0) and "--timeout" (seconds, 30) are always present.
class Options {
 public:
  Options(std::string program, std::vector<std::pair<std::string, std::string>> defaults);

  // Returns false, after printing the usage to stderr, on an unknown key or
  // a value of the wrong kind.
  bool Parse(int argc, char** argv);

  const std::string& Str(const std::string& key) const { return values_.at(key); }
  long long Int(const std::string& key) const;
  bool Flag(const std::string& key) const { return Str(key) == "true"; }

 private:
  void PrintUsage() const;

  std::string program_;
  std::vector<std::pair<std::string, std::string>> defaults_;
  std::map<std::string, std::string> values_;
};

// The hard time limit of one run. Also ends early on SIGINT or SIGTERM.
class Deadline {
 public:
  explicit Deadline(long long seconds);
  bool Passed() const;
  // Time left, capped at `cap`, never negative.
  dds_duration_t Remaining(dds_duration_t cap) const;

 private:
  std::chrono::steady_clock::time_point end_;
};

// Line-buffers stdout, installs the SIGINT/SIGTERM handler and starts the
// run's deadline from "--timeout".
Deadline BeginRun(const Options& options);
bool StopRequested();

// printf to stdout; one call is one line (the newline is added).
void Emit(const char* format, ...) __attribute__((format(printf, 1, 2)));

// QoS as ROS 2 sets it: kDefault for topics and services (reliable, volatile,
// keep-last 10), kActionStatus for an action's status topic and latched
// publishers (reliable, transient-local, keep-last 1), kLateJoiner for a
// subscriber that asks for what was latched (reliable, transient-local,
// keep-last 100, as tf2's static listener does).
enum class QosProfile { kDefault, kActionStatus, kLateJoiner };

// One participant; deleting it on destruction deletes all it contains.
class Participant {
 public:
  explicit Participant(dds_domainid_t domain);
  ~Participant();
  Participant(const Participant&) = delete;
  Participant& operator=(const Participant&) = delete;

  bool ok() const { return handle_ > 0; }
  // Null (<= 0) on failure; a failed call prints the reason to stderr.
  dds_entity_t CreateReader(const dds_topic_descriptor_t& type, const std::string& topic,
                            QosProfile profile = QosProfile::kDefault);
  dds_entity_t CreateWriter(const dds_topic_descriptor_t& type, const std::string& topic,
                            QosProfile profile = QosProfile::kDefault);

  // Blocks until one of `readers` holds a sample, `slice` passed or the
  // deadline passed.
  void WaitForData(const std::vector<dds_entity_t>& readers, const Deadline& deadline,
                   dds_duration_t slice);

 private:
  dds_entity_t Topic(const dds_topic_descriptor_t& type, const std::string& topic);

  dds_entity_t handle_;
  dds_entity_t waitset_ = 0;
  std::map<dds_entity_t, dds_entity_t> read_conditions_;
};

// Waits until every reader and writer in `endpoints` has at least `count`
// matched remote endpoints. False when the deadline passes first.
bool WaitForMatch(const std::vector<dds_entity_t>& endpoints, const Deadline& deadline,
                  uint32_t count = 1);

// Makes `endpoint` announce `bytes` as its USER_DATA, as ROS 2 nodes announce
// "typehash=…;".
void SetUserData(dds_entity_t endpoint, const std::string& bytes);

// The USER_DATA of each remote endpoint that `endpoint` (a reader or a
// writer) matches now, as text.
std::vector<std::string> MatchedUserData(dds_entity_t endpoint);

// Waits, bounded by the deadline, until every written sample is acknowledged,
// so that a peer exiting right after its last write still delivers it.
void FlushWriter(dds_entity_t writer, const Deadline& deadline);

// Takes every sample waiting in `reader` and calls `handle` for each valid one.
template <typename T>
int TakeEach(dds_entity_t reader, const std::function<void(const T&)>& handle) {
  constexpr int kBatch = 16;
  int taken = 0;
  for (;;) {
    void* samples[kBatch] = {};
    dds_sample_info_t infos[kBatch];
    const int n = dds_take(reader, samples, infos, kBatch, kBatch);
    if (n <= 0) return taken;
    for (int i = 0; i < n; ++i) {
      if (infos[i].valid_data) {
        handle(*static_cast<const T*>(samples[i]));
        ++taken;
      }
    }
    dds_return_loan(reader, samples, n);
  }
}

// DDS topic names of ROS 2 names: "/chatter" -> "rt/chatter", service "/add"
// -> "rq/addRequest" and "rr/addReply".
std::string RosTopicName(const std::string& ros_name);
std::string RosRequestTopicName(const std::string& service);
std::string RosReplyTopicName(const std::string& service);
// The name under which an action carries its part `part` (send_goal,
// cancel_goal, get_result, feedback, status): "/fib" -> "/fib/_action/status".
std::string RosActionPartName(const std::string& action, const char* part);

// A sequence field pointing at `values` (not owned; enough for a write).
template <typename Seq, typename V>
Seq BorrowSequence(std::vector<V>& values) {
  Seq seq{};
  seq._maximum = seq._length = static_cast<uint32_t>(values.size());
  seq._buffer = values.data();
  seq._release = false;
  return seq;
}

// Goal states and cancel return codes of ROS 2 actions.
enum GoalStatus : int8_t {
  kStatusUnknown = 0,
  kStatusAccepted = 1,
  kStatusExecuting = 2,
  kStatusCanceling = 3,
  kStatusSucceeded = 4,
  kStatusCanceled = 5,
  kStatusAborted = 6,
};
enum CancelCode : int8_t {
  kCancelNone = 0,
  kCancelRejected = 1,
  kCancelUnknownGoal = 2,
  kCancelGoalTerminated = 3,
};

using Uuid = std::array<uint8_t, 16>;
Uuid RandomUuid();
std::string UuidHex(const uint8_t (&uuid)[16]);
std::string Join(const int32_t* values, uint32_t count);

// The Fibonacci action's full result for `order`: 0, 1, then order - 1
// further sums (order 5 -> 0 1 1 2 3 5).
std::vector<int32_t> FibonacciSequence(int order);

}  // namespace peers

#endif  // CORVANE_TESTS_PEERS_PEER_COMMON_H_
