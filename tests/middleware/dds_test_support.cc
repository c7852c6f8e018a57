// Layer domains, typed peers and take helpers of the middleware tests.

#include "dds_test_support.h"

#include "middleware/cyclone/entities.h"
#include "middleware/dds_entities_internal.h"

namespace corvane_test {

LayerDomain::LayerDomain(dds_DomainId_t domain_id) {
  participant_ = dds_DomainParticipantFactory_create_participant(
      dds_DomainParticipantFactory_get_instance(), domain_id, &dds_PARTICIPANT_QOS_DEFAULT, nullptr,
      0);
  if (participant_ == nullptr) return;
  publisher_ =
      dds_DomainParticipant_create_publisher(participant_, &dds_PUBLISHER_QOS_DEFAULT, nullptr, 0);
  subscriber_ = dds_DomainParticipant_create_subscriber(participant_, &dds_SUBSCRIBER_QOS_DEFAULT,
                                                        nullptr, 0);
}

LayerDomain::~LayerDomain() {
  if (participant_ == nullptr) return;
  dds_DomainParticipant_delete_contained_entities(participant_);
  dds_DomainParticipantFactory_delete_participant(dds_DomainParticipantFactory_get_instance(),
                                                  participant_);
}

dds_Topic* LayerDomain::Topic(const std::string& topic_name, const std::string& type_name) {
  dds_TypeSupport* support = dds_TypeSupport_raw_create();
  dds_TypeSupport_register_type(support, participant_, type_name.c_str());
  dds_TypeSupport_delete(support);
  return dds_DomainParticipant_create_topic(participant_, topic_name.c_str(), type_name.c_str(),
                                            &dds_TOPIC_QOS_DEFAULT, nullptr, 0);
}

dds_DataReader* LayerDomain::Reader(dds_Topic* topic, bool reliable) {
  dds_DataReaderQos qos{};
  dds_DataReaderQos_copy(&qos, &dds_DATAREADER_QOS_DEFAULT);
  qos.reliability.kind = reliable ? dds_RELIABLE_RELIABILITY_QOS : dds_BEST_EFFORT_RELIABILITY_QOS;
  return dds_Subscriber_create_datareader(subscriber_, topic, &qos, nullptr, 0);
}

dds_DataWriter* LayerDomain::Writer(dds_Topic* topic, bool reliable) {
  dds_DataWriterQos qos{};
  dds_DataWriterQos_copy(&qos, &dds_DATAWRITER_QOS_DEFAULT);
  qos.reliability.kind = reliable ? dds_RELIABLE_RELIABILITY_QOS : dds_BEST_EFFORT_RELIABILITY_QOS;
  return dds_Publisher_create_datawriter(publisher_, topic, &qos, nullptr, 0);
}

TakeSequences::TakeSequences()
    : data(dds_DataSeq_create(8)),
      infos(dds_SampleInfoSeq_create(8)),
      sizes(dds_UnsignedLongSeq_create(8)) {}

TakeSequences::~TakeSequences() {
  dds_SampleInfoSeq_delete(infos);
  dds_DataSeq_delete(data);
  dds_UnsignedLongSeq_delete(sizes);
}

namespace {

template <typename Visit>
std::vector<TakenSample> TakeAndVisit(dds_DataReader* reader, int32_t max_samples,
                                      dds_ReturnCode_t* rc, Visit visit) {
  TakeSequences seqs;
  const dds_ReturnCode_t result = dds_DataReader_raw_take_w_sampleinfoex(
      reader, 0, seqs.data, seqs.infos, seqs.sizes, max_samples, dds_ANY_SAMPLE_STATE,
      dds_ANY_VIEW_STATE, dds_ANY_INSTANCE_STATE);
  if (rc != nullptr) *rc = result;
  std::vector<TakenSample> taken;
  if (result != dds_RETCODE_OK) return taken;
  for (uint32_t i = 0; i < dds_DataSeq_length(seqs.data); i++) {
    const auto* bytes = static_cast<const uint8_t*>(dds_DataSeq_get(seqs.data, i));
    const uint32_t size = dds_UnsignedLongSeq_get(seqs.sizes, i);
    const dds_SampleInfo* info = dds_SampleInfoSeq_get(seqs.infos, i);
    visit(bytes, size, info);
    const bool keyed = info->origin != nullptr && info->origin->cyclone != nullptr &&
                       info->origin->cyclone->kind == corvane_dds::kKeyed;
    taken.push_back({std::vector<uint8_t>(bytes, bytes + size), *info, keyed});
    taken.back().info.origin = nullptr;  // dangles once the loan is back
  }
  dds_DataReader_raw_return_loan(reader, seqs.data, seqs.infos, seqs.sizes);
  return taken;
}

}  // namespace

std::vector<TakenSample> TakeCopies(dds_DataReader* reader, int32_t max_samples,
                                    dds_ReturnCode_t* rc) {
  return TakeAndVisit(reader, max_samples, rc,
                      [](const uint8_t*, uint32_t, const dds_SampleInfo*) {});
}

std::vector<TakenSample> ForwardOnce(dds_DataReader* reader, dds_DataWriter* writer,
                                     int32_t max_samples) {
  return TakeAndVisit(reader, max_samples, nullptr,
                      [writer](const uint8_t* bytes, uint32_t size, const dds_SampleInfo* info) {
                        if (info->valid_data) {
                          dds_DataWriter_raw_write_w_sampleinfoex(writer, bytes, size, info);
                        }
                      });
}

TypedPeer::TypedPeer(dds_domainid_t domain_id, const dds_topic_descriptor_t* type,
                     const char* topic_name)
    : participant_(corvane_test::CreatePeerParticipant(domain_id)) {
  if (participant_.get() > 0) {
    topic_ = dds_create_topic(participant_.get(), type, topic_name, nullptr, nullptr);
  }
}

namespace {

dds_qos_t* PeerQos(bool reliable, bool transient_local) {
  dds_qos_t* qos = dds_create_qos();
  dds_qset_reliability(qos, reliable ? DDS_RELIABILITY_RELIABLE : DDS_RELIABILITY_BEST_EFFORT,
                       DDS_SECS(1));
  dds_qset_history(qos, DDS_HISTORY_KEEP_ALL, 0);
  dds_qset_durability(qos,
                      transient_local ? DDS_DURABILITY_TRANSIENT_LOCAL : DDS_DURABILITY_VOLATILE);
  return qos;
}

}  // namespace

dds_entity_t TypedPeer::Writer(bool reliable, bool transient_local, bool autodispose) {
  dds_qos_t* qos = PeerQos(reliable, transient_local);
  dds_qset_writer_data_lifecycle(qos, autodispose);
  const dds_entity_t writer = dds_create_writer(participant_.get(), topic_, qos, nullptr);
  dds_delete_qos(qos);
  return writer;
}

dds_entity_t TypedPeer::Reader(bool reliable, bool transient_local) {
  dds_qos_t* qos = PeerQos(reliable, transient_local);
  const dds_entity_t reader = dds_create_reader(participant_.get(), topic_, qos, nullptr);
  dds_delete_qos(qos);
  return reader;
}

dds_entity_t CycloneEntity(const dds_DataWriter* writer, int kind) {
  return dynamic_cast<const corvane_dds::CycloneWriter&>(*writer->engine).entity(kind);
}

dds_entity_t CycloneEntity(const dds_DataReader* reader, int kind) {
  return dynamic_cast<const corvane_dds::CycloneReader&>(*reader->engine).entity(kind);
}

int32_t PublicationsMatched(const dds_DataWriter* writer) {
  int32_t matched = 0;
  for (int kind = 0; kind < corvane_dds::kKinds; kind++) {
    const dds_entity_t entity = CycloneEntity(writer, kind);
    dds_instance_handle_t handles[64];
    const int32_t count = dds_get_matched_subscriptions(entity, handles, 64);
    for (int32_t i = 0; i < count && i < 64; i++) {
      dds_builtintopic_endpoint_t* reader = dds_get_matched_subscription_data(entity, handles[i]);
      if (reader == nullptr) continue;
      dds_durability_kind_t durability = DDS_DURABILITY_VOLATILE;
      dds_qget_durability(reader->qos, &durability);
      if (durability == DDS_DURABILITY_VOLATILE) matched++;
      dds_builtintopic_free_endpoint(reader);
    }
  }
  return matched;
}

int32_t SubscriptionsMatched(const dds_DataReader* reader) {
  int32_t matched = 0;
  for (int kind = 0; kind < corvane_dds::kKinds; kind++) {
    matched += SubscriptionsMatched(CycloneEntity(reader, kind));
  }
  return matched;
}

dds_topic_descriptor_t Renamed(const dds_topic_descriptor_t& type, const char* type_name) {
  dds_topic_descriptor_t renamed = type;
  renamed.m_typename = type_name;
  return renamed;
}

std::vector<uint8_t> Payload(size_t size, uint32_t seed) {
  std::vector<uint8_t> payload(size);
  for (size_t i = 0; i < size; i++) payload[i] = static_cast<uint8_t>(seed * 31 + i * 7);
  return payload;
}

}  // namespace corvane_test
