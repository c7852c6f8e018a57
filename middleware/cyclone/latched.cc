// What transient-local publications keep for late joiners, on both sides of a relay.

#include "middleware/cyclone/latched.h"

#include <algorithm>
#include <utility>

#include "middleware/common/signal_block.h"
#include "middleware/cyclone/entities.h"
#include "middleware/cyclone/qos.h"
#include "middleware/logger.h"

namespace corvane_dds {
namespace {

// How long the sweeping thread sleeps between two looks at the sources.
constexpr std::chrono::seconds kSweepPeriod{1};
// Beyond this many entries the cache starts again: entries of publications
// that are gone are never needed again, the others are looked up anew.
constexpr size_t kMaxCachedPublications = 4096;

int32_t DepthOf(const dds_qos_t* qos) {
  dds_durability_kind_t durability = DDS_DURABILITY_VOLATILE;
  if (!dds_qget_durability(qos, &durability) || durability == DDS_DURABILITY_VOLATILE) return 0;
  dds_history_kind_t kind = DDS_HISTORY_KEEP_LAST;
  int32_t depth = 1;
  dds_qget_history(qos, &kind, &depth);
  if (kind == DDS_HISTORY_KEEP_ALL) return static_cast<int32_t>(kMaxRetainedSamples);
  return std::clamp<int32_t>(depth, 1, static_cast<int32_t>(kMaxRetainedSamples));
}

// The instance a sample belongs to, as the peer named it (zero without a key hash).
std::string InstanceOf(const ddsi_serdata* sample) {
  ddsi_keyhash_t keyhash;
  ddsi_serdata_get_keyhash(sample, &keyhash, false);
  return std::string(reinterpret_cast<const char*>(keyhash.value), sizeof keyhash.value);
}

bool StillMatched(dds_entity_t reader, dds_instance_handle_t handle) {
  dds_builtintopic_endpoint_t* endpoint = dds_get_matched_publication_data(reader, handle);
  if (endpoint == nullptr) return false;
  dds_builtintopic_free_endpoint(endpoint);
  return true;
}

}  // namespace

int32_t PublicationCache::HistoryDepth(dds_entity_t reader, dds_instance_handle_t handle) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = depths_.find(handle);
    if (it != depths_.end()) return it->second;
  }
  dds_builtintopic_endpoint_t* endpoint = dds_get_matched_publication_data(reader, handle);
  if (endpoint == nullptr) return -1;
  const int32_t depth = DepthOf(endpoint->qos);
  dds_builtintopic_free_endpoint(endpoint);
  std::lock_guard<std::mutex> lock(mutex_);
  if (depths_.size() >= kMaxCachedPublications) depths_.clear();
  depths_.emplace(handle, depth);
  return depth;
}

RetainedHistory::RetainedHistory(dds_entity_t publisher, const dds_entity_t (&topics)[2],
                                 const dds_DataWriterQos& qos, std::string topic_name,
                                 WriterReaper& reaper)
    : publisher_(publisher),
      topics_{topics[0], topics[1]},
      qos_(qos),
      topic_name_(std::move(topic_name)),
      reaper_(reaper) {
  const SignalBlock block;
  sweeper_ = std::thread([this] { Sweep(); });
}

RetainedHistory::~RetainedHistory() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  sweeper_.join();
  for (const auto& entry : sources_) reaper_.Delete(entry.second.writer);
}

dds_entity_t RetainedHistory::CreateWriter(int kind, int32_t depth) const {
  const CycloneQos qos = MakeWriterQos(qos_, depth);
  if (!qos) return 0;
  if (!user_data_.empty()) dds_qset_userdata(qos.get(), user_data_.data(), user_data_.size());
  return dds_create_writer(publisher_, topics_[kind], qos.get(), nullptr);
}

void RetainedHistory::SetUserData(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  user_data_ = bytes;
  for (const auto& [key, source] : sources_) corvane_dds::SetUserData(source.writer, bytes);
}

void RetainedHistory::Keep(Source* source, const ddsi_serdata* sample) {
  std::deque<uint32_t>& kept = source->instances[InstanceOf(sample)];
  const uint32_t size = ddsi_serdata_size(sample);
  kept.push_back(size);
  source->samples++;
  source->bytes += size;
  samples_++;
  bytes_ += size;
  if (static_cast<int32_t>(kept.size()) > source->depth) {
    source->samples--;
    source->bytes -= kept.front();
    samples_--;
    bytes_ -= kept.front();
    kept.pop_front();
  }
}

