// The layer's Cyclone domain instances and their configuration.

#include <dds/ddsrt/environ.h>
#include <dds/ddsrt/heap.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <utility>

#include "middleware/dds_domain_config_internal.h"

namespace corvane_dds {
namespace {

// Internal ids far above the DDS domain ids (0..232) that other code uses.
constexpr uint32_t kInternalIdBase = 0x40000000u;

// Batched writes: a delivery thread flushes its writers once it has drained
// its reader, so a burst of samples leaves in few datagrams instead of one
// sendmsg per sample.
constexpr char kTuning[] = "<Internal><WriteBatch>true</WriteBatch></Internal>";

std::string ReadFile(const std::string& path, bool* ok) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  *ok = in.good() || in.eof();
  return text.str();
}

// A file's XML as an inline source: its XML declaration and other processing
// instructions would end an inline fragment.
std::string InlineXml(const std::string& xml) {
  static const std::regex kProcessingInstruction(R"(<\?[^>]*\?>)");
  return std::regex_replace(xml, kProcessingInstruction, "");
}

// <Domain id="N"> (any quoting and spacing) becomes <Domain id="any">.
std::string RenameDomainSections(const std::string& xml, dds_DomainId_t domain_id) {
  static const std::regex kDomainId(R"((<\s*Domain\b[^>]*?\bid\s*=\s*)(["'])\s*([0-9]+)\s*\2)");
  std::string result;
  auto last = xml.cbegin();
  for (std::sregex_iterator it(xml.begin(), xml.end(), kDomainId), end; it != end; ++it) {
    const std::smatch& match = *it;
    result.append(last, match[0].first);
    if (std::stoll(match[3].str()) == domain_id) {
      result.append(match[1].str()).append("\"any\"");
    } else {
      result.append(match[0].str());
    }
    last = match[0].second;
  }
  result.append(last, xml.cend());
  return result;
}

// Inlines the sources named with file:// that can be read; the others stay
// as they are, for Cyclone to read (or to refuse) itself.
std::string InlineFiles(const std::string& uri) {
  static const std::regex kFileSource(R"((^|,)\s*file://([^,]*))");
  std::string result;
  auto last = uri.cbegin();
  for (std::sregex_iterator it(uri.begin(), uri.end(), kFileSource), end; it != end; ++it) {
    const std::smatch& match = *it;
    result.append(last, match[0].first);
    bool ok = false;
    const std::string xml = ReadFile(match[2].str(), &ok);
    result.append(match[1].str())
        .append(ok ? InlineXml(xml) : match[0].str().substr(match[1].length()));
    last = match[0].second;
  }
  result.append(last, uri.cend());
  return result;
}

std::string ExpandEnvironment(const char* text, dds_DomainId_t domain_id) {
  char* expanded = ddsrt_expand_envvars(text, static_cast<uint32_t>(domain_id));
  if (expanded == nullptr) return text;
  std::string result(expanded);
  ddsrt_free(expanded);
  return result;
}

struct Registry {
  std::mutex mutex;
  std::map<uint32_t, std::weak_ptr<CycloneDomain>> domains;
};

Registry& TheRegistry() {
  // Never destroyed: static objects that hold instances may go after it.
  static Registry* registry = new Registry;
  return *registry;
}

}  // namespace

uint32_t InternalDomainId(dds_DomainId_t domain_id) {
  return kInternalIdBase + static_cast<uint32_t>(domain_id);
}

std::string DomainConfig(dds_DomainId_t domain_id, const char* user_uri) {
  std::string config = kTuning;
  if (user_uri != nullptr && *user_uri != '\0') {
    config.append(",").append(
        RenameDomainSections(InlineFiles(ExpandEnvironment(user_uri, domain_id)), domain_id));
  }
  config.append(",<Discovery><ExternalDomainId>")
      .append(std::to_string(domain_id))
      .append("</ExternalDomainId></Discovery>");
  return config;
}

CycloneDomain::~CycloneDomain() {
  // Under the registry's lock, so that the id is free again before anyone
  // can ask for a new instance of it.
  std::lock_guard<std::mutex> lock(TheRegistry().mutex);
  dds_delete(handle_);
}

std::shared_ptr<CycloneDomain> AcquireCycloneDomain(dds_DomainId_t domain_id) {
  if (domain_id < 0) return nullptr;
  const uint32_t internal_id = InternalDomainId(domain_id);
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  std::weak_ptr<CycloneDomain>& slot = registry.domains[internal_id];
  if (std::shared_ptr<CycloneDomain> existing = slot.lock()) return existing;
  const std::string config = DomainConfig(domain_id, std::getenv("CYCLONEDDS_URI"));
  const dds_entity_t handle = dds_create_domain(internal_id, config.c_str());
  if (handle <= 0) {
    registry.domains.erase(internal_id);
    return nullptr;
  }
  auto domain = std::make_shared<CycloneDomain>(CycloneDomain::Token{}, internal_id, handle);
  slot = domain;
  return domain;
}

}  // namespace corvane_dds
