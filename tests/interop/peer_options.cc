#include "tests/interop/peer_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

const char* const SAMPLE_TOPIC = "interop_sample";
const char* const CHATTER_TOPIC = "rt/chatter";

bool ParseUnsigned(const char* text, uint64_t max, uint64_t* value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed > max) return false;
  *value = parsed;
  return true;
}

bool ParseSeconds(const char* text, double* value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  const double parsed = std::strtod(text, &end);
  if (*end != '\0' || !(parsed > 0) || parsed > 86400) return false;
  *value = parsed;
  return true;
}

bool ParseUint32(const char* text, uint32_t* value) {
  uint64_t parsed = 0;
  if (!ParseUnsigned(text, UINT32_MAX, &parsed)) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

// Applies one "--name value" pair; false if the name or the value is bad.
bool ApplyOption(const std::string& name, const char* value, PeerOptions* options,
                 bool* min_count_given) {
  if (name == "--domain") {
    uint64_t id = 0;
    if (!ParseUnsigned(value, 232, &id)) return false;
    options->domain_id = static_cast<int>(id);
    return true;
  }
  if (name == "--kind") {
    if (std::strcmp(value, "sample") == 0) {
      options->kind = PeerKind::kSample;
    } else if (std::strcmp(value, "chatter") == 0) {
      options->kind = PeerKind::kChatter;
    } else {
      return false;
    }
    return true;
  }
  if (name == "--reliability") {
    if (std::strcmp(value, "reliable") == 0) {
      options->reliable = true;
    } else if (std::strcmp(value, "best-effort") == 0) {
      options->reliable = false;
    } else {
      return false;
    }
    return true;
  }
  if (name == "--durability") {
    if (std::strcmp(value, "volatile") == 0) {
      options->transient_local = false;
    } else if (std::strcmp(value, "transient-local") == 0) {
      options->transient_local = true;
    } else {
      return false;
    }
    return true;
  }
  if (name == "--topic") {
    options->topic = value;
    return !options->topic.empty();
  }
  if (name == "--profile") {
    options->profile = value;
    return !options->profile.empty();
  }
  if (name == "--min-count") {
    *min_count_given = true;
    return ParseUint32(value, &options->min_count);
  }
  if (name == "--timeout") return ParseSeconds(value, &options->timeout_seconds);
  if (name == "--count") return ParseUint32(value, &options->count);
  if (name == "--size") return ParseUint32(value, &options->size);
  if (name == "--period-ms") return ParseUint32(value, &options->period_ms);
  if (name == "--readers") return ParseUint32(value, &options->readers);
  if (name == "--settle-ms") return ParseUint32(value, &options->settle_ms);
  return false;
}

}  // namespace

const char* PeerUsage() {
  return "usage: <peer> pub|sub --domain N [--kind sample|chatter] [--topic NAME]\n"
         "         [--count N] [--min-count N] [--size BYTES]\n"
         "         [--reliability reliable|best-effort]\n"
         "         [--durability volatile|transient-local] [--timeout SECONDS]\n"
         "         [--period-ms MS] [--readers N] [--settle-ms MS] [--profile FILE]\n";
}

const char* TypeNameOf(PeerKind kind) {
  return kind == PeerKind::kSample ? "interop::Sample" : "std_msgs::msg::dds_::String_";
}

bool ParsePeerOptions(int argc, const char* const* argv, PeerOptions* options, std::string* error) {
  *options = PeerOptions();
  if (argc < 2) {
    *error = "missing role (pub or sub)";
    return false;
  }
  const std::string role = argv[1];
  if (role == "pub") {
    options->role = PeerRole::kPublisher;
  } else if (role == "sub") {
    options->role = PeerRole::kSubscriber;
  } else {
    *error = "unknown role: " + role;
    return false;
  }
  bool min_count_given = false;
  for (int i = 2; i < argc; i += 2) {
    const std::string name = argv[i];
    if (i + 1 >= argc) {
      *error = "missing value for " + name;
      return false;
    }
    if (!ApplyOption(name, argv[i + 1], options, &min_count_given)) {
      *error = "bad option: " + name + " " + argv[i + 1];
      return false;
    }
  }
  if (options->domain_id < 0) {
    *error = "missing --domain";
    return false;
  }
  if (!min_count_given) options->min_count = options->count;
  if (options->min_count > options->count) {
    *error = "--min-count exceeds --count";
    return false;
  }
  if (options->topic.empty()) {
    options->topic = options->kind == PeerKind::kSample ? SAMPLE_TOPIC : CHATTER_TOPIC;
  }
  return true;
}
