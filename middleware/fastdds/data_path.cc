// The raw take and write on Fast DDS, and the translation of sample
// identities between a relayed request and its reply.

#include <fastdds/rtps/common/WriteParams.h>

#include <algorithm>
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

// How long a reply waits for its client's reader to match (ClientReady), and
// a request for a server to match (ServersReadHeader).
constexpr std::chrono::seconds kClientWait{1};
constexpr std::chrono::seconds kServerWait{1};

// The request header of ROS 2 on Cyclone DDS: {uint64 client, int64
// sequence} right after the encapsulation, in the payload's byte order.
constexpr size_t kEncapsulationSize = 4;
constexpr size_t kBodyOffset = kEncapsulationSize + 16;

bool LittleEndian(const std::vector<uint8_t>& bytes) {
  return (bytes[1] & 1) != 0;
}

uint64_t Read64(const uint8_t* at, bool little_endian) {
  uint64_t value = 0;
  for (int i = 0; i < 8; i++) value |= uint64_t{at[little_endian ? i : 7 - i]} << (8 * i);
  return value;
}

void Write64(uint8_t* at, uint64_t value, bool little_endian) {
  for (int i = 0; i < 8; i++)
    at[little_endian ? i : 7 - i] = static_cast<uint8_t>(value >> (8 * i));
}

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

