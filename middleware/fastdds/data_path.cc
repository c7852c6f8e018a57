// The raw take and write on Fast DDS, and the translation of sample
// identities between a relayed request and its reply.

#include <fastdds/rtps/common/WriteParams.h>

#include <chrono>
#include <fastdds/dds/subscriber/SampleInfo.hpp>

#include "middleware/common/delivery.h"
#include "middleware/common/sequences.h"
#include "middleware/fastdds/entities.h"
#include "middleware/fastdds/raw_type.h"
#include "middleware/logger.h"

namespace corvane_dds {
namespace {

namespace rtps = eprosima::fastrtps::rtps;
using ReturnCode = eprosima::fastrtps::types::ReturnCode_t;

SampleIdentity FromFastDds(const rtps::SampleIdentity& identity) {
  SampleIdentity result;
  result.guid = corvane_dds::FromFastDds(identity.writer_guid());
  result.high = identity.sequence_number().high;
  result.low = identity.sequence_number().low;
  return result;
}

rtps::SampleIdentity ToFastDds(const SampleIdentity& identity) {
  rtps::SampleIdentity result;
  result.writer_guid(corvane_dds::ToFastDds(identity.guid));
  result.sequence_number(rtps::SequenceNumber_t(identity.high, identity.low));
  return result;
}

eprosima::fastrtps::Time_t FastDdsTime(int64_t nanoseconds) {
  return eprosima::fastrtps::Time_t(static_cast<int32_t>(nanoseconds / 1000000000),
                                    static_cast<uint32_t>(nanoseconds % 1000000000));
}

// How long a reply waits for its client's reader to match (ClientReady).
constexpr std::chrono::seconds kClientWait{1};

int64_t NowNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// What a take lent: the layer's copies, kept for reuse by the next take.
class FastDdsLoan : public Loan {
 public:
  void Return() override {}
  std::vector<FastDdsSample> samples;
};

}  // namespace

// Replies that name nothing pass unchanged (their server pairs through the
// payload); replies to someone else's request are not ours to forward.
bool FastDdsReader::AdmitReply(FastDdsSample* sample) {
  sample->translated = false;
  if (topic_.kind() != dds_REPLY_TOPIC || !sample->related.guid.known()) return true;
  Route route;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    route = route_;
  }
  if (!route.ledger) return false;
  if (sample->related.guid != FromFastDds(reader_->guid()) && sample->related.guid != route.writer)
    return false;
  const std::optional<SampleIdentity> client = route.ledger->Claim(sample->related.sequence());
  if (!client) {
    logger_log(LOGGER_DEBUG,
               "%s: dropped a reply to request %lld, which is unknown or answered already",
               topic_.topic()->get_name().c_str(),
               static_cast<long long>(sample->related.sequence()));
    return false;
  }
  sample->translated = true;
  sample->reply_to = *client;
  return true;
}

void FastDdsReader::Take(uint32_t, uint32_t, uint32_t, LentSamples& out) {
  FastDdsLoan& loan = LoanIn<FastDdsLoan>(out.data);
  if (loan.samples.size() < out.limit) loan.samples.resize(out.limit);
  const Guid own = topic_.participant().guid();
  uint32_t removed = 0;
  uint32_t next = 0;
  while (next < out.limit) {
    FastDdsSample& sample = loan.samples[next];
    RawData data;
    data.in = &sample.bytes;
    fdds::SampleInfo info;
    if (reader_->take_next_sample(&data, &info) != ReturnCode::RETCODE_OK) break;
    removed++;
    if (!info.valid_data) continue;
    sample.taken_by = this;
    sample.identity = FromFastDds(info.sample_identity);
    sample.related = FromFastDds(info.related_sample_identity);
    // The layer never hears its own writers, as on Cyclone.
    if (sample.identity.guid.SameParticipant(own)) continue;
    if (!AdmitReply(&sample)) continue;
    sample.source_timestamp = static_cast<int64_t>(info.source_timestamp.seconds()) * 1000000000 +
                              info.source_timestamp.nanosec();
    dds_SampleInfo lent{};
    lent.valid_data = true;
    lent.source_timestamp = sample.source_timestamp;
    lent.sample_state = 2;    // not read
    lent.view_state = 1;      // new
    lent.instance_state = 1;  // alive
    dds_SampleOrigin origin;
    origin.delivery = &delivery_;
    origin.fast = &sample;
    out.Add(sample.bytes.data(), static_cast<uint32_t>(sample.bytes.size()), lent, origin);
    next++;
  }
  // Its samples never counted in the backlog (entities.cc).
  delivery_.Taken(removed, 0, next == out.limit);
}

dds_ReturnCode_t FastDdsWriter::Write(const void* buffer, uint32_t size,
                                      const dds_SampleInfo* info) {
  const FastDdsSample* origin =
      info != nullptr && info->origin != nullptr ? info->origin->fast : nullptr;
  RawData data;
  data.out = static_cast<const uint8_t*>(buffer);
  data.out_size = size;
  rtps::WriteParams params;
  params.source_timestamp(FastDdsTime(info != nullptr ? info->source_timestamp : NowNanoseconds()));
  const auto publish = [this, &data, &params]() -> std::optional<int64_t> {
    if (!writer_->write(&data, params)) return std::nullopt;
    return FromFastDds(params.sample_identity()).sequence();
  };

  if (origin != nullptr && origin->translated) {
    if (!ClientReady(origin->reply_to)) return dds_RETCODE_ERROR;
    params.related_sample_identity(ToFastDds(origin->reply_to));
  } else if (origin != nullptr && ledger_ && origin->identity.guid.known() &&
             !origin->identity.guid.FromCycloneDds()) {
    // The server answers the layer's reply reader, which it then waits for
    // (once it is paired, right after the writer's creation); the client is
    // named again on the way back.
    SampleIdentity related;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      related.guid = reply_reader_;
    }
    if (related.guid.known()) params.related_sample_identity(ToFastDds(related));
    SampleIdentity client = origin->identity;
    if (origin->related.guid.known()) client.guid = origin->related.guid;
    bool written = false;
    ledger_->PublishAndRecord(
        [&publish, &written] {
          std::optional<int64_t> sequence = publish();
          written = sequence.has_value();
          return sequence;
        },
        client, RequestLedger::Source{origin->taken_by->writers(), origin->identity.guid});
    return written ? dds_RETCODE_OK : dds_RETCODE_ERROR;
  }
  // Anything else goes as it came; a request whose reply pairs through its
  // payload (ROS 2 on Cyclone DDS) needs no entry.
  return publish() ? dds_RETCODE_OK : dds_RETCODE_ERROR;
}

bool FastDdsWriter::ClientReady(const SampleIdentity& client) {
  // A client named by its request writer is answered at once, as Fast DDS
  // servers do.
  if (!client.guid.IsReader() ||
      readers_.AwaitMatch(client.guid, std::chrono::steady_clock::now() + kClientWait)) {
    return true;
  }
  logger_log(LOGGER_WARNING,
             "%s: dropped a reply, its client's reader did not match within %lld ms",
             topic_.topic()->get_name().c_str(),
             static_cast<long long>(std::chrono::milliseconds(kClientWait).count()));
  return false;
}

}  // namespace corvane_dds
