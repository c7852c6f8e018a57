#include "tests/peers/peer_common.h"

#include <algorithm>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace peers {
namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnStopSignal(int) {
  g_stop = 1;
}

bool IsInteger(const std::string& text) {
  if (text.empty()) return false;
  char* end = nullptr;
  std::strtoll(text.c_str(), &end, 10);
  return *end == '\0';
}

bool IsFlag(const std::string& default_value) {
  return default_value == "true" || default_value == "false";
}

dds_qos_t* CreateQos(QosProfile profile) {
  dds_qos_t* qos = dds_create_qos();
  dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
  if (profile != QosProfile::kDefault) {
    dds_qset_durability(qos, DDS_DURABILITY_TRANSIENT_LOCAL);
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, profile == QosProfile::kLateJoiner ? 100 : 1);
  } else {
    dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 10);
  }
  // ROS 2 on Cyclone DDS writes plain (XCDR1) CDR.
  const dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
  dds_qset_data_representation(qos, 1, &xcdr1);
  return qos;
}

uint32_t MatchedCount(dds_entity_t endpoint) {
  dds_publication_matched_status_t publication;
  if (dds_get_publication_matched_status(endpoint, &publication) == DDS_RETCODE_OK) {
    return publication.current_count;
  }
  dds_subscription_matched_status_t subscription;
  if (dds_get_subscription_matched_status(endpoint, &subscription) == DDS_RETCODE_OK) {
    return subscription.current_count;
  }
  return 0;
}

}  // namespace

Options::Options(std::string program, std::vector<std::pair<std::string, std::string>> defaults)
    : program_(std::move(program)), defaults_(std::move(defaults)) {
  defaults_.insert(defaults_.begin(), {{"domain", "0"}, {"timeout", "30"}});
  for (const auto& [key, value] : defaults_) values_[key] = value;
}

bool Options::Parse(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) {
      std::fprintf(stderr, "%s: unexpected argument '%s'\n", program_.c_str(), arg.c_str());
      PrintUsage();
      return false;
    }
    arg.erase(0, 2);
    std::string value;
    const size_t equals = arg.find('=');
    const bool inline_value = equals != std::string::npos;
    if (inline_value) {
      value = arg.substr(equals + 1);
      arg.erase(equals);
    }
    const auto known = values_.find(arg);
    if (known == values_.end()) {
      std::fprintf(stderr, "%s: unknown option --%s\n", program_.c_str(), arg.c_str());
      PrintUsage();
      return false;
    }
    if (IsFlag(known->second) && !inline_value) {
      value = "true";
    } else if (!inline_value) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s: --%s needs a value\n", program_.c_str(), arg.c_str());
        return false;
      }
      value = argv[++i];
    }
    std::string default_value;
    for (const auto& [key, fallback] : defaults_) {
      if (key == arg) default_value = fallback;
    }
    const bool kind_ok = IsFlag(default_value)      ? IsFlag(value)
                         : IsInteger(default_value) ? IsInteger(value)
                                                    : true;
    if (!kind_ok) {
      std::fprintf(stderr, "%s: bad value '%s' for --%s\n", program_.c_str(), value.c_str(),
                   arg.c_str());
      PrintUsage();
      return false;
    }
    known->second = value;
  }
  return true;
}

long long Options::Int(const std::string& key) const {
  return std::strtoll(Str(key).c_str(), nullptr, 10);
}

void Options::PrintUsage() const {
  std::fprintf(stderr, "usage: %s", program_.c_str());
  for (const auto& [key, value] : defaults_) {
    if (IsFlag(value)) {
      std::fprintf(stderr, " [--%s]", key.c_str());
    } else {
      std::fprintf(stderr, " [--%s %s]", key.c_str(), value.c_str());
    }
  }
  std::fprintf(stderr, "\n");
}

Deadline::Deadline(long long seconds)
    : end_(std::chrono::steady_clock::now() + std::chrono::seconds(seconds)) {}

bool Deadline::Passed() const {
  return g_stop || std::chrono::steady_clock::now() >= end_;
}

dds_duration_t Deadline::Remaining(dds_duration_t cap) const {
  const auto left =
      std::chrono::duration_cast<std::chrono::nanoseconds>(end_ - std::chrono::steady_clock::now())
          .count();
  if (left <= 0 || g_stop) return 0;
  return left < cap ? left : cap;
}

Deadline BeginRun(const Options& options) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
  return Deadline(options.Int("timeout"));
}

bool StopRequested() {
  return g_stop != 0;
}

void Emit(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::putchar('\n');
}

Participant::Participant(dds_domainid_t domain)
    : handle_(dds_create_participant(domain, nullptr, nullptr)) {
  if (handle_ <= 0) {
    std::fprintf(stderr, "participant in domain %u: %s\n", static_cast<unsigned>(domain),
                 dds_strretcode(handle_));
    return;
  }
  waitset_ = dds_create_waitset(handle_);
}

Participant::~Participant() {
  if (handle_ > 0) dds_delete(handle_);
}

dds_entity_t Participant::Topic(const dds_topic_descriptor_t& type, const std::string& topic) {
  const dds_entity_t result = dds_create_topic(handle_, &type, topic.c_str(), nullptr, nullptr);
  if (result <= 0) {
    std::fprintf(stderr, "topic %s: %s\n", topic.c_str(), dds_strretcode(result));
  }
  return result;
}

