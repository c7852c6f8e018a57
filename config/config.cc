// The rule file loader: YAML rules into rule records.

#include "config/config.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
// GCC 12 with sanitizers reports a false -Wmaybe-uninitialized inside
// std::regex's std::function members.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#else
#include <regex>
#endif

#include "config/topic_pattern.h"
#include "middleware/logger.h"
#include "middleware/yconfig.h"

namespace {

// Key paths inside a rule, indexed by RuleType: message rules use the "src"
// and "dst" groups, service and action rules the "proxy_service" (src) and
// "service" (dst) groups.
const char* const SRC_DOMAIN_ID_STR[] = {"/src/domain_id", "/src/domain_id",
                                         "/proxy_service/domain_id", "/proxy_service/domain_id"};
const char* const DST_DOMAIN_ID_STR[] = {"/dst/domain_id", "/dst/domain_id", "/service/domain_id",
                                         "/service/domain_id"};
const char* const SRC_RELIABILITY_STR[] = {"/src/reliability", "/src/reliability",
                                           "/proxy_service/reliability",
                                           "/proxy_service/reliability"};
const char* const DST_RELIABILITY_STR[] = {"/dst/reliability", "/dst/reliability",
                                           "/service/reliability", "/service/reliability"};

// Group 1: the ROS 2 alternative; group 2: the distribution (ignored);
// group 3: the kind word.
const char RULE_TYPE_PATTERN[] = "dds|(ros2(-dashing|-eloquent|-foxy)?-(msg|service|action))";

const char RELIABLE_TEXT[] = "reliable";

struct DocumentDeleter {
  void operator()(yconfig* doc) const { yconfig_destroy(doc); }
};
using Document = std::unique_ptr<yconfig, DocumentDeleter>;

// The global logger when it lets level-4 messages through, else null.
logger* ErrorLogger() {
  logger* const lg = logger_global();
  return lg->level <= LOGGER_ERROR ? lg : nullptr;
}

// strtol's reading (leading blanks, optional sign, digits up to the first
// non-digit) restricted to 32-bit values; false when no digit is found or
// the value does not fit.
bool ParseDomainId(const std::string& text, int32_t* id) {
  const char* const begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(begin, &end, 10);
  if (end == begin || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return false;
  *id = static_cast<int32_t>(value);
  return true;
}

// Reads and checks the rules of one open document. Every check that fails
// logs its message and rejects the rule.
class RuleReader {
 public:
  RuleReader(const yconfig* doc, const std::regex& type_pattern)
      : doc_(doc), type_pattern_(type_pattern) {}

  // The rule at `index`, or nullopt when it is rejected.
  std::optional<RuleDescription> Read(int index) const {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "/rules[%d]", index);
    const std::string base(prefix);
    RuleDescription rule;
    if (!ReadType(base + "/type", &rule.type)) return std::nullopt;
    const int keys = static_cast<int>(rule.type);
    if (!ReadName(base + "/topic", &rule.topic) ||
        !ReadName(base + "/data_type", &rule.data_type) ||
        !ReadDomainId(base + SRC_DOMAIN_ID_STR[keys], &rule.src.domain_id) ||
        !ReadDomainId(base + DST_DOMAIN_ID_STR[keys], &rule.dst.domain_id) ||
        !ReadReliability(base + SRC_RELIABILITY_STR[keys], &rule.src.reliable) ||
        !ReadReliability(base + DST_RELIABILITY_STR[keys], &rule.dst.reliable) ||
        !CheckPattern(base, rule)) {
      return std::nullopt;
    }
    return rule;
  }

 private:
  // The scalar text at `path`; an absent value reads as the empty text.
  std::string ReadText(const std::string& path, bool* present = nullptr) const {
    const char* const text = yconfig_get(doc_, path.c_str());
    if (present != nullptr) *present = text != nullptr;
    return text != nullptr ? std::string(text) : std::string();
  }

  bool ReadType(const std::string& path, RuleType* type) const {
    const std::string text = ReadText(path);
    std::smatch match;
    if (!std::regex_match(text, match, type_pattern_)) {
      if (logger* lg = ErrorLogger()) {
        logger_write(lg, LOGGER_ERROR, 0, 0, 0, "Invalid rule's type(%s)", text.c_str());
      }
      return false;
    }
    if (!match[1].matched) {
      *type = RuleType::kDds;
    } else if (match[3] == "msg") {
      *type = RuleType::kRosMsg;
    } else if (match[3] == "service") {
      *type = RuleType::kRosService;
    } else {
      *type = RuleType::kRosAction;
    }
    return true;
  }

  bool ReadName(const std::string& path, std::string* name) const {
    *name = ReadText(path);
    if (!name->empty()) return true;
    if (logger* lg = ErrorLogger())
      logger_write(lg, LOGGER_ERROR, 0, 0, 0, "Invalid %s", path.c_str());
    return false;
  }

  bool ReadDomainId(const std::string& path, int32_t* id) const {
    const std::string text = ReadText(path);
    if (ParseDomainId(text, id)) return true;
    if (logger* lg = ErrorLogger()) {
      logger_write(lg, LOGGER_ERROR, 0, 0, 0, "Invalid domain id(%s)", text.c_str());
    }
    return false;
  }

  bool ReadReliability(const std::string& path, bool* reliable) const {
    bool present = false;
    const std::string text = ReadText(path, &present);
    if (!present) {
      if (logger* lg = ErrorLogger()) {
        logger_write(lg, LOGGER_ERROR, 0, 0, 0, "%s does not exists in config", path.c_str());
      }
      return false;
    }
    *reliable = text == RELIABLE_TEXT;
    return true;
  }

  // A pattern that can match nothing is refused.
  static bool CheckPattern(const std::string& base, const RuleDescription& rule) {
    std::string field;
    const std::string why = WhyPatternMatchesNothing(rule, &field);
    if (why.empty()) return true;
    if (logger* lg = ErrorLogger()) {
      const std::string& value = field == "topic" ? rule.topic : rule.data_type;
      logger_write(lg, LOGGER_ERROR, 0, 0, 0, "Invalid pattern(%s) in %s/%s: %s", value.c_str(),
                   base.c_str(), field.c_str(), why.c_str());
    }
    return false;
  }

  const yconfig* const doc_;
  const std::regex& type_pattern_;
};

}  // namespace

std::optional<AppConfig> AppConfig::LoadFromYamlFile(const std::string& path) {
  const Document doc(yconfig_create(path.c_str()));
  if (!doc) return std::nullopt;
  const int count = yconfig_length(doc.get(), "/rules");
  if (count <= 0) {
    if (logger* lg = ErrorLogger()) {
      logger_write(lg, LOGGER_ERROR, 0, 0, 0, "Failed to get count of rule from YAML");
    }
    return std::nullopt;
  }
  // Compiled once per load: building a std::regex costs far more than matching.
  const std::regex type_pattern(RULE_TYPE_PATTERN);
  const RuleReader reader(doc.get(), type_pattern);
  std::vector<RuleDescription> rules;
  rules.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    std::optional<RuleDescription> rule = reader.Read(i);
    if (rule) rules.push_back(std::move(*rule));
  }
  return AppConfig(std::move(rules));
}
