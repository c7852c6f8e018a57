// The DDS calls of the middleware layer.
#ifndef CORVANE_MIDDLEWARE_DDS_H_
#define CORVANE_MIDDLEWARE_DDS_H_

// The DDS services of the middleware layer: participants with publishers,
// subscribers and topics; readers and writers over a raw type support that
// carries serialized samples of any type name without decoding them; a take
// that lends serialized samples with their sample information and a write that
// publishes such a sample again, in another domain, unchanged.
//
// Entities are plain pointers owned by their parent: a participant owns its
// publishers, subscribers and topics, a publisher its writers, a subscriber
// its readers. They are freed by the matching delete call or by the parent's
// delete_contained_entities. Every call accepts a null entity and then fails
// with dds_RETCODE_BAD_PARAMETER or a null result. Nothing here throws.

#include <cstdint>

typedef int32_t dds_ReturnCode_t;
typedef int32_t dds_DomainId_t;
typedef uint32_t dds_StatusMask;

enum : dds_ReturnCode_t {
  dds_RETCODE_OK = 0,
  dds_RETCODE_ERROR = 1,
  dds_RETCODE_UNSUPPORTED = 2,
  dds_RETCODE_BAD_PARAMETER = 3,
  dds_RETCODE_PRECONDITION_NOT_MET = 4,
  dds_RETCODE_OUT_OF_RESOURCES = 5,
  dds_RETCODE_TIMEOUT = 10,
  dds_RETCODE_NO_DATA = 11,
};

// Status bit of the data reader's data-available status.
constexpr dds_StatusMask dds_DATA_AVAILABLE_STATUS = 0x0400;

// Sample, view and instance state masks of a take.
constexpr uint32_t dds_ANY_SAMPLE_STATE = 0xFFFF;
constexpr uint32_t dds_ANY_VIEW_STATE = 0xFFFF;
constexpr uint32_t dds_ANY_INSTANCE_STATE = 0xFFFF;

// ---------------------------------------------------------------------------
// QoS records. Plain values: fill one from a *_QOS_DEFAULT object with the
// matching _copy, adjust it, pass it to a create call. The layer's defaults
// make a reliable path lossless with bounded memory: readers and writers keep
// all samples, a reliable reader holds its source back while more than 2 MiB
// of its samples wait to be taken (for at most one second without a take,
// then it drops its oldest samples beyond that bound until it takes again), a
// best-effort one drops its oldest beyond 2 MiB at once, and writers offer
// transient-local durability so that they match volatile and transient-local
// subscribers alike. A reader also receives what transient-local publishers
// kept for late joiners, and a writer keeps, per such publisher, what that
// publisher keeps (at most its depth, and 1,000 samples or 16 MiB per writer
// in all) until a few seconds after it left; of other publishers' samples it
// keeps only the last one.

struct dds_Duration_t {
  int32_t sec;
  uint32_t nanosec;
};

enum dds_ReliabilityQosPolicyKind : int32_t {
  dds_BEST_EFFORT_RELIABILITY_QOS = 1,
  dds_RELIABLE_RELIABILITY_QOS = 2,
};

enum dds_HistoryQosPolicyKind : int32_t {
  dds_KEEP_LAST_HISTORY_QOS = 0,
  dds_KEEP_ALL_HISTORY_QOS = 1,
};

enum dds_DurabilityQosPolicyKind : int32_t {
  dds_VOLATILE_DURABILITY_QOS = 0,
  dds_TRANSIENT_LOCAL_DURABILITY_QOS = 1,
};

struct dds_EntityFactoryQosPolicy {
  bool autoenable_created_entities;
};

struct dds_ReliabilityQosPolicy {
  dds_ReliabilityQosPolicyKind kind;
  dds_Duration_t max_blocking_time;
};

struct dds_HistoryQosPolicy {
  dds_HistoryQosPolicyKind kind;
  int32_t depth;
};

struct dds_DurabilityQosPolicy {
  dds_DurabilityQosPolicyKind kind;
};

struct dds_DomainParticipantQos {
  dds_EntityFactoryQosPolicy entity_factory;
};

struct dds_PublisherQos {
  dds_EntityFactoryQosPolicy entity_factory;
};

struct dds_SubscriberQos {
  dds_EntityFactoryQosPolicy entity_factory;
};

// Topics take their QoS from their readers and writers.
struct dds_TopicQos {};

struct dds_DataReaderQos {
  dds_DurabilityQosPolicy durability;
  dds_ReliabilityQosPolicy reliability;
  dds_HistoryQosPolicy history;
};

