#include "tests/interop/peer_report.h"

#include <cinttypes>
#include <cstdio>
#include <sstream>

std::string FormatSampleLine(const std::string& event, const PeerSample& sample) {
  char fields[128];
  std::snprintf(fields, sizeof fields, " seq=%" PRIu32 " size=%zu crc=%08" PRIx32 " stamp=%" PRId64,
                sample.seq, sample.payload.size(),
                Crc32(sample.payload.data(), sample.payload.size()), sample.source_timestamp_ns);
  return event + fields;
}

std::string FormatReceivedLine(const PeerSample& sample, bool intact) {
  return FormatSampleLine("recv", sample) + (intact ? " intact=1" : " intact=0");
}

std::string ReportLine::Field(const std::string& key) const {
  const auto it = fields.find(key);
  return it == fields.end() ? std::string() : it->second;
}

bool ParseReportLine(const std::string& line, ReportLine* report) {
  std::istringstream words(line);
  ReportLine parsed;
  if (!(words >> parsed.event)) return false;
  std::string word;
  while (words >> word) {
    const size_t equals = word.find('=');
    if (equals == std::string::npos || equals == 0) return false;
    parsed.fields[word.substr(0, equals)] = word.substr(equals + 1);
  }
  *report = std::move(parsed);
  return true;
}