// Replies that name nothing pass unchanged, unless they carry a header the
// relay wrote (their server pairs through the payload); replies to someone
// else's request are not ours to forward.
bool FastDdsReader::AdmitReply(FastDdsSample* sample) {
  sample->translated = false;
  if (topic_.kind() != dds_REPLY_TOPIC) return true;
  Route route;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    route = route_;
  }
  std::vector<uint8_t>& bytes = sample->bytes;
  std::optional<ReplyTarget> client;
  int64_t request = 0;
  if (sample->related.guid.known()) {
    if (!route.ledger) return false;
    if (sample->related.guid != FromFastDds(reader_->guid()) &&
        sample->related.guid != route.writer)
      return false;
    request = sample->related.sequence();
    client = route.ledger->Claim(request);
  } else {
    const uint64_t id = bytes.size() < kBodyOffset
                            ? 0
                            : Read64(bytes.data() + kEncapsulationSize, LittleEndian(bytes));
    // A header of another request writer of the relay's is that writer's.
    if (!route.header_ledger || id != route.header_id) {
      return !topic_.participant().IsHeaderId(id);
    }
    request =
        static_cast<int64_t>(Read64(bytes.data() + kEncapsulationSize + 8, LittleEndian(bytes)));
    client = route.header_ledger->Claim(request);
    if (client) bytes.erase(bytes.begin() + kEncapsulationSize, bytes.begin() + kBodyOffset);
  }
  if (!client) {
    logger_log(LOGGER_DEBUG,
               "%s: dropped a reply to request %lld, which is unknown or answered already",
               topic_.topic()->get_name().c_str(), static_cast<long long>(request));
    return false;
  }
  if (client->has_header) {
    if (client->header_little_endian != LittleEndian(bytes)) {
      std::reverse(client->header.begin(), client->header.begin() + 8);
      std::reverse(client->header.begin() + 8, client->header.end());
    }
    bytes.insert(bytes.begin() + kEncapsulationSize, client->header.begin(), client->header.end());
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

std::optional<int64_t> FastDdsWriter::Publish(const uint8_t* bytes, uint32_t size,
                                              rtps::WriteParams& params) {
  RawData data;
  data.out = bytes;
  data.out_size = size;
  if (!writer_->write(&data, params)) return std::nullopt;
  return FromFastDds(params.sample_identity()).sequence();
}

dds_ReturnCode_t FastDdsWriter::Write(const void* buffer, uint32_t size,
                                      const dds_SampleInfo* info) {
  const FastDdsSample* origin =
      info != nullptr && info->origin != nullptr ? info->origin->fast : nullptr;
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  rtps::WriteParams params;
  params.source_timestamp(FastDdsTime(info != nullptr ? info->source_timestamp : NowNanoseconds()));
  if (origin != nullptr && origin->translated) {
    const ReplyTarget& client = origin->reply_to;
    if (!client.has_header) {
      if (!ClientReady(client.identity)) return dds_RETCODE_ERROR;
      params.related_sample_identity(ToFastDds(client.identity));
    }
  } else if (origin != nullptr && ledger_ && origin->identity.guid.known()) {
    return WriteRequest(*origin, bytes, size, params);
  }
  return Publish(bytes, size, params) ? dds_RETCODE_OK : dds_RETCODE_ERROR;
}

dds_ReturnCode_t FastDdsWriter::WriteRequest(const FastDdsSample& origin, const uint8_t* bytes,
                                             uint32_t size, rtps::WriteParams& params) {
  const bool client_header = origin.identity.guid.FromCycloneDds();
  const std::optional<bool> server_header = ServersReadHeader();
  // With no server yet nobody can misread it; between servers and clients
  // of one style, it goes as it came (a header-style reply needs no entry).
  const bool translate = server_header && *server_header != client_header;
  if ((!translate && client_header) || !server_header || (client_header && size < kBodyOffset)) {
    return Publish(bytes, size, params) ? dds_RETCODE_OK : dds_RETCODE_ERROR;
  }
  ReplyTarget client;
  client.identity = origin.identity;
  // A Fast DDS client names its reply reader, which the reply must name.
  if (origin.related.guid.known()) client.identity.guid = origin.related.guid;
  const RequestLedger::Source source{origin.taken_by->writers(), origin.identity.guid};
  std::vector<uint8_t> shaped;
  bool written = false;
  const auto publish = [&]() -> std::optional<int64_t> {
    std::optional<int64_t> sequence = Publish(shaped.empty() ? bytes : shaped.data(),
                                              shaped.empty() ? size : shaped.size(), params);
    written = sequence.has_value();
    return sequence;
  };
  if (translate && !client_header) {
    // Towards a header-style server: a header of the relay's own, which its
    // reply echoes.
    const int64_t number = ++header_sequence_;
    const bool little = (bytes[1] & 1) != 0;
    shaped.assign(bytes, bytes + kEncapsulationSize);
    shaped.resize(kBodyOffset);
    Write64(shaped.data() + kEncapsulationSize, header_id_, little);
    Write64(shaped.data() + kEncapsulationSize + 8, static_cast<uint64_t>(number), little);
    shaped.insert(shaped.end(), bytes + kEncapsulationSize, bytes + size);
    header_ledger_->PublishAndRecord(
        [&]() -> std::optional<int64_t> {
          return publish() ? std::optional<int64_t>(number) : std::nullopt;
        },
        client, source);
    return written ? dds_RETCODE_OK : dds_RETCODE_ERROR;
  }
  if (translate) {
    // From a header-style client: its header waits in the ledger.
    client.has_header = true;
    client.header_little_endian = (bytes[1] & 1) != 0;
    std::copy(bytes + kEncapsulationSize, bytes + kBodyOffset, client.header.begin());
    shaped.assign(bytes, bytes + kEncapsulationSize);
    shaped.insert(shaped.end(), bytes + kBodyOffset, bytes + size);
  }
  // The server answers the layer's reply reader, which it then waits for
  // (once it is paired, right after the writer's creation); the client is
  // named again on the way back.
  SampleIdentity related;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    related.guid = reply_reader_;
  }
  if (related.guid.known()) params.related_sample_identity(ToFastDds(related));
  ledger_->PublishAndRecord(publish, client, source);
  return written ? dds_RETCODE_OK : dds_RETCODE_ERROR;
}

std::optional<bool> FastDdsWriter::ServersReadHeader() {
  const Guid own = topic_.participant().guid();
  std::vector<Guid> servers = readers_.AwaitAny(std::chrono::steady_clock::now() + kServerWait);
  servers.erase(std::remove_if(servers.begin(), servers.end(),
                               [&](const Guid& server) { return server.SameParticipant(own); }),
                servers.end());
  if (servers.empty()) return std::nullopt;
  const bool header = servers.front().FromCycloneDds();
  const bool mixed = std::any_of(servers.begin(), servers.end(), [&](const Guid& server) {
    return server.FromCycloneDds() != header;
  });
  if (mixed && !warned_mixed_.exchange(true)) {
    logger_log(LOGGER_WARNING,
               "%s: servers that pair replies through sample identities and servers that pair "
               "them through the request header both take these requests; they are written "
               "for the first one matched, which pairs through %s",
               topic_.topic()->get_name().c_str(), header ? "the header" : "identities");
  }
  return header;
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