void RetainedHistory::Forget(std::map<Key, Source>::iterator it) {
  samples_ -= it->second.samples;
  bytes_ -= it->second.bytes;
  reaper_.Delete(it->second.writer);
  sources_.erase(it);
}

bool RetainedHistory::OverBounds() {
  if (samples_ <= kMaxRetainedSamples && bytes_ <= kMaxRetainedBytes) return false;
  if (!warned_) {
    warned_ = true;
    logger_log(LOGGER_WARNING,
               "topic %s: transient-local publishers keep more than %lld samples or %lld "
               "bytes; the oldest history goes first",
               topic_name_.c_str(), static_cast<long long>(kMaxRetainedSamples),
               static_cast<long long>(kMaxRetainedBytes));
  }
  return true;
}

bool RetainedHistory::MayCreateWriter() {
  const auto now = std::chrono::steady_clock::now();
  if (now - window_start_ >= std::chrono::seconds(1)) {
    window_start_ = now;
    created_in_window_ = 0;
  }
  if (sources_.size() < kMaxHistoryWriters && created_in_window_ < kMaxNewHistoryWritersPerSecond) {
    created_in_window_++;
    refusing_ = false;
    return true;
  }
  if (!refusing_) {
    refusing_ = true;
    logger_log(LOGGER_WARNING,
               "topic %s: more than %zu transient-local publishers, or %d new ones within a "
               "second; the others' samples are kept only as the last one of the topic",
               topic_name_.c_str(), kMaxHistoryWriters, kMaxNewHistoryWritersPerSecond);
  }
  return false;
}

dds_entity_t RetainedHistory::WriterFor(const CycloneSample& origin, uint64_t publication,
                                        const ddsi_serdata* sample) {
  const int kind = origin.kind;
  const Key key(kind, publication);
  dds_entity_t writer = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sources_.find(key);
    if (it == sources_.end()) {
      if (!MayCreateWriter()) return 0;
      Source source;
      source.writer = CreateWriter(kind, origin.history_depth);
      if (source.writer <= 0) return source.writer;
      source.reader = origin.source;
      source.depth = origin.history_depth;
      it = sources_.emplace(key, std::move(source)).first;
    }
    it->second.last_write = ++writes_;
    Keep(&it->second, sample);
    while (OverBounds()) {
      auto oldest = sources_.end();
      for (auto other = sources_.begin(); other != sources_.end(); ++other) {
        if (other != it &&
            (oldest == sources_.end() || other->second.last_write < oldest->second.last_write)) {
          oldest = other;
        }
      }
      if (oldest == sources_.end()) break;
      Forget(oldest);
    }
    const bool alone_past_bounds = samples_ > kMaxRetainedSamples || bytes_ > kMaxRetainedBytes;
    if (alone_past_bounds && !MayCreateWriter()) {
      // This publication alone is past the bounds, and no new writer may
      // take its history: the relay writer carries the sample.
      Forget(it);
      it = sources_.end();
    } else if (alone_past_bounds) {
      // This publication alone is past the bounds: its history starts again
      // with the sample being written.
      Source fresh;
      fresh.writer = CreateWriter(kind, it->second.depth);
      fresh.reader = it->second.reader;
      fresh.depth = it->second.depth;
      fresh.last_write = it->second.last_write;
      Forget(it);
      it = sources_.emplace(key, std::move(fresh)).first;
      Keep(&it->second, sample);
    }
    if (it != sources_.end()) writer = it->second.writer;
  }
  return writer;
}

void RetainedHistory::Sweep() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, kSweepPeriod, [this] { return stopping_; })) {
    const auto now = std::chrono::steady_clock::now();
    for (auto it = sources_.begin(); it != sources_.end();) {
      const auto current = it++;
      Source& source = current->second;
      // A sample written without a reader to follow its publication through
      // stays until the bounds push it out.
      if (source.reader <= 0 || StillMatched(source.reader, current->first.second)) {
        source.departed = false;
      } else if (!source.departed) {
        source.departed = true;
        source.departed_at = now;
      } else if (now - source.departed_at >= kDepartedGrace) {
        Forget(current);
      }
    }
  }
}

}  // namespace corvane_dds
