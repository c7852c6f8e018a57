// Topic kinds, the pairing of reply readers with request writers, and rule
// counters attached after their endpoint matched.

#include <gtest/gtest.h>

#include "dds_test_support.h"
#include "middleware/common/endpoint_stats.h"

namespace corvane_test {
namespace {

dds_Topic* KindTopic(LayerDomain& domain, const char* name, dds_TopicKind kind) {
  dds_TypeSupport* support = dds_TypeSupport_raw_create();
  dds_TypeSupport_register_type(support, domain.participant(), kKeylessType);
  dds_TypeSupport_delete(support);
  return dds_DomainParticipant_create_topic_w_kind(domain.participant(), name, kKeylessType,
                                                   &dds_TOPIC_QOS_DEFAULT, kind);
}

TEST(TopicKindTest, ReplyReadersAnswerForOneRequestWriterOfTheirParticipant) {
  LayerDomain relay(226), other(226);
  ASSERT_TRUE(relay.ok() && other.ok());
  dds_Topic* requests = KindTopic(relay, "rq/pairRequest", dds_REQUEST_TOPIC);
  dds_Topic* replies = KindTopic(relay, "rr/pairReply", dds_REPLY_TOPIC);
  dds_Topic* plain = relay.Topic("rq/plainRequest", kKeylessType);
  ASSERT_TRUE(requests && replies && plain);
  // A name stands for one kind.
  EXPECT_EQ(dds_DomainParticipant_create_topic_w_kind(relay.participant(), "rq/plainRequest",
                                                      kKeylessType, &dds_TOPIC_QOS_DEFAULT,
                                                      dds_REQUEST_TOPIC),
            nullptr);
  dds_DataWriter* request_writer = relay.Writer(requests, true);
  dds_DataReader* reply_reader = relay.Reader(replies, true);
  dds_DataWriter* plain_writer = relay.Writer(plain, true);
  dds_DataReader* plain_reader = relay.Reader(plain, true);
  dds_DataWriter* foreign_writer =
      other.Writer(KindTopic(other, "rq/pairRequest", dds_REQUEST_TOPIC), true);
  ASSERT_TRUE(request_writer && reply_reader && plain_writer && plain_reader && foreign_writer);

  const struct {
    const char* name;
    dds_DataReader* reader;
    dds_DataWriter* writer;
    dds_ReturnCode_t expected;
  } kCases[] = {
      {"no reader", nullptr, request_writer, dds_RETCODE_BAD_PARAMETER},
      {"plain writer", reply_reader, plain_writer, dds_RETCODE_PRECONDITION_NOT_MET},
      {"plain reader", plain_reader, request_writer, dds_RETCODE_PRECONDITION_NOT_MET},
      {"other participant", reply_reader, foreign_writer, dds_RETCODE_PRECONDITION_NOT_MET},
      {"pair", reply_reader, request_writer, dds_RETCODE_OK},
      {"paired already", reply_reader, request_writer, dds_RETCODE_PRECONDITION_NOT_MET},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(dds_DataReader_answer_for(c.reader, c.writer), c.expected);
  }
}

// Only the caller makes a topic a request topic: a plain one named like one
// still meets plain Cyclone DDS peers.
TEST(TopicKindTest, PlainTopicNamedLikeRequestsStaysPlain) {
  constexpr dds_domainid_t kDomain = 227;
  LayerDomain relay(kDomain);
  ASSERT_TRUE(relay.ok());
  dds_DataReader* reader = relay.Reader(relay.Topic("rq/plainRequest", kKeylessType), true);
  TypedPeer peer(kDomain, &corvane_test_KeylessSample_desc, "rq/plainRequest");
  ASSERT_TRUE(reader != nullptr && peer.ok());
  const dds_entity_t writer = peer.Writer(true, false);
  ASSERT_TRUE(WaitFor(
      [&] { return SubscriptionsMatched(reader) == 1 && PublicationsMatched(writer) >= 1; }));
  corvane_test_KeylessSample sample{};
  sample.seq = 7;
  ASSERT_EQ(dds_write(writer, &sample), DDS_RETCODE_OK);
  std::vector<TakenSample> taken;
  EXPECT_TRUE(WaitFor([&] {
    for (TakenSample& s : TakeCopies(reader, 8)) taken.push_back(std::move(s));
    return !taken.empty();
  }));
}

TEST(StatsSlotTest, MatchesBeforeAttachmentCount) {
  using corvane_dds::PeerKind;
  const struct {
    const char* name;
    int32_t before;  // matches before attachment
    int32_t after;   // then each of these changes
    int32_t count;
    bool appeared;
    bool gone;
  } kCases[] = {
      {"matched before", 2, 0, 2, true, false},
      {"matched before, gone after", 1, -1, 0, true, true},
      {"nothing before", 0, 1, 1, true, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    corvane_dds::ChannelCounters channel;
    corvane_dds::PeerMatches side;
    corvane_dds::StatsSlot slot;
    slot.Matched(c.before);
    slot.Refused(c.before, 11);
    slot.Attach(std::make_unique<corvane_dds::EndpointStats>(nullptr, &channel, &side,
                                                             PeerKind::kPublisher));
    if (c.after != 0) slot.Matched(c.after);
    EXPECT_EQ(side.count.load(), c.count);
    EXPECT_EQ(side.appeared.load(), c.appeared);
    EXPECT_EQ(side.gone.load(), c.gone);
    EXPECT_EQ(side.refused.load(), static_cast<uint32_t>(c.before));
    EXPECT_EQ(channel.matched[0].load(), c.count);
  }
}

}  // namespace
}  // namespace corvane_test
