#include "relay_core_peers.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

namespace relay_core_test {

Watchdog::Watchdog(std::string what, std::chrono::milliseconds limit)
    : thread_([this, what = std::move(what), limit] {
        std::unique_lock<std::mutex> lock(mutex_);
        if (disarmed_cv_.wait_for(lock, limit, [this] { return disarmed_; })) return;
        std::fprintf(stderr, "HANG: %s did not finish within %lld ms\n", what.c_str(),
                     static_cast<long long>(limit.count()));
        std::fflush(stderr);
        std::_Exit(EXIT_FAILURE);
      }) {}

Watchdog::~Watchdog() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    disarmed_ = true;
  }
  disarmed_cv_.notify_one();
  thread_.join();
}

bool Reading::operator==(const Reading& other) const {
  // Bitwise, so that -0.0 and 0.0 differ as their bytes do.
  return sensor == other.sensor && seq == other.seq &&
         std::memcmp(&value, &other.value, sizeof value) == 0 && label == other.label &&
         payload == other.payload;
}

TypedPeer::TypedPeer(dds_domainid_t domain_id)
    : participant_(corvane_test::CreatePeerParticipant(domain_id)) {}

dds_entity_t TypedPeer::Topic(bool keyed, const std::string& topic_name) {
  const dds_topic_descriptor_t* type =
      keyed ? &relay_core_KeyedReading_desc : &relay_core_PlainReading_desc;
  return dds_create_topic(participant_.get(), type, topic_name.c_str(), nullptr, nullptr);
}