struct dds_DataWriterQos {
  dds_DurabilityQosPolicy durability;
  dds_ReliabilityQosPolicy reliability;
  dds_HistoryQosPolicy history;
};

extern const dds_DomainParticipantQos dds_PARTICIPANT_QOS_DEFAULT;
extern const dds_PublisherQos dds_PUBLISHER_QOS_DEFAULT;
extern const dds_SubscriberQos dds_SUBSCRIBER_QOS_DEFAULT;
extern const dds_TopicQos dds_TOPIC_QOS_DEFAULT;
extern const dds_DataReaderQos dds_DATAREADER_QOS_DEFAULT;
extern const dds_DataWriterQos dds_DATAWRITER_QOS_DEFAULT;

dds_ReturnCode_t dds_DomainParticipantQos_copy(dds_DomainParticipantQos* dst,
                                               const dds_DomainParticipantQos* src);
dds_ReturnCode_t dds_DomainParticipantQos_finalize(dds_DomainParticipantQos* qos);
dds_ReturnCode_t dds_PublisherQos_copy(dds_PublisherQos* dst, const dds_PublisherQos* src);
dds_ReturnCode_t dds_PublisherQos_finalize(dds_PublisherQos* qos);
dds_ReturnCode_t dds_SubscriberQos_copy(dds_SubscriberQos* dst, const dds_SubscriberQos* src);
dds_ReturnCode_t dds_SubscriberQos_finalize(dds_SubscriberQos* qos);
dds_ReturnCode_t dds_DataReaderQos_copy(dds_DataReaderQos* dst, const dds_DataReaderQos* src);
dds_ReturnCode_t dds_DataWriterQos_copy(dds_DataWriterQos* dst, const dds_DataWriterQos* src);

// ---------------------------------------------------------------------------
// Entities.

struct dds_DomainParticipantFactory;
struct dds_DomainParticipant;
struct dds_Publisher;
struct dds_Subscriber;
struct dds_Topic;
struct dds_DataReader;
struct dds_DataWriter;
struct dds_TypeSupport;

// Listener records of the other entity kinds are not supported: pass null.
struct dds_DomainParticipantListener;
struct dds_PublisherListener;
struct dds_SubscriberListener;
struct dds_TopicListener;
struct dds_DataWriterListener;

// The one factory of the process; never null.
dds_DomainParticipantFactory* dds_DomainParticipantFactory_get_instance();

// Null when the domain id is negative or refused by the DDS implementation.
dds_DomainParticipant* dds_DomainParticipantFactory_create_participant(
    dds_DomainParticipantFactory* factory, dds_DomainId_t domain_id,
    const dds_DomainParticipantQos* qos, const dds_DomainParticipantListener* listener,
    dds_StatusMask mask);
dds_ReturnCode_t dds_DomainParticipantFactory_delete_participant(
    dds_DomainParticipantFactory* factory, dds_DomainParticipant* participant);

// A reader or writer of another participant, as discovery found it in a
// participant's domain. The pointers live during the visit only.
struct dds_DiscoveredEndpoint {
  const char* topic_name;
  const char* type_name;
  bool is_reader;            // a subscription; otherwise a publication
  const uint8_t* user_data;  // its USER_DATA; null when it has none
  uint32_t user_data_size;
};
typedef void (*dds_DiscoveredEndpointVisitor)(const dds_DiscoveredEndpoint* endpoint,
                                              void* context);
// Calls `visit` for every reader and writer that discovery found in the
// domain of `participant` since the previous call, leaving out those of the
// process's own participants (of both DDS implementations); the first call
// reports all found so far. An endpoint whose QoS changed is reported again;
// one that left is not reported. Never blocks; one caller at a time per
// participant.
dds_ReturnCode_t dds_DomainParticipant_take_discovered(dds_DomainParticipant* participant,
                                                       dds_DiscoveredEndpointVisitor visit,
                                                       void* context);

dds_Publisher* dds_DomainParticipant_create_publisher(dds_DomainParticipant* participant,
                                                      const dds_PublisherQos* qos,
                                                      const dds_PublisherListener* listener,
                                                      dds_StatusMask mask);
dds_Subscriber* dds_DomainParticipant_create_subscriber(dds_DomainParticipant* participant,
                                                        const dds_SubscriberQos* qos,
                                                        const dds_SubscriberListener* listener,
                                                        dds_StatusMask mask);
// The type name must have been registered with the participant through a
// type support. Null on failure (also when the name exists with another type).
dds_Topic* dds_DomainParticipant_create_topic(dds_DomainParticipant* participant,
                                              const char* topic_name, const char* type_name,
                                              const dds_TopicQos* qos,
                                              const dds_TopicListener* listener,
                                              dds_StatusMask mask);
