// Serves example_interfaces/srv/AddTwoInts: answers each request with a + b
// under the request's header (client guid, sequence number), as a ROS 2
// service server on the Cyclone-based middleware does.
//
// Output: "ready" (with --wait-match only once a client's reader and writer
// matched), "request guid=<hex16> seq=<n> a=<a> b=<b>" per request,
// "done served=<n>" or "timeout served=<n>". --count 0 serves until the
// timeout (success). --fault sum|seq|guid spoils every reply, to check that
// clients notice. --type-hash H announces USER_DATA "serviceid=…;typehash=H;"
// on both endpoints, as ROS 2 since Iron does, and prints "peer user_data=
// <text>" for each request writer matched at the end.

#include "example_interfaces.h"
#include "tests/peers/peer_common.h"

namespace {

using Request = example_interfaces_srv_dds__AddTwoInts_Request_;
using Reply = example_interfaces_srv_dds__AddTwoInts_Response_;

void Spoil(const std::string& fault, Reply& reply) {
  if (fault == "sum") reply.sum += 1;
  if (fault == "seq") reply.seq += 1000;
  if (fault == "guid") reply.guid ^= 1;
}

}  // namespace

int main(int argc, char** argv) {
  peers::Options options("ros2_add_server", {{"service", "/add_two_ints"},
                                             {"count", "0"},
                                             {"wait-match", "false"},
                                             {"fault", "none"},
                                             {"type-hash", ""}});
  if (!options.Parse(argc, argv)) return peers::kExitSetup;
  const peers::Deadline deadline = peers::BeginRun(options);

  peers::Participant participant(static_cast<dds_domainid_t>(options.Int("domain")));
  if (!participant.ok()) return peers::kExitSetup;
  const std::string& service = options.Str("service");
  const dds_entity_t requests = participant.CreateReader(
      example_interfaces_srv_dds__AddTwoInts_Request__desc, peers::RosRequestTopicName(service));
  const dds_entity_t replies = participant.CreateWriter(
      example_interfaces_srv_dds__AddTwoInts_Response__desc, peers::RosReplyTopicName(service));
  if (requests <= 0 || replies <= 0) return peers::kExitSetup;
  const std::string& hash = options.Str("type-hash");
  for (const dds_entity_t endpoint : {requests, replies}) {
    if (!hash.empty()) peers::SetUserData(endpoint, "serviceid=0.1.2.3;typehash=" + hash + ";");
  }

  if (options.Flag("wait-match") && !peers::WaitForMatch({requests, replies}, deadline)) {
    peers::Emit("timeout waiting for clients");
    return peers::kExitFailed;
  }
  peers::Emit("ready");

  const long long count = options.Int("count");
  long long served = 0;
  while (!deadline.Passed() && (count == 0 || served < count)) {
    participant.WaitForData({requests}, deadline, DDS_MSECS(200));
    peers::TakeEach<Request>(requests, [&](const Request& request) {
      Reply reply{request.guid, request.seq, request.a + request.b};
      Spoil(options.Str("fault"), reply);
      dds_write(replies, &reply);
      ++served;
      peers::Emit("request guid=%016llx seq=%lld a=%lld b=%lld",
                  static_cast<unsigned long long>(request.guid),
                  static_cast<long long>(request.seq), static_cast<long long>(request.a),
                  static_cast<long long>(request.b));
    });
  }
  peers::FlushWriter(replies, deadline);
  if (count != 0 && served < count) {
    peers::Emit("timeout served=%lld", served);
    return peers::kExitFailed;
  }
  if (!hash.empty()) {
    for (const std::string& text : peers::MatchedUserData(requests)) {
      peers::Emit("peer user_data=%s", text.c_str());
    }
  }
  peers::Emit("done served=%lld", served);
  return peers::kExitOk;
}
