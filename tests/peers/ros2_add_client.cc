// Calls example_interfaces/srv/AddTwoInts --count times with a = --a + n and
// b = --b + n (n = 1, 2, ...), keeping at most --window calls outstanding.
// Like a ROS 2 client on the Cyclone-based middleware it stamps each request
// with its guid (its request writer's instance handle unless --guid is given)
// and a sequence number from 1, and takes only replies carrying its guid.
//
// Output: "ready guid=<hex16>", "sum seq=<n> a=<a> b=<b> sum=<s>" per reply,
// "ignored guid=<hex16> seq=<n>" per reply to another client, and at the end
// "done replies=<n> ignored=<m>". Failures: "error unexpected seq=<n>" (a reply
// with our guid to no outstanding call), "error wrong sum seq=<n> got=<s>
// want=<s>", "timeout replies=<n>"; all exit 1. --no-wait sends without
// waiting for a matched server; --settle-ms waits that long after matching;
// --period-ms sends at most one call per period; --rtt adds
// "rtt seq=<n> us=<round trip>" after each "sum" line.

#include <map>

#include "example_interfaces.h"
#include "tests/peers/peer_common.h"

namespace {

using Request = example_interfaces_srv_dds__AddTwoInts_Request_;
using Reply = example_interfaces_srv_dds__AddTwoInts_Response_;

}  // namespace

int main(int argc, char** argv) {
  peers::Options options("ros2_add_client", {{"service", "/add_two_ints"},
                                             {"count", "5"},
                                             {"a", "0"},
                                             {"b", "100"},
                                             {"window", "1"},
                                             {"guid", "0"},
                                             {"no-wait", "false"},
                                             {"rtt", "false"},
                                             {"period-ms", "0"},
                                             {"settle-ms", "0"}});
  if (!options.Parse(argc, argv)) return peers::kExitSetup;
  const peers::Deadline deadline = peers::BeginRun(options);

  peers::Participant participant(static_cast<dds_domainid_t>(options.Int("domain")));
  if (!participant.ok()) return peers::kExitSetup;
  const std::string& service = options.Str("service");
  const dds_entity_t requests = participant.CreateWriter(
      example_interfaces_srv_dds__AddTwoInts_Request__desc, peers::RosRequestTopicName(service));
  const dds_entity_t replies = participant.CreateReader(
      example_interfaces_srv_dds__AddTwoInts_Response__desc, peers::RosReplyTopicName(service));
  if (requests <= 0 || replies <= 0) return peers::kExitSetup;

  uint64_t guid = static_cast<uint64_t>(options.Int("guid"));
  if (guid == 0) dds_get_instance_handle(requests, &guid);

  if (!options.Flag("no-wait") && !peers::WaitForMatch({requests, replies}, deadline)) {
    peers::Emit("timeout waiting for server");
    return peers::kExitFailed;
  }
  dds_sleepfor(deadline.Remaining(DDS_MSECS(options.Int("settle-ms"))));
  peers::Emit("ready guid=%016llx", static_cast<unsigned long long>(guid));

  const long long count = options.Int("count");
  const long long window = options.Int("window");
  std::map<int64_t, Request> outstanding;
  std::map<int64_t, dds_time_t> sent_at;
  long long next_seq = 1;
  long long answered = 0;
  long long ignored = 0;
  bool failed = false;
  while (!failed && answered < count && !deadline.Passed()) {
    while (static_cast<long long>(outstanding.size()) < window && next_seq <= count) {
      const dds_time_t due =
          next_seq > 1 ? sent_at[next_seq - 1] + DDS_MSECS(options.Int("period-ms")) : 0;
      if (due > dds_time()) dds_sleepfor(due - dds_time());
      const Request request{guid, next_seq, options.Int("a") + next_seq,
                            options.Int("b") + next_seq};
      sent_at[next_seq] = dds_time();
      dds_write(requests, &request);
      outstanding[next_seq++] = request;
    }
    participant.WaitForData({replies}, deadline, DDS_MSECS(200));
    peers::TakeEach<Reply>(replies, [&](const Reply& reply) {
      const long long seq = reply.seq;
      if (reply.guid != guid) {
        ++ignored;
        peers::Emit("ignored guid=%016llx seq=%lld", static_cast<unsigned long long>(reply.guid),
                    seq);
        return;
      }
      const auto call = outstanding.find(reply.seq);
      if (call == outstanding.end()) {
        failed = true;
        peers::Emit("error unexpected seq=%lld", seq);
        return;
      }
      const Request& request = call->second;
      if (reply.sum != request.a + request.b) {
        failed = true;
        peers::Emit("error wrong sum seq=%lld got=%lld want=%lld", seq,
                    static_cast<long long>(reply.sum),
                    static_cast<long long>(request.a + request.b));
        return;
      }
      peers::Emit("sum seq=%lld a=%lld b=%lld sum=%lld", seq, static_cast<long long>(request.a),
                  static_cast<long long>(request.b), static_cast<long long>(reply.sum));
      if (options.Flag("rtt")) {
        peers::Emit("rtt seq=%lld us=%lld", seq,
                    static_cast<long long>((dds_time() - sent_at[reply.seq]) / 1000));
      }
      outstanding.erase(call);
      ++answered;
    });
  }
  if (failed) return peers::kExitFailed;
  if (answered < count) {
    peers::Emit("timeout replies=%lld", answered);
    return peers::kExitFailed;
  }
  peers::Emit("done replies=%lld ignored=%lld", answered, ignored);
  return peers::kExitOk;
}
