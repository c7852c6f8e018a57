// Publishes std_msgs/msg/String messages "<message>: <n>" on a ROS 2 topic,
// as the ROS 2 demo talker does.
//
// Output: "ready" once --subscribers subscriptions matched and --settle-ms
// passed, "sent <data>" per message, "done sent=<n>". --count 0 publishes
// until the timeout (success). --transient-local publishes latched (depth 1);
// --linger-ms keeps the publisher alive that long after "done". --type-hash H
// announces USER_DATA "typehash=H;", as ROS 2 since Iron does; before "done"
// it prints "peer user_data=<text>" for each subscription matched then.

#include "std_msgs.h"
#include "tests/peers/peer_common.h"

int main(int argc, char** argv) {
  peers::Options options("ros2_talker", {{"topic", "/chatter"},
                                         {"count", "10"},
                                         {"period-ms", "100"},
                                         {"subscribers", "1"},
                                         {"settle-ms", "0"},
                                         {"message", "Hello World"},
                                         {"transient-local", "false"},
                                         {"linger-ms", "0"},
                                         {"type-hash", ""}});
  if (!options.Parse(argc, argv)) return peers::kExitSetup;
  const peers::Deadline deadline = peers::BeginRun(options);

  peers::Participant participant(static_cast<dds_domainid_t>(options.Int("domain")));
  if (!participant.ok()) return peers::kExitSetup;
  const dds_entity_t writer = participant.CreateWriter(
      std_msgs_msg_dds__String__desc, peers::RosTopicName(options.Str("topic")),
      options.Flag("transient-local") ? peers::QosProfile::kActionStatus
                                      : peers::QosProfile::kDefault);
  if (writer <= 0) return peers::kExitSetup;
  const bool hashed = !options.Str("type-hash").empty();
  if (hashed) peers::SetUserData(writer, "typehash=" + options.Str("type-hash") + ";");

  const long long subscribers = options.Int("subscribers");
  if (subscribers > 0 &&
      !peers::WaitForMatch({writer}, deadline, static_cast<uint32_t>(subscribers))) {
    peers::Emit("timeout waiting for subscribers");
    return peers::kExitFailed;
  }
  dds_sleepfor(deadline.Remaining(DDS_MSECS(options.Int("settle-ms"))));
  peers::Emit("ready");

  const long long count = options.Int("count");
  long long sent = 0;
  while (!deadline.Passed() && (count == 0 || sent < count)) {
    const std::string data = options.Str("message") + ": " + std::to_string(sent + 1);
    std_msgs_msg_dds__String_ message{const_cast<char*>(data.c_str())};
    if (dds_write(writer, &message) != DDS_RETCODE_OK) {
      peers::Emit("error write failed");
      return peers::kExitFailed;
    }
    ++sent;
    peers::Emit("sent %s", data.c_str());
    if (count == 0 || sent < count) {
      dds_sleepfor(deadline.Remaining(DDS_MSECS(options.Int("period-ms"))));
    }
  }
  peers::FlushWriter(writer, deadline);
  if (hashed) {
    for (const std::string& text : peers::MatchedUserData(writer)) {
      peers::Emit("peer user_data=%s", text.c_str());
    }
  }
  peers::Emit("done sent=%lld", sent);
  dds_sleepfor(deadline.Remaining(DDS_MSECS(options.Int("linger-ms"))));
  return count == 0 || sent == count ? peers::kExitOk : peers::kExitFailed;
}
