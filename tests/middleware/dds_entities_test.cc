// Participants, topics, endpoints and QoS of the middleware layer.

#include <gtest/gtest.h>

#include <climits>

#include "dds_test_support.h"
#include "middleware/dds_entities_internal.h"

namespace corvane_test {
namespace {

TEST(EntityTest, RefusedOrNegativeDomainIdsGiveNoParticipant) {
  dds_DomainParticipantFactory* factory = dds_DomainParticipantFactory_get_instance();
  ASSERT_NE(factory, nullptr);
  EXPECT_EQ(factory, dds_DomainParticipantFactory_get_instance());
  for (const dds_DomainId_t id : {-1, -2, INT_MIN, 233, 1000, INT_MAX}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(dds_DomainParticipantFactory_create_participant(
                  factory, id, &dds_PARTICIPANT_QOS_DEFAULT, nullptr, 0),
              nullptr);
  }
  EXPECT_EQ(dds_DomainParticipantFactory_create_participant(
                nullptr, 21, &dds_PARTICIPANT_QOS_DEFAULT, nullptr, 0),
            nullptr);
}

TEST(EntityTest, QosGettersReportThePoliciesInForce) {
  LayerDomain domain(21);
  ASSERT_TRUE(domain.ok());
  dds_Topic* topic = domain.Topic("qos", kKeylessType);
  for (const bool reliable : {true, false}) {
    SCOPED_TRACE(reliable ? "reliable" : "best effort");
    const dds_ReliabilityQosPolicyKind expected =
        reliable ? dds_RELIABLE_RELIABILITY_QOS : dds_BEST_EFFORT_RELIABILITY_QOS;

    dds_DataReaderQos reader_qos{};
    ASSERT_EQ(dds_DataReader_get_qos(domain.Reader(topic, reliable), &reader_qos), 0);
    EXPECT_EQ(reader_qos.reliability.kind, expected);
    EXPECT_EQ(reader_qos.history.kind, dds_KEEP_ALL_HISTORY_QOS);
    EXPECT_EQ(reader_qos.durability.kind, dds_VOLATILE_DURABILITY_QOS);

    dds_DataWriterQos writer_qos{};
    ASSERT_EQ(dds_DataWriter_get_qos(domain.Writer(topic, reliable), &writer_qos), 0);
    EXPECT_EQ(writer_qos.reliability.kind, expected);
    EXPECT_EQ(writer_qos.history.kind, dds_KEEP_ALL_HISTORY_QOS);
    EXPECT_EQ(writer_qos.durability.kind, dds_TRANSIENT_LOCAL_DURABILITY_QOS);
  }

  dds_DataReaderQos bad{};
  dds_DataReaderQos_copy(&bad, &dds_DATAREADER_QOS_DEFAULT);
  bad.reliability.kind = static_cast<dds_ReliabilityQosPolicyKind>(7);
  EXPECT_EQ(dds_Subscriber_create_datareader(domain.subscriber(), topic, &bad, nullptr, 0),
            nullptr);
  EXPECT_EQ(dds_DataReader_get_qos(nullptr, &bad), dds_RETCODE_BAD_PARAMETER);
}

TEST(EntityTest, TopicsAndEndpointsBelongToTheirParticipant) {
  LayerDomain domain(22), other(22);
  ASSERT_TRUE(domain.ok() && other.ok());
  dds_DomainParticipant* participant = domain.participant();

  EXPECT_EQ(dds_DomainParticipant_create_topic(participant, "unregistered", "no::Such",
                                               &dds_TOPIC_QOS_DEFAULT, nullptr, 0),
            nullptr)
      << "a type name must be registered first";
  dds_Topic* topic = domain.Topic("tree", kKeyedType);
  ASSERT_NE(topic, nullptr);
  EXPECT_NE(domain.Topic("tree", kKeyedType), nullptr) << "a second topic of the same names";
  EXPECT_EQ(domain.Topic("tree", kKeylessType), nullptr) << "one topic name, two type names";

  dds_DataReader* reader = domain.Reader(topic, true);
  dds_DataWriter* writer = domain.Writer(topic, true);
  ASSERT_TRUE(reader && writer);
  EXPECT_EQ(dds_DataReader_get_subscriber(reader), domain.subscriber());
  EXPECT_EQ(dds_DataWriter_get_publisher(writer), domain.publisher());
  EXPECT_EQ(other.Reader(topic, true), nullptr) << "a topic of another participant";

  EXPECT_EQ(dds_Subscriber_delete_datareader(other.subscriber(), reader),
            dds_RETCODE_PRECONDITION_NOT_MET);
  EXPECT_EQ(dds_Publisher_delete_datawriter(other.publisher(), writer),
            dds_RETCODE_PRECONDITION_NOT_MET);
  EXPECT_EQ(dds_Subscriber_delete_datareader(domain.subscriber(), reader), dds_RETCODE_OK);
  EXPECT_EQ(dds_Publisher_delete_datawriter(domain.publisher(), writer), dds_RETCODE_OK);
  EXPECT_EQ(dds_Subscriber_delete_datareader(domain.subscriber(), reader),
            dds_RETCODE_PRECONDITION_NOT_MET)
      << "already deleted";

  domain.Reader(topic, true);
  domain.Writer(topic, true);
  EXPECT_EQ(dds_Subscriber_delete_contained_entities(domain.subscriber()), dds_RETCODE_OK);
  EXPECT_EQ(dds_Publisher_delete_contained_entities(domain.publisher()), dds_RETCODE_OK);
  EXPECT_EQ(dds_DomainParticipant_delete_contained_entities(participant), dds_RETCODE_OK);
  // The registration outlives the topics.
  EXPECT_NE(dds_DomainParticipant_create_topic(participant, "tree", kKeyedType,
                                               &dds_TOPIC_QOS_DEFAULT, nullptr, 0),
            nullptr);

  EXPECT_EQ(dds_DomainParticipant_create_publisher(nullptr, &dds_PUBLISHER_QOS_DEFAULT, nullptr, 0),
            nullptr);
  EXPECT_EQ(
      dds_Subscriber_create_datareader(nullptr, topic, &dds_DATAREADER_QOS_DEFAULT, nullptr, 0),
      nullptr);
  EXPECT_EQ(dds_TypeSupport_register_type(nullptr, participant, "x"), dds_RETCODE_BAD_PARAMETER);
}

}  // namespace
}  // namespace corvane_test
