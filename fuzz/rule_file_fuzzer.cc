// Fuzzes the rule file loader and the YAML access below it with the input as
// the rule file. The loader must not crash or leak on any file, and what it
// accepts must equal what a plain model of the rule checks, built on the
// same key-path access, accepts: same rules, same order, same fields. The
// model also keeps each accepted rule honest on its own (a known type, a
// non-empty topic and data type).

#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/config.h"
#include "fuzz/fuzz_check.h"
#include "middleware/logger.h"
#include "middleware/yconfig.h"

namespace {

// The rule file of this process, rewritten for every input.
class ScratchFile {
 public:
  ScratchFile() {
    const char* const dir = std::getenv("TMPDIR");
    path_ = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/rule_file_fuzz.XXXXXX";
    const int fd = ::mkstemp(path_.data());
    FUZZ_CHECK(fd >= 0, "cannot create the scratch rule file");
    ::close(fd);
  }
  ~ScratchFile() { ::unlink(path_.c_str()); }

  const std::string& path() const { return path_; }

  void Write(const uint8_t* data, size_t size) const {
    std::FILE* const file = std::fopen(path_.c_str(), "wb");
    FUZZ_CHECK(file != nullptr, "cannot open the scratch rule file");
    FUZZ_CHECK(std::fwrite(data, 1, size, file) == size, "cannot write the scratch rule file");
    std::fclose(file);
  }

