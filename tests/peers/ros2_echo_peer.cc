// A client or server of interop/srv/Echo (one string each way) that pairs as
// ROS 2 on Cyclone DDS does, through the request header in the payload; its
// texts are "<n>:" followed by lower-case letters, as the Fast DDS service
// peer's.
//
//   ros2_echo_peer --role client|server --domain N [--count N] [--timeout S]
//
// The client calls --count times, one call at a time, and keeps only replies
// that carry its guid: "done ok=<n> wrong=<m>" (wrong: the text is not the
// one it sent). The server prints "serving" once a client's endpoints
// matched and echoes each request under its header: "done answered=<n>
// bad=<m>" (bad: a request whose text is not "<n>:letters", which is what a
// request of another shape reads as, if it reads at all).

#include <cstdlib>
#include <string>

#include "interop_echo.h"
#include "tests/peers/peer_common.h"

namespace {

using Request = interop_srv_dds__Echo_Request_;
using Reply = interop_srv_dds__Echo_Response_;

std::string TextOf(long long n) {
  return std::to_string(n) + ":" + std::string(8 + n % 24, static_cast<char>('a' + n % 26));
}

// "<n>:" and lower-case letters, as every text of the peers is.
bool WellFormed(const char* text) {
  char* end = nullptr;
  std::strtoll(text, &end, 10);
  if (end == text || *end != ':') return false;
  for (const char* c = end + 1; *c != '\0'; c++) {
    if (*c < 'a' || *c > 'z') return false;
  }
  return true;
}

int Serve(peers::Participant& participant, const std::string& service, long long count,
          const peers::Deadline& deadline) {
  const dds_entity_t requests = participant.CreateReader(interop_srv_dds__Echo_Request__desc,
                                                         peers::RosRequestTopicName(service));
  const dds_entity_t replies = participant.CreateWriter(interop_srv_dds__Echo_Response__desc,
                                                        peers::RosReplyTopicName(service));
  if (requests <= 0 || replies <= 0) return peers::kExitSetup;
  peers::Emit("ready");
  if (!peers::WaitForMatch({requests, replies}, deadline)) return peers::kExitFailed;
  peers::Emit("serving");
  long long answered = 0;
  long long bad = 0;
  while (!deadline.Passed() && answered + bad < count) {
    participant.WaitForData({requests}, deadline, DDS_MSECS(200));
    peers::TakeEach<Request>(requests, [&](const Request& request) {
      if (!WellFormed(request.data)) {
        ++bad;
        return;
      }
      Reply reply{request.guid, request.seq, request.data};
      dds_write(replies, &reply);
      ++answered;
    });
  }
  peers::FlushWriter(replies, deadline);
  peers::Emit("done answered=%lld bad=%lld", answered, bad);
  return answered == count && bad == 0 ? peers::kExitOk : peers::kExitFailed;
}

int Call(peers::Participant& participant, const std::string& service, long long count,
         const peers::Deadline& deadline) {
  const dds_entity_t requests = participant.CreateWriter(interop_srv_dds__Echo_Request__desc,
                                                         peers::RosRequestTopicName(service));
  const dds_entity_t replies = participant.CreateReader(interop_srv_dds__Echo_Response__desc,
                                                        peers::RosReplyTopicName(service));
  if (requests <= 0 || replies <= 0) return peers::kExitSetup;
  uint64_t guid = 0;
  dds_get_instance_handle(requests, &guid);
  if (!peers::WaitForMatch({requests, replies}, deadline)) return peers::kExitFailed;
  dds_sleepfor(deadline.Remaining(DDS_MSECS(1500)));  // the relay's side matches too
  long long ok = 0;
  long long wrong = 0;
  for (long long n = 1; n <= count && !deadline.Passed(); n++) {
    std::string text = TextOf(n);
    const Request request{guid, n, &text[0]};
    dds_write(requests, &request);
    bool answered = false;
    while (!answered && !deadline.Passed()) {
      participant.WaitForData({replies}, deadline, DDS_MSECS(200));
      peers::TakeEach<Reply>(replies, [&](const Reply& reply) {
        if (reply.guid != guid || reply.seq != n) return;
        answered = true;
        (text == reply.data ? ok : wrong)++;
      });
    }
  }
  peers::Emit("done ok=%lld wrong=%lld", ok, wrong);
  return ok == count ? peers::kExitOk : peers::kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  peers::Options options("ros2_echo_peer",
                         {{"role", "client"}, {"service", "/echo"}, {"count", "20"}});
  if (!options.Parse(argc, argv)) return peers::kExitSetup;
  const peers::Deadline deadline = peers::BeginRun(options);
  peers::Participant participant(static_cast<dds_domainid_t>(options.Int("domain")));
  if (!participant.ok()) return peers::kExitSetup;
  const bool server = options.Str("role") == "server";
  return (server ? Serve : Call)(participant, options.Str("service"), options.Int("count"),
                                 deadline);
}