dds_entity_t Participant::CreateReader(const dds_topic_descriptor_t& type, const std::string& topic,
                                       QosProfile profile) {
  const dds_entity_t topic_handle = Topic(type, topic);
  if (topic_handle <= 0) return topic_handle;
  dds_qos_t* qos = CreateQos(profile);
  const dds_entity_t reader = dds_create_reader(handle_, topic_handle, qos, nullptr);
  dds_delete_qos(qos);
  if (reader <= 0) std::fprintf(stderr, "reader %s: %s\n", topic.c_str(), dds_strretcode(reader));
  return reader;
}

dds_entity_t Participant::CreateWriter(const dds_topic_descriptor_t& type, const std::string& topic,
                                       QosProfile profile) {
  const dds_entity_t topic_handle = Topic(type, topic);
  if (topic_handle <= 0) return topic_handle;
  dds_qos_t* qos = CreateQos(profile);
  const dds_entity_t writer = dds_create_writer(handle_, topic_handle, qos, nullptr);
  dds_delete_qos(qos);
  if (writer <= 0) std::fprintf(stderr, "writer %s: %s\n", topic.c_str(), dds_strretcode(writer));
  return writer;
}

void Participant::WaitForData(const std::vector<dds_entity_t>& readers, const Deadline& deadline,
                              dds_duration_t slice) {
  for (const dds_entity_t reader : readers) {
    if (read_conditions_.count(reader) != 0) continue;
    // A read condition stays triggered while samples remain, unlike the
    // data-available status, which a partial take would reset.
    const dds_entity_t condition = dds_create_readcondition(reader, DDS_ANY_STATE);
    dds_waitset_attach(waitset_, condition, reader);
    read_conditions_[reader] = condition;
  }
  const dds_duration_t timeout = deadline.Remaining(slice);
  if (timeout > 0) dds_waitset_wait(waitset_, nullptr, 0, timeout);
}

bool WaitForMatch(const std::vector<dds_entity_t>& endpoints, const Deadline& deadline,
                  uint32_t count) {
  for (;;) {
    bool all = true;
    for (const dds_entity_t endpoint : endpoints) all = all && MatchedCount(endpoint) >= count;
    if (all) return true;
    if (deadline.Passed()) return false;
    dds_sleepfor(deadline.Remaining(DDS_MSECS(20)));
  }
}

void SetUserData(dds_entity_t endpoint, const std::string& bytes) {
  dds_qos_t* qos = dds_create_qos();
  dds_qset_userdata(qos, bytes.data(), bytes.size());
  dds_set_qos(endpoint, qos);
  dds_delete_qos(qos);
}

std::vector<std::string> MatchedUserData(dds_entity_t endpoint) {
  dds_instance_handle_t handles[64];
  // Only a writer has matched subscriptions.
  int32_t n = dds_get_matched_subscriptions(endpoint, handles, 64);
  const bool writer = n >= 0;
  if (!writer) n = dds_get_matched_publications(endpoint, handles, 64);
  std::vector<std::string> result;
  for (int32_t i = 0; i < std::min(n, 64); i++) {
    dds_builtintopic_endpoint_t* peer =
        writer ? dds_get_matched_subscription_data(endpoint, handles[i])
               : dds_get_matched_publication_data(endpoint, handles[i]);
    if (peer == nullptr) continue;
    void* value = nullptr;
    size_t size = 0;
    dds_qget_userdata(peer->qos, &value, &size);
    result.push_back(value != nullptr ? std::string(static_cast<const char*>(value), size) : "");
    dds_free(value);
    dds_builtintopic_free_endpoint(peer);
  }
  return result;
}

void FlushWriter(dds_entity_t writer, const Deadline& deadline) {
  dds_wait_for_acks(writer, deadline.Remaining(DDS_SECS(5)));
}

std::string RosTopicName(const std::string& ros_name) {
  return "rt" + ros_name;
}

std::string RosRequestTopicName(const std::string& service) {
  return "rq" + service + "Request";
}

std::string RosReplyTopicName(const std::string& service) {
  return "rr" + service + "Reply";
}

std::string RosActionPartName(const std::string& action, const char* part) {
  return action + "/_action/" + part;
}

Uuid RandomUuid() {
  std::random_device random;
  Uuid uuid;
  for (uint8_t& byte : uuid) byte = static_cast<uint8_t>(random());
  return uuid;
}

std::string UuidHex(const uint8_t (&uuid)[16]) {
  std::string hex;
  char digits[3];
  for (const uint8_t byte : uuid) {
    std::snprintf(digits, sizeof digits, "%02x", byte);
    hex += digits;
  }
  return hex;
}

std::string Join(const int32_t* values, uint32_t count) {
  std::string text;
  for (uint32_t i = 0; i < count; ++i) {
    if (i > 0) text += ' ';
    text += std::to_string(values[i]);
  }
  return text;
}

std::vector<int32_t> FibonacciSequence(int order) {
  std::vector<int32_t> sequence = {0, 1};
  for (int i = 1; i < order; ++i) sequence.push_back(sequence[i] + sequence[i - 1]);
  return sequence;
}

}  // namespace peers
