#include "tests/interop/interop_harness.h"

#include <map>
#include <set>
#include <sstream>

#include "tests/interop/peer_report.h"

namespace {

std::string FormatSeconds(double seconds) {
  std::ostringstream text;
  text << seconds;
  return text.str();
}

// The report lines of `event` in `output`, keyed by sequence number.
std::multimap<std::string, ReportLine> LinesBySeq(const std::vector<std::string>& output,
                                                  const std::string& event) {
  std::multimap<std::string, ReportLine> lines;
  for (const std::string& text : output) {
    ReportLine line;
    if (ParseReportLine(text, &line) && line.event == event) lines.emplace(line.Field("seq"), line);
  }
  return lines;
}

}  // namespace

const char* VendorName(Vendor vendor) {
  return vendor == Vendor::kFastDds ? "FastDds" : "Cyclone";
}

std::vector<std::string> PeerCommand(Vendor vendor, const std::string& role, int domain_id,
                                     const TrafficSpec& traffic) {
  const uint32_t min_count = traffic.min_count == 0 ? traffic.count : traffic.min_count;
  return {vendor == Vendor::kFastDds ? INTEROP_FASTDDS_PEER : INTEROP_CYCLONE_PEER,
          role,
          "--domain",
          std::to_string(domain_id),
          "--kind",
          traffic.kind,
          "--reliability",
          traffic.reliable ? "reliable" : "best-effort",
          "--durability",
          traffic.transient_local ? "transient-local" : "volatile",
          "--size",
          std::to_string(traffic.size),
          "--count",
          std::to_string(traffic.count),
          "--min-count",
          std::to_string(min_count),
          "--period-ms",
          std::to_string(traffic.period_ms),
          "--settle-ms",
          std::to_string(traffic.settle_ms),
          "--timeout",
          FormatSeconds(traffic.timeout_seconds),
          "--readers",
          "1"};
}

std::vector<std::string> PeerEnvironment() {
  // A DEFAULT_FASTRTPS_PROFILES.xml in the working directory must not add to
  // the loopback profile the Fast DDS peer loads.
  return {"SKIP_DEFAULT_XML_FILE=1"};
}

std::string CompareTraffic(const std::vector<std::string>& publisher_output,
                           const std::vector<std::string>& subscriber_output, bool expect_all) {
  const std::multimap<std::string, ReportLine> sent = LinesBySeq(publisher_output, "sent");
  const std::multimap<std::string, ReportLine> received = LinesBySeq(subscriber_output, "recv");
  if (sent.empty()) return "publisher sent nothing";
  if (received.empty()) return "subscriber received nothing";
  std::set<std::string> seen;
  for (const auto& [seq, line] : received) {
    if (line.Field("intact") != "1") return "sample " + seq + " arrived altered";
    if (!seen.insert(seq).second) return "sample " + seq + " arrived twice";
    const auto original = sent.find(seq);
    if (original == sent.end()) return "sample " + seq + " was never sent";
    for (const char* field : {"size", "crc", "stamp"}) {
      if (line.Field(field) != original->second.Field(field)) {
        return "sample " + seq + ": " + field + " " + line.Field(field) + " != sent " +
               original->second.Field(field);
      }
    }
  }
  if (expect_all && seen.size() != sent.size()) {
    return std::to_string(sent.size() - seen.size()) + " of " + std::to_string(sent.size()) +
           " samples lost";
  }
  return std::string();
}