// What a topic carries. The requests and the replies of a service (DDS
// request/reply) travel where their peers can pair a reply with its request
// through the samples' identities; a reply reader forwards only replies to
// the requests of the writer it answers for (dds_DataReader_answer_for).
enum dds_TopicKind : int32_t {
  dds_PLAIN_TOPIC = 0,
  dds_REQUEST_TOPIC = 1,
  dds_REPLY_TOPIC = 2,
};
// dds_DomainParticipant_create_topic for a topic of `kind`; the plain kind is
// what that call creates. A topic name stands for one type and one kind.
dds_Topic* dds_DomainParticipant_create_topic_w_kind(dds_DomainParticipant* participant,
                                                     const char* topic_name, const char* type_name,
                                                     const dds_TopicQos* qos, dds_TopicKind kind);
// Deletes the participant's publishers (with their writers), subscribers
// (with their readers) and topics.
dds_ReturnCode_t dds_DomainParticipant_delete_contained_entities(
    dds_DomainParticipant* participant);

dds_DataWriter* dds_Publisher_create_datawriter(dds_Publisher* publisher, dds_Topic* topic,
                                                const dds_DataWriterQos* qos,
                                                const dds_DataWriterListener* listener,
                                                dds_StatusMask mask);
dds_ReturnCode_t dds_Publisher_delete_datawriter(dds_Publisher* publisher, dds_DataWriter* writer);
dds_ReturnCode_t dds_Publisher_delete_contained_entities(dds_Publisher* publisher);
dds_Publisher* dds_DataWriter_get_publisher(dds_DataWriter* writer);

struct dds_DataReaderListener;
dds_DataReader* dds_Subscriber_create_datareader(dds_Subscriber* subscriber, dds_Topic* topic,
                                                 const dds_DataReaderQos* qos,
                                                 const dds_DataReaderListener* listener,
                                                 dds_StatusMask mask);
// Waits for a listener callback of this reader that is in progress to return.
dds_ReturnCode_t dds_Subscriber_delete_datareader(dds_Subscriber* subscriber,
                                                  dds_DataReader* reader);
dds_ReturnCode_t dds_Subscriber_delete_contained_entities(dds_Subscriber* subscriber);
dds_Subscriber* dds_DataReader_get_subscriber(dds_DataReader* reader);

// ---------------------------------------------------------------------------
// Raw type support: registers a type name with a participant without any type
// description. Samples of such topics are serialized bytes (with their 4-byte
// encapsulation header) and match peers of any vendor, keyed or keyless, that
// use the same topic and type names. The registration outlives the support.

dds_TypeSupport* dds_TypeSupport_raw_create();
dds_ReturnCode_t dds_TypeSupport_register_type(dds_TypeSupport* support,
                                               dds_DomainParticipant* participant,
                                               const char* type_name);
void dds_TypeSupport_delete(dds_TypeSupport* support);

// ---------------------------------------------------------------------------
// Sample information, as the take fills it in. The write hands it back
// unchanged: the source timestamp is kept, and `origin` lets the layer
// forward the lent sample without copying it, keep what a transient-local
// publisher keeps for late joiners and pace the write by the reader that took
// it. Callers treat `origin` as opaque; a record of their own leaves it null.

struct dds_SampleOrigin;

struct dds_SampleInfo {
  bool valid_data;           // false: only a change of instance state
  int64_t source_timestamp;  // nanoseconds since the epoch, as published
  uint32_t sample_state;
  uint32_t view_state;
  uint32_t instance_state;
  uint64_t publication_handle;
  const dds_SampleOrigin* origin;  // the lent sample; valid until the loan returns
};

// Sequences of lent samples, filled by the take and emptied by the return of
// the loan. Element i of the three sequences belong to one sample. A sequence
// is created once and reused by every take.
struct dds_DataSeq;
struct dds_SampleInfoSeq;
struct dds_UnsignedLongSeq;

dds_DataSeq* dds_DataSeq_create(uint32_t maximum);
uint32_t dds_DataSeq_length(const dds_DataSeq* seq);
void* dds_DataSeq_get(const dds_DataSeq* seq, uint32_t index);
void dds_DataSeq_delete(dds_DataSeq* seq);

dds_SampleInfoSeq* dds_SampleInfoSeq_create(uint32_t maximum);
dds_SampleInfo* dds_SampleInfoSeq_get(const dds_SampleInfoSeq* seq, uint32_t index);
void dds_SampleInfoSeq_delete(dds_SampleInfoSeq* seq);

