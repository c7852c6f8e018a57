// Interoperability peer on Cyclone DDS (see peer_options.h for its command
// line and peer_report.h for its output). Without CYCLONEDDS_URI it uses the
// tests' loopback configuration, so it never leaves 127.0.0.1 by accident.

#include <dds/dds.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "tests/interop/interop_types.h"
#include "tests/interop/peer_runner.h"

namespace {

const uint32_t TAKE_BATCH = 16;

// Owns one Cyclone entity; deleting a participant deletes all it contains.
class EntityHandle {
 public:
  explicit EntityHandle(dds_entity_t entity = 0) : entity_(entity) {}
  EntityHandle(const EntityHandle&) = delete;
  EntityHandle& operator=(const EntityHandle&) = delete;
  ~EntityHandle() {
    if (entity_ > 0) dds_delete(entity_);
  }

  dds_entity_t get() const { return entity_; }

 private:
  dds_entity_t entity_;
};

struct QosDeleter {
  void operator()(dds_qos_t* qos) const { dds_delete_qos(qos); }
};

// Writes `sample` as an interop::Sample; the payload is lent, not copied.
dds_return_t WriteSample(dds_entity_t writer, const PeerSample& sample, dds_time_t stamp) {
  interop_Sample wire{};
  wire.seq = sample.seq;
  wire.payload._length = static_cast<uint32_t>(sample.payload.size());
  wire.payload._maximum = wire.payload._length;
  wire.payload._buffer = const_cast<uint8_t*>(sample.payload.data());
  wire.payload._release = false;
  return dds_write_ts(writer, &wire, stamp);
}

dds_return_t WriteChatter(dds_entity_t writer, const PeerSample& sample, dds_time_t stamp) {
  std::string text = ComposeChatterText(sample.seq, sample.payload);
  std_msgs_msg_dds__String_ wire{};
  wire.data = text.data();
  return dds_write_ts(writer, &wire, stamp);
}

void ReadSample(const void* data, PeerSample* sample) {
  const auto* wire = static_cast<const interop_Sample*>(data);
  sample->seq = wire->seq;
  sample->payload.assign(wire->payload._buffer, wire->payload._buffer + wire->payload._length);
}

void ReadChatter(const void* data, PeerSample* sample) {
  const auto* wire = static_cast<const std_msgs_msg_dds__String_*>(data);
  sample->well_formed =
      wire->data != nullptr && SplitChatterText(wire->data, &sample->seq, &sample->payload);
}

// How one type travels: its descriptor and conversions from and to PeerSample.
struct WireType {
  const dds_topic_descriptor_t* descriptor;
  dds_return_t (*write)(dds_entity_t writer, const PeerSample& sample, dds_time_t stamp);
  void (*read)(const void* data, PeerSample* sample);
};

const WireType SAMPLE_WIRE{&interop_Sample_desc, WriteSample, ReadSample};
const WireType CHATTER_WIRE{&std_msgs_msg_dds__String__desc, WriteChatter, ReadChatter};

class CycloneEndpoint : public PeerEndpoint {
 public:
  static std::unique_ptr<PeerEndpoint> Create(const PeerOptions& options) {
    // Only the default; an explicit CYCLONEDDS_URI is the caller's choice.
    setenv("CYCLONEDDS_URI", CORVANE_CYCLONE_URI, 0);
    const WireType& wire = options.kind == PeerKind::kSample ? SAMPLE_WIRE : CHATTER_WIRE;
    auto endpoint = std::unique_ptr<CycloneEndpoint>(
        new CycloneEndpoint(wire, dds_create_participant(options.domain_id, nullptr, nullptr)));
    return endpoint->Open(options) ? std::move(endpoint) : nullptr;
  }

  int MatchedCount() override {
    if (options_role_ == PeerRole::kPublisher) {
      dds_publication_matched_status_t status{};
      dds_get_publication_matched_status(endpoint_, &status);
      return static_cast<int>(status.current_count);
    }
    dds_subscription_matched_status_t status{};
    dds_get_subscription_matched_status(endpoint_, &status);
    return static_cast<int>(status.current_count);
  }

  bool Write(const PeerSample& sample) override {
    return wire_.write(endpoint_, sample, sample.source_timestamp_ns) == DDS_RETCODE_OK;
  }

  bool WaitForAcknowledgments(std::chrono::nanoseconds timeout) override {
    return dds_wait_for_acks(endpoint_, timeout.count()) == DDS_RETCODE_OK;
  }

  void Take(std::chrono::nanoseconds timeout, std::vector<PeerSample>* samples) override {
    if (dds_waitset_wait(waitset_, nullptr, 0, timeout.count()) <= 0) return;
    void* loans[TAKE_BATCH] = {};
    dds_sample_info_t infos[TAKE_BATCH];
    dds_return_t taken;
    while ((taken = dds_take(endpoint_, loans, infos, TAKE_BATCH, TAKE_BATCH)) > 0) {
      for (dds_return_t i = 0; i < taken; ++i) {
        if (!infos[i].valid_data) continue;
        PeerSample sample;
        wire_.read(loans[i], &sample);
        sample.source_timestamp_ns = infos[i].source_timestamp;
        samples->push_back(std::move(sample));
      }
      dds_return_loan(endpoint_, loans, taken);
      loans[0] = nullptr;  // Asks the next take for a fresh loan.
    }
  }

 private:
  CycloneEndpoint(const WireType& wire, dds_entity_t participant)
      : wire_(wire), participant_(participant) {}

  bool Open(const PeerOptions& options) {
    if (participant_.get() <= 0) return false;
    options_role_ = options.role;
    const dds_entity_t topic = dds_create_topic(participant_.get(), wire_.descriptor,
                                                options.topic.c_str(), nullptr, nullptr);
    if (topic <= 0) return false;
    std::unique_ptr<dds_qos_t, QosDeleter> qos(dds_create_qos());
    dds_qset_reliability(qos.get(),
                         options.reliable ? DDS_RELIABILITY_RELIABLE : DDS_RELIABILITY_BEST_EFFORT,
                         DDS_SECS(1));
    dds_qset_history(qos.get(), DDS_HISTORY_KEEP_ALL, 0);
    dds_qset_durability(qos.get(), options.transient_local ? DDS_DURABILITY_TRANSIENT_LOCAL
                                                           : DDS_DURABILITY_VOLATILE);
    if (options.role == PeerRole::kPublisher) {
      endpoint_ = dds_create_writer(participant_.get(), topic, qos.get(), nullptr);
      return endpoint_ > 0;
    }
    endpoint_ = dds_create_reader(participant_.get(), topic, qos.get(), nullptr);
    if (endpoint_ <= 0) return false;
    waitset_ = dds_create_waitset(participant_.get());
    const dds_entity_t condition = dds_create_readcondition(endpoint_, DDS_ANY_STATE);
    return waitset_ > 0 && condition > 0 &&
           dds_waitset_attach(waitset_, condition, 0) == DDS_RETCODE_OK;
  }

  const WireType& wire_;
  EntityHandle participant_;
  PeerRole options_role_ = PeerRole::kSubscriber;
  // Owned by participant_.
  dds_entity_t endpoint_ = 0;  // Writer or reader.
  dds_entity_t waitset_ = 0;   // Wakes a reader's Take.
};

}  // namespace

int main(int argc, char** argv) {
  return PeerMain(argc, argv, CycloneEndpoint::Create);
}
