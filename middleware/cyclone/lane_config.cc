// The user's Cyclone configuration rewritten for an extra instance of a DDS domain.

#include "middleware/cyclone/lane_config.h"

#include <fstream>
#include <regex>
#include <sstream>

namespace corvane_dds {
namespace {

constexpr char kVariable[] = "CYCLONEDDS_DOMAIN_ID";
constexpr char kSpeltVariable[] = "${CYCLONEDDS_DOMAIN_ID}";

// `text` with every ${CYCLONEDDS_DOMAIN_ID} spelt out as `domain`; false when
// the variable appears in any other form.
bool SpellOutVariable(const std::string& text, uint32_t domain, std::string* out) {
  std::string result;
  size_t from = 0;
  for (size_t at = text.find(kSpeltVariable); at != std::string::npos;
       at = text.find(kSpeltVariable, from)) {
    result.append(text, from, at - from).append(std::to_string(domain));
    from = at + sizeof(kSpeltVariable) - 1;
  }
  result.append(text, from, std::string::npos);
  if (result.find(kVariable) != std::string::npos) return false;
  *out = std::move(result);
  return true;
}

bool ReadFile(const std::string& path, std::string* out) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) return false;
  *out = text.str();
  return true;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Whether the digits `digits` spell `number`, leading zeros allowed.
bool SameNumber(const std::string& digits, uint32_t number) {
  const size_t first = digits.find_first_not_of('0');
  const std::string significant = first == std::string::npos ? "0" : digits.substr(first);
  return significant == std::to_string(number);
}

}  // namespace

bool RenameDomainSections(const std::string& text, uint32_t domain, uint32_t instance,
                          std::string* out) {
  std::string spelt;
  if (!SpellOutVariable(text, domain, &spelt)) return false;
  // Cyclone compares element and attribute names without regard to case.
  static const std::regex kTag(R"(<\s*Domain\b[^>]*>)", std::regex::icase);
  static const std::regex kId(R"((\bid\s*=\s*)(["'])\s*([0-9]+)\s*\2)", std::regex::icase);
  std::string result;
  auto last = spelt.cbegin();
  for (std::sregex_iterator tag(spelt.cbegin(), spelt.cend(), kTag), end; tag != end; ++tag) {
    result.append(last, (*tag)[0].first);
    std::string element = tag->str();
    std::smatch id;
    if (std::regex_search(element, id, kId) && SameNumber(id[3].str(), domain)) {
      element = id.prefix().str() + id[1].str() + id[2].str() + std::to_string(instance) +
                id[2].str() + id.suffix().str();
    }
    result.append(element);
    last = (*tag)[0].second;
  }
  result.append(last, spelt.cend());
  *out = std::move(result);
  return true;
}

bool LaneConfig(const std::string& uri, uint32_t domain, uint32_t instance, std::string* out) {
  std::string inline_xml;
  size_t from = 0;
  while (from < uri.size()) {
    const size_t comma = uri.find(',', from);
    std::string item = Trimmed(uri.substr(from, comma == std::string::npos ? comma : comma - from));
    if (!item.empty() && item[0] == '<') {
      // Inline XML runs to the end: commas may stand inside it. A file named
      // after it cannot be told apart, so the text must end in XML.
      const std::string rest = Trimmed(uri.substr(from));
      if (rest.back() != '>') return false;
      inline_xml.append(inline_xml.empty() ? "" : ",").append(rest);
      break;
    }
    from = comma == std::string::npos ? uri.size() : comma + 1;
    if (item.empty()) continue;
    if (item.compare(0, 7, "file://") == 0) item.erase(0, 7);
    std::string path;
    std::string text;
    if (!SpellOutVariable(item, domain, &path) || path.find('$') != std::string::npos ||
        !ReadFile(path, &text)) {
      return false;
    }
    // The XML declaration of a file may not stand inside a list.
    static const std::regex kDeclaration(R"(^\s*<\?xml[^>]*\?>)");
    inline_xml.append(inline_xml.empty() ? "" : ",")
        .append(std::regex_replace(text, kDeclaration, ""));
  }
  return RenameDomainSections(inline_xml, domain, instance, out);
}

}  // namespace corvane_dds
