// The raw take and write on Fast DDS, and the translation of sample
// identities between a relayed request and its reply.

#include <fastdds/rtps/common/WriteParams.h>

#include <chrono>
#include <fastdds/dds/subscriber/SampleInfo.hpp>

#include "middleware/dds_fastdds_entities_internal.h"
#include "middleware/dds_fastdds_raw_type_internal.h"
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

// Whether a reply taken by `reader` goes on, and what it must name then.
// Replies that name nothing pass unchanged (their server pairs through the
// payload); replies to someone else's request are not ours to forward.
bool AdmitReply(const FastDdsReader& reader, FastDdsSample* sample) {
  sample->translated = false;
  if (!reader.forwards_replies() || !sample->related.guid.known()) return true;
  const ReplyRoute route = reader.topic()->participant()->RouteOf(reader);
  if (!route.ledger) return false;
  if (sample->related.guid != reader.guid() && sample->related.guid != route.writer) return false;
  const std::optional<SampleIdentity> client = route.ledger->Claim(sample->related.sequence());
  if (!client) {
    logger* log = logger_global();
    if (log->level <= LOGGER_DEBUG) {
      logger_write(log, LOGGER_DEBUG, 0, 0, 0,
                   "%s: dropped a reply to request %lld, which is unknown or answered already",
                   reader.topic_name().c_str(), static_cast<long long>(sample->related.sequence()));
    }
    return false;
  }
  sample->translated = true;
  sample->reply_to = *client;
  return true;
}

}  // namespace

FastDdsTaken FastDdsTake(FastDdsReader* reader, uint32_t limit, std::vector<FastDdsSample>* samples,
                         std::vector<const FastDdsSample*>* kept) {
  if (samples->size() < limit) samples->resize(limit);
  const Guid own = reader->topic()->participant()->guid();
  FastDdsTaken taken;
  uint32_t next = 0;
  while (next < limit) {
    FastDdsSample& sample = (*samples)[next];
    RawData data;
    data.in = &sample.bytes;
    fdds::SampleInfo info;
    if (reader->reader()->take_next_sample(&data, &info) != ReturnCode::RETCODE_OK) break;
    taken.removed++;
    if (!info.valid_data) continue;
    sample.identity = FromFastDds(info.sample_identity);
    sample.related = FromFastDds(info.related_sample_identity);
    // The layer never hears its own writers, as on Cyclone.
    if (sample.identity.guid.SameParticipant(own)) continue;
    if (!AdmitReply(*reader, &sample)) continue;
    sample.source_timestamp = static_cast<int64_t>(info.source_timestamp.seconds()) * 1000000000 +
                              info.source_timestamp.nanosec();
    taken.bytes += sample.bytes.size();
    kept->push_back(&sample);
    next++;
  }
  return taken;
}

dds_ReturnCode_t FastDdsWrite(FastDdsWriter* writer, const void* buffer, uint32_t size,
                              int64_t source_timestamp, const FastDdsSample* origin) {
  RawData data;
  data.out = static_cast<const uint8_t*>(buffer);
  data.out_size = size;
  rtps::WriteParams params;
  params.source_timestamp(FastDdsTime(source_timestamp));
  const auto publish = [writer, &data, &params]() -> std::optional<int64_t> {
    if (!writer->writer()->write(&data, params)) return std::nullopt;
    return FromFastDds(params.sample_identity()).sequence();
  };

  if (origin != nullptr && origin->translated) {
    params.related_sample_identity(ToFastDds(origin->reply_to));
  } else if (origin != nullptr && writer->ledger() && origin->identity.guid.known()) {
    const Guid reply_reader = writer->topic()->participant()->BindReplyReader(*writer);
    if (reply_reader.known()) {
      // The server answers the layer's reply reader, which it then waits
      // for; the client is named again on the way back.
      SampleIdentity related;
      related.guid = reply_reader;
      params.related_sample_identity(ToFastDds(related));
      SampleIdentity client = origin->identity;
      if (origin->related.guid.known()) client.guid = origin->related.guid;
      bool written = false;
      writer->ledger()->PublishAndRecord(
          [&publish, &written] {
            std::optional<int64_t> sequence = publish();
            written = sequence.has_value();
            return sequence;
          },
          client);
      return written ? dds_RETCODE_OK : dds_RETCODE_ERROR;
    }
  }
  return publish() ? dds_RETCODE_OK : dds_RETCODE_ERROR;
}

}  // namespace corvane_dds