dds_UnsignedLongSeq* dds_UnsignedLongSeq_create(uint32_t maximum);
uint32_t dds_UnsignedLongSeq_get(const dds_UnsignedLongSeq* seq, uint32_t index);
void dds_UnsignedLongSeq_delete(dds_UnsignedLongSeq* seq);

// ---------------------------------------------------------------------------
// Data path.

// Takes at most `max_samples` samples in any state, lending their serialized
// bytes, sizes and sample information through the three sequences. Returns
// dds_RETCODE_OK when at least one sample was taken (then the loan must be
// returned), dds_RETCODE_NO_DATA when none was pending, another code on error.
// `reserved` is always 0.
dds_ReturnCode_t dds_DataReader_raw_take_w_sampleinfoex(
    dds_DataReader* reader, int32_t reserved, dds_DataSeq* data_seq, dds_SampleInfoSeq* info_seq,
    dds_UnsignedLongSeq* size_seq, int32_t max_samples, uint32_t sample_states,
    uint32_t view_states, uint32_t instance_states);

// Gives the lent samples back and empties the three sequences.
dds_ReturnCode_t dds_DataReader_raw_return_loan(dds_DataReader* reader, dds_DataSeq* data_seq,
                                                dds_SampleInfoSeq* info_seq,
                                                dds_UnsignedLongSeq* size_seq);

// Publishes `size` serialized bytes with the source timestamp of `info`. With
// reliable, keep-all writers it blocks while the writer's history is full, for
// at most one second (then dds_RETCODE_TIMEOUT); after such a timeout later
// writes fail at once until the writer's readers have acknowledged all. A
// sample written on the delivery thread of the reader that took it (in its
// on_data_available) instead waits until the readers acknowledge and is
// written again, until the write goes through, the reader's listener context
// is cleared or the reader is being deleted: that holds back only that
// reader. Such writes are flushed when the reader is drained.
dds_ReturnCode_t dds_DataWriter_raw_write_w_sampleinfoex(dds_DataWriter* writer, const void* buffer,
                                                         uint32_t size, const dds_SampleInfo* info);

// ---------------------------------------------------------------------------
// The USER_DATA that the endpoint announces from now on (`size` bytes at
// `data`; none when `size` is 0), re-announced to the peers it matched
// without unmatching them. Also what the writer's further internal writers
// announce.
dds_ReturnCode_t dds_DataReader_set_user_data(dds_DataReader* reader, const uint8_t* data,
                                              uint32_t size);
dds_ReturnCode_t dds_DataWriter_set_user_data(dds_DataWriter* writer, const uint8_t* data,
                                              uint32_t size);

// ---------------------------------------------------------------------------
// Replies that `reply_reader` takes (of a reply topic) answer the requests
// that `request_writer` (of a request topic, in the same participant)
// writes: the writer names the reader as the one that takes the replies, and
// the reader restores on each reply the identity of the request it answers.
// Call once per pair; PRECONDITION_NOT_MET when the endpoints are not such a
// pair or are paired already.
dds_ReturnCode_t dds_DataReader_answer_for(dds_DataReader* reply_reader,
                                           dds_DataWriter* request_writer);

// ---------------------------------------------------------------------------
// Reader listener. Of the seven callbacks only on_data_available is called by
// this layer, on the reader's own delivery thread, again and again while the
// last take came back full; the DDS implementation's receive thread only
// queues the samples and wakes that thread.

struct dds_DataReaderListener {
  void (*on_requested_deadline_missed)(const dds_DataReader* reader, const void* status);
  void (*on_requested_incompatible_qos)(const dds_DataReader* reader, const void* status);
  void (*on_sample_rejected)(const dds_DataReader* reader, const void* status);
  void (*on_liveliness_changed)(const dds_DataReader* reader, const void* status);
  void (*on_data_available)(const dds_DataReader* reader);
  void (*on_subscription_matched)(const dds_DataReader* reader, const void* status);
  void (*on_sample_lost)(const dds_DataReader* reader, const void* status);
};

// Installs the callbacks of `listener` (copied) for the statuses in `mask`.
// Data that is already pending when the listener is installed is signalled.
dds_ReturnCode_t dds_DataReader_set_listener(dds_DataReader* reader,
                                             const dds_DataReaderListener* listener,
                                             dds_StatusMask mask);
// The context pointer for the listener; read and written atomically.
dds_ReturnCode_t dds_DataReader_set_listener_context(dds_DataReader* reader, void* context);
void* dds_DataReader_get_listener_context(const dds_DataReader* reader);

#endif  // CORVANE_MIDDLEWARE_DDS_H_
