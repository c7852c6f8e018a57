// One one-way forwarding path for one topic.
#ifndef CORVANE_DDS_DDS_CHANNEL_H_
#define CORVANE_DDS_DDS_CHANNEL_H_

#include <memory>
#include <mutex>
#include <string>

#include "middleware/dds.h"

class DdsDomain;
struct rulestats_record;

// A raw reader in the source domain and a raw writer in the destination
// domain. Every sample with valid data that the reader receives is written,
// as the same serialized bytes and with its source timestamp, through the
// writer, on the reader's delivery thread, at most 8 samples per step.
//
// Initialised once on the main thread; never copied or moved, since the
// reader's listener context points at it. Destroying it ends the forwarding:
// once the destructor has begun, no step writes anything.
class DdsChannel {
 public:
  DdsChannel() = default;
  DdsChannel(const DdsChannel&) = delete;
  DdsChannel& operator=(const DdsChannel&) = delete;
  ~DdsChannel();

  // Creates the writer in `dst` and the reader in `src` (both non-null) on
  // the raw topic `topic_name` of type `type_name`, reliable or best effort
  // as the flags say, and starts forwarding. False when a topic, the reader
  // or the writer cannot be created; what was created is deleted by the
  // destructor.
  bool Initialize(const std::shared_ptr<DdsDomain>& src, const std::shared_ptr<DdsDomain>& dst,
                  const std::string& topic_name, const std::string& type_name, bool src_reliable,
                  bool dst_reliable);
  // The same on a topic of `kind`: the requests or the replies of a service.
  bool Initialize(const std::shared_ptr<DdsDomain>& src, const std::shared_ptr<DdsDomain>& dst,
                  const std::string& topic_name, const std::string& type_name, bool src_reliable,
                  bool dst_reliable, dds_TopicKind kind);

  // This channel carries the replies to the requests `requests` carries:
  // its reader, in the domain `requests` writes to, answers for that writer
  // (dds_DataReader_answer_for). Both are initialised.
  bool AnswerFor(const DdsChannel& requests);
  // The reader and the writer count for `rule` (middleware/rule_stats.h).
  void CountFor(rulestats_record* rule);
  // The DDS topic it carries; empty before Initialize.
  const std::string& topic_name() const { return topic_name_; }
  // The reader and the writer announce `user_data` as their USER_DATA from
  // now on (dds_DataReader_set_user_data). On the main thread.
  void SetUserData(const std::string& user_data);

  // The reader's data-available callback.
  static void OnDataAvailable(const dds_DataReader* reader);

 private:
  // One forwarding step: one take of at most 8 samples, their writes, the
  // return of the loan.
  void OnDataAvailable();

  std::mutex mutex_;  // one step at a time; guards reader_ against deletion
  dds_DataReader* reader_ = nullptr;
  dds_DataWriter* writer_ = nullptr;
  dds_DataSeq* data_seq_ = nullptr;
  dds_SampleInfoSeq* info_seq_ = nullptr;
  dds_UnsignedLongSeq* size_seq_ = nullptr;
  std::string topic_name_;  // written once, by Initialize
};

#endif  // CORVANE_DDS_DDS_CHANNEL_H_