namespace {

struct QosDeleter {
  void operator()(dds_qos_t* qos) const { dds_delete_qos(qos); }
};

std::unique_ptr<dds_qos_t, QosDeleter> ReliableKeepAll() {
  std::unique_ptr<dds_qos_t, QosDeleter> qos(dds_create_qos());
  dds_qset_reliability(qos.get(), DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
  dds_qset_history(qos.get(), DDS_HISTORY_KEEP_ALL, 0);
  return qos;
}

}  // namespace

dds_entity_t TypedPeer::Writer(dds_entity_t topic, bool autodispose) {
  const auto qos = ReliableKeepAll();
  dds_qset_writer_data_lifecycle(qos.get(), autodispose);
  return dds_create_writer(participant_.get(), topic, qos.get(), nullptr);
}

dds_entity_t TypedPeer::Reader(dds_entity_t topic, const dds_listener_t* listener) {
  return dds_create_reader(participant_.get(), topic, ReliableKeepAll().get(), listener);
}

namespace {

// The generated struct of either type, borrowing the reading's buffers.
template <typename Sample>
Sample View(const Reading& reading) {
  Sample sample{};
  sample.sensor = reading.sensor;
  sample.seq = reading.seq;
  sample.value = reading.value;
  sample.label = const_cast<char*>(reading.label.c_str());
  sample.payload._buffer = const_cast<uint8_t*>(reading.payload.data());
  sample.payload._length = static_cast<uint32_t>(reading.payload.size());
  sample.payload._maximum = sample.payload._length;
  sample.payload._release = false;
  return sample;
}

template <typename Sample>
Reading Copy(const Sample& sample) {
  Reading reading;
  reading.sensor = sample.sensor;
  reading.seq = sample.seq;
  reading.value = sample.value;
  if (sample.label != nullptr) reading.label = sample.label;
  reading.payload.assign(sample.payload._buffer, sample.payload._buffer + sample.payload._length);
  return reading;
}

template <typename Op>
dds_return_t Apply(bool keyed, const Reading& reading, Op op) {
  if (keyed) {
    const relay_core_KeyedReading sample = View<relay_core_KeyedReading>(reading);
    return op(&sample);
  }
  const relay_core_PlainReading sample = View<relay_core_PlainReading>(reading);
  return op(&sample);
}

}  // namespace

dds_return_t WriteReading(dds_entity_t writer, bool keyed, const Reading& reading,
                          dds_time_t source_timestamp) {
  return Apply(keyed, reading,
               [&](const void* sample) { return dds_write_ts(writer, sample, source_timestamp); });
}

dds_return_t DisposeReading(dds_entity_t writer, bool keyed, const Reading& reading) {
  return Apply(keyed, reading, [&](const void* sample) { return dds_dispose(writer, sample); });
}

dds_return_t UnregisterReading(dds_entity_t writer, bool keyed, const Reading& reading) {
  return Apply(keyed, reading,
               [&](const void* sample) { return dds_unregister_instance(writer, sample); });
}

bool RunSourceStep(dds_entity_t writer, bool keyed, const std::vector<Reading>& readings,
                   const std::string& step) {
  if (step.size() < 2) return false;
  const size_t n = std::stoul(step.substr(1));
  if (step[0] == 'p') {
    std::this_thread::sleep_for(std::chrono::milliseconds(n));
    return true;
  }
  if (n >= readings.size()) return false;
  switch (step[0]) {
    case 'w':
      return WriteReading(writer, keyed, readings[n], SourceTimestamp(n)) == DDS_RETCODE_OK;
    case 'd':
      return DisposeReading(writer, keyed, readings[n]) == DDS_RETCODE_OK;
    case 'u':
      return UnregisterReading(writer, keyed, readings[n]) == DDS_RETCODE_OK;
    default:
      return false;
  }
}

std::vector<Received> ReceiveAll(dds_entity_t reader, bool keyed, bool take) {
  constexpr int kBatch = 256;
  std::vector<Received> all;
  for (;;) {
    void* samples[kBatch] = {};
    dds_sample_info_t infos[kBatch];
    const int count = take ? dds_take(reader, samples, infos, kBatch, kBatch)
                           : dds_read(reader, samples, infos, kBatch, kBatch);
    for (int i = 0; i < count; i++) {
      Received received;
      received.reading = keyed ? Copy(*static_cast<const relay_core_KeyedReading*>(samples[i]))
                               : Copy(*static_cast<const relay_core_PlainReading*>(samples[i]));
      received.source_timestamp = infos[i].source_timestamp;
      received.valid_data = infos[i].valid_data;
      received.instance_state = infos[i].instance_state;
      all.push_back(std::move(received));
    }
    if (count > 0) dds_return_loan(reader, samples, count);
    // A read sees the same samples again: one call holds them all.
    if (count < kBatch || !take) return all;
  }
}

std::vector<uint8_t> Payload(size_t size, uint32_t seed) {
  std::vector<uint8_t> payload(size);
  for (size_t i = 0; i < size; i++) payload[i] = static_cast<uint8_t>(seed * 131 + i * 7 + 1);
  return payload;
}

std::vector<Reading> MakeReadings(const std::vector<int32_t>& sensors, int rounds) {
  const double values[] = {0.0, -0.0, 1e300, -4.9e-324, 3.25};
  const std::string labels[] = {"", "a", "na\xC3\xAFve \xE2\x9C\x93", std::string(301, 'x')};
  const size_t sizes[] = {0, 1, 3, 4, 255, 4097, 70001};
  std::vector<Reading> readings;
  for (int round = 0; round < rounds; round++) {
    for (const int32_t sensor : sensors) {
      const size_t n = readings.size();
      Reading reading;
      reading.sensor = sensor;
      reading.seq = round;
      reading.value = values[n % 5];
      reading.label = labels[n % 4];
      reading.payload = Payload(sizes[n % 7], static_cast<uint32_t>(n));
      readings.push_back(std::move(reading));
    }
  }
  return readings;
}

// --- path primer -----------------------------------------------------------------

bool PrimePath(dds_domainid_t src_domain, const std::string& topic_name, bool keyed,
               dds_entity_t sink_reader, int copies) {
  TypedPeer peer(src_domain);
  const dds_entity_t writer = peer.Writer(peer.Topic(keyed, topic_name), false);
  if (writer <= 0) return false;
  Reading primer;
  primer.sensor = -77;
  primer.label = "primer";
  const dds_time_t first = SourceTimestamp(0) - DDS_SECS(1000);
  return WaitFor(
      [&] {
        WriteReading(writer, keyed, primer, first + primer.seq);
        primer.seq++;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::map<int32_t, int> seen;
        for (const Received& r : ReceiveAll(sink_reader, keyed, false)) {
          if (IsPrimer(r.source_timestamp) && ++seen[r.reading.seq] >= copies) return true;
        }
        return false;
      },
      std::chrono::seconds(20));
}

// --- raw probe --------------------------------------------------------------------

RawProbe::RawProbe(std::shared_ptr<DdsDomain> domain, const std::string& topic_name,
                   const std::string& type_name)
    : domain_(std::move(domain)),
      data_seq_(dds_DataSeq_create(8)),
      info_seq_(dds_SampleInfoSeq_create(8)),
      size_seq_(dds_UnsignedLongSeq_create(8)) {
  if (domain_ == nullptr) return;
  dds_DataReaderQos qos;
  std::memset(&qos, 0, sizeof qos);
  dds_DataReaderQos_copy(&qos, &dds_DATAREADER_QOS_DEFAULT);
  qos.reliability.kind = dds_RELIABLE_RELIABILITY_QOS;
  reader_ = dds_Subscriber_create_datareader(
      domain_->subscriber(), domain_->GetRawTopic(topic_name, type_name), &qos, nullptr, 0);
}

RawProbe::~RawProbe() {
  if (reader_ != nullptr) dds_Subscriber_delete_datareader(domain_->subscriber(), reader_);
  dds_SampleInfoSeq_delete(info_seq_);
  dds_DataSeq_delete(data_seq_);
  dds_UnsignedLongSeq_delete(size_seq_);
}

std::vector<RawSample> RawProbe::TakeAll() {
  std::vector<RawSample> all;
  while (dds_DataReader_raw_take_w_sampleinfoex(reader_, 0, data_seq_, info_seq_, size_seq_, 8,
                                                dds_ANY_SAMPLE_STATE, dds_ANY_VIEW_STATE,
                                                dds_ANY_INSTANCE_STATE) == dds_RETCODE_OK) {
    for (uint32_t i = 0; i < dds_DataSeq_length(data_seq_); i++) {
      const auto* bytes = static_cast<const uint8_t*>(dds_DataSeq_get(data_seq_, i));
      const dds_SampleInfo* info = dds_SampleInfoSeq_get(info_seq_, i);
      RawSample sample;
      sample.bytes.assign(bytes, bytes + dds_UnsignedLongSeq_get(size_seq_, i));
      sample.valid_data = info->valid_data;
      sample.source_timestamp = info->source_timestamp;
      all.push_back(std::move(sample));
    }
    dds_DataReader_raw_return_loan(reader_, data_seq_, info_seq_, size_seq_);
  }
  return all;
}

// --- discovery observer -------------------------------------------------------------

DiscoveryObserver::DiscoveryObserver(dds_domainid_t domain_id)
    : participant_(corvane_test::CreatePeerParticipant(domain_id)) {
  if (participant_.get() <= 0) return;
  participants_ =
      dds_create_reader(participant_.get(), DDS_BUILTIN_TOPIC_DCPSPARTICIPANT, nullptr, nullptr);
  publications_ =
      dds_create_reader(participant_.get(), DDS_BUILTIN_TOPIC_DCPSPUBLICATION, nullptr, nullptr);
  subscriptions_ =
      dds_create_reader(participant_.get(), DDS_BUILTIN_TOPIC_DCPSSUBSCRIPTION, nullptr, nullptr);
}

namespace {

constexpr uint32_t kAliveMask =
    DDS_ANY_SAMPLE_STATE | DDS_ANY_VIEW_STATE | DDS_ALIVE_INSTANCE_STATE;
constexpr int kMaxDiscovered = 256;

}  // namespace

int DiscoveryObserver::AliveParticipants() const {
  dds_guid_t own;
  if (dds_get_guid(participant_.get(), &own) < 0) return -1;
  void* samples[kMaxDiscovered] = {};
  dds_sample_info_t infos[kMaxDiscovered];
  const int count =
      dds_read_mask(participants_, samples, infos, kMaxDiscovered, kMaxDiscovered, kAliveMask);
  int others = 0;
  for (int i = 0; i < count; i++) {
    const auto* participant = static_cast<const dds_builtintopic_participant_t*>(samples[i]);
    if (infos[i].valid_data && std::memcmp(&participant->key, &own, sizeof own) != 0) others++;
  }
  if (count > 0) dds_return_loan(participants_, samples, count);
  return count < 0 ? -1 : others;
}

std::vector<EndpointQos> DiscoveryObserver::Writers(const std::string& topic_name) const {
  return Endpoints(publications_, topic_name);
}

std::vector<EndpointQos> DiscoveryObserver::Readers(const std::string& topic_name) const {
  return Endpoints(subscriptions_, topic_name);
}

std::vector<EndpointQos> DiscoveryObserver::Endpoints(dds_entity_t reader,
                                                      const std::string& topic_name) const {
  void* samples[kMaxDiscovered] = {};
  dds_sample_info_t infos[kMaxDiscovered];
  const int count =
      dds_read_mask(reader, samples, infos, kMaxDiscovered, kMaxDiscovered, kAliveMask);
  std::vector<EndpointQos> found;
  for (int i = 0; i < count; i++) {
    const auto* endpoint = static_cast<const dds_builtintopic_endpoint_t*>(samples[i]);
    if (!infos[i].valid_data || topic_name != endpoint->topic_name) continue;
    EndpointQos qos;
    qos.type_name = endpoint->type_name;
    dds_duration_t max_blocking_time;
    int32_t depth;
    dds_qget_reliability(endpoint->qos, &qos.reliability, &max_blocking_time);
    dds_qget_durability(endpoint->qos, &qos.durability);
    dds_qget_history(endpoint->qos, &qos.history, &depth);
    found.push_back(qos);
  }
  if (count > 0) dds_return_loan(reader, samples, count);
  return found;
}

}  // namespace relay_core_test