 private:
  std::string path_;
};

struct DocumentDeleter {
  void operator()(yconfig* doc) const { yconfig_destroy(doc); }
};
using Document = std::unique_ptr<yconfig, DocumentDeleter>;

// Every type text that names a rule kind.
std::optional<RuleType> ModelType(const std::string& text) {
  if (text == "dds") return RuleType::kDds;
  const struct {
    const char* kind;
    RuleType type;
  } kinds[] = {{"msg", RuleType::kRosMsg},
               {"service", RuleType::kRosService},
               {"action", RuleType::kRosAction}};
  for (const char* distribution : {"", "-dashing", "-eloquent", "-foxy"}) {
    for (const auto& kind : kinds) {
      if (text == std::string("ros2") + distribution + "-" + kind.kind) return kind.type;
    }
  }
  return std::nullopt;
}

// Blanks, a sign, decimal digits up to the first non-digit; 32-bit only.
std::optional<int32_t> ModelDomainId(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  size_t digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{INT32_MAX} + 1) value = int64_t{INT32_MAX} + 2;  // saturate: too large
  }
  if (digits == 0) return std::nullopt;
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::optional<std::string> Get(const yconfig* doc, const std::string& path) {
  const char* const text = yconfig_get(doc, path.c_str());
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

// A wildcard level against a plain word ("*" any run, "?" one character).
bool LevelMatches(const char* level, const char* word) {
  if (*level == '\0') return *word == '\0';
  if (*level == '*')
    return LevelMatches(level + 1, word) || (*word != '\0' && LevelMatches(level, word + 1));
  return *word != '\0' && (*level == '?' || *level == *word) && LevelMatches(level + 1, word + 1);
}

// A pattern in a ROS 2 rule that can match nothing of its kind: a topic that
// cannot begin with "/", or a type without "**" that is not three levels with
// the kind's word in the middle.
bool ModelPatternMatchesNothing(const RuleDescription& rule) {
  if (rule.type == RuleType::kDds) return false;
  const auto wild = [](const std::string& text) {
    return text.find_first_of("*?") != std::string::npos;
  };
  if (wild(rule.topic) && rule.topic[0] != '/' && rule.topic[0] != '*') return true;
  if (!wild(rule.data_type) || rule.data_type == "*" ||
      rule.data_type.find("**") != std::string::npos) {
    return false;
  }
  const size_t first = rule.data_type.find('/');
  const size_t second = first == std::string::npos ? first : rule.data_type.find('/', first + 1);
  if (second == std::string::npos || rule.data_type.find('/', second + 1) != std::string::npos) {
    return true;
  }
  const char* word = rule.type == RuleType::kRosMsg       ? "msg"
                     : rule.type == RuleType::kRosService ? "srv"
                                                          : "action";
  return !LevelMatches(rule.data_type.substr(first + 1, second - first - 1).c_str(), word);
}

std::optional<RuleDescription> ModelRule(const yconfig* doc, int index) {
  const std::string base = "/rules[" + std::to_string(index) + "]";
  RuleDescription rule;
  const std::optional<RuleType> type = ModelType(Get(doc, base + "/type").value_or(""));
  if (!type) return std::nullopt;
  rule.type = *type;
  rule.topic = Get(doc, base + "/topic").value_or("");
  rule.data_type = Get(doc, base + "/data_type").value_or("");
  if (rule.topic.empty() || rule.data_type.empty()) return std::nullopt;
  const bool message_keys = rule.type == RuleType::kDds || rule.type == RuleType::kRosMsg;
  const std::string src = base + (message_keys ? "/src" : "/proxy_service");
  const std::string dst = base + (message_keys ? "/dst" : "/service");
  const std::optional<int32_t> src_id = ModelDomainId(Get(doc, src + "/domain_id").value_or(""));
  if (!src_id) return std::nullopt;
  const std::optional<int32_t> dst_id = ModelDomainId(Get(doc, dst + "/domain_id").value_or(""));
  if (!dst_id) return std::nullopt;
  const std::optional<std::string> src_reliability = Get(doc, src + "/reliability");
  const std::optional<std::string> dst_reliability = Get(doc, dst + "/reliability");
  if (!src_reliability || !dst_reliability) return std::nullopt;
  rule.src = {*src_id, *src_reliability == "reliable"};
  rule.dst = {*dst_id, *dst_reliability == "reliable"};
  if (ModelPatternMatchesNothing(rule)) return std::nullopt;
  return rule;
}

// What the loader should return for the file at `path`.
std::optional<std::vector<RuleDescription>> ModelLoad(const std::string& path) {
  const Document doc(yconfig_create(path.c_str()));
  if (!doc) return std::nullopt;
  const int count = yconfig_length(doc.get(), "/rules");
  if (count <= 0) return std::nullopt;
  std::vector<RuleDescription> rules;
  for (int i = 0; i < count; ++i) {
    if (std::optional<RuleDescription> rule = ModelRule(doc.get(), i)) rules.push_back(*rule);
  }
  return rules;
}

bool SameRule(const RuleDescription& a, const RuleDescription& b) {
  return a.type == b.type && a.topic == b.topic && a.data_type == b.data_type &&
         a.src.domain_id == b.src.domain_id && a.src.reliable == b.src.reliable &&
         a.dst.domain_id == b.dst.domain_id && a.dst.reliable == b.dst.reliable;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const ScratchFile file;
  // The rejection messages are part of what is fuzzed (arbitrary texts in
  // printf arguments, lines cut at the logger's limit).
  logger_global()->level = LOGGER_ERROR;
  file.Write(data, size);

  const std::optional<AppConfig> loaded = AppConfig::LoadFromYamlFile(file.path());
  const std::optional<std::vector<RuleDescription>> expected = ModelLoad(file.path());
  FUZZ_CHECK(loaded.has_value() == expected.has_value(), "loader and model disagree on the file");
  if (!loaded) return 0;

  const std::vector<RuleDescription>& rules = loaded->GetRuleList();
  FUZZ_CHECK(rules.size() == expected->size(), "loader and model accept different rule counts");
  for (size_t i = 0; i < rules.size(); ++i) {
    const RuleDescription& rule = rules[i];
    FUZZ_CHECK(rule.type == RuleType::kDds || rule.type == RuleType::kRosMsg ||
                   rule.type == RuleType::kRosService || rule.type == RuleType::kRosAction,
               "accepted rule has no valid type");
    FUZZ_CHECK(!rule.topic.empty(), "accepted rule has an empty topic");
    FUZZ_CHECK(!rule.data_type.empty(), "accepted rule has an empty data type");
    FUZZ_CHECK(SameRule(rule, (*expected)[i]), "loader and model differ on an accepted rule");
  }
  return 0;
}
