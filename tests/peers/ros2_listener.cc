// Subscribes to std_msgs/msg/String messages on a ROS 2 topic, as the ROS 2
// demo listener does.
//
// Output: "ready" once the reader exists (and --publishers publications
// matched), "heard <data>" per message, "done received=<n>" on success or
// "timeout received=<n>". --count 0 listens until the timeout (success).
// --transient-local subscribes as a late joiner that asks for latched data.
// --type-hash H announces USER_DATA "typehash=H;"; before "done" it prints
// "peer user_data=<text>" for each publication matched then.

#include "std_msgs.h"
#include "tests/peers/peer_common.h"

int main(int argc, char** argv) {
  peers::Options options("ros2_listener", {{"topic", "/chatter"},
                                           {"count", "10"},
                                           {"publishers", "0"},
                                           {"transient-local", "false"},
                                           {"type-hash", ""}});
  if (!options.Parse(argc, argv)) return peers::kExitSetup;
  const peers::Deadline deadline = peers::BeginRun(options);

  peers::Participant participant(static_cast<dds_domainid_t>(options.Int("domain")));
  if (!participant.ok()) return peers::kExitSetup;
  const dds_entity_t reader = participant.CreateReader(
      std_msgs_msg_dds__String__desc, peers::RosTopicName(options.Str("topic")),
      options.Flag("transient-local") ? peers::QosProfile::kLateJoiner
                                      : peers::QosProfile::kDefault);
  if (reader <= 0) return peers::kExitSetup;
  const bool hashed = !options.Str("type-hash").empty();
  if (hashed) peers::SetUserData(reader, "typehash=" + options.Str("type-hash") + ";");

  const long long publishers = options.Int("publishers");
  if (publishers > 0 &&
      !peers::WaitForMatch({reader}, deadline, static_cast<uint32_t>(publishers))) {
    peers::Emit("timeout waiting for publishers");
    return peers::kExitFailed;
  }
  peers::Emit("ready");

  const long long count = options.Int("count");
  long long received = 0;
  while (!deadline.Passed() && (count == 0 || received < count)) {
    participant.WaitForData({reader}, deadline, DDS_MSECS(200));
    peers::TakeEach<std_msgs_msg_dds__String_>(reader,
                                               [&](const std_msgs_msg_dds__String_& message) {
                                                 if (count != 0 && received >= count) return;
                                                 ++received;
                                                 peers::Emit("heard %s", message.data);
                                               });
  }
  if (count != 0 && received < count) {
    peers::Emit("timeout received=%lld", received);
    return peers::kExitFailed;
  }
  if (hashed) {
    for (const std::string& text : peers::MatchedUserData(reader)) {
      peers::Emit("peer user_data=%s", text.c_str());
    }
  }
  peers::Emit("done received=%lld", received);
  return peers::kExitOk;
}
