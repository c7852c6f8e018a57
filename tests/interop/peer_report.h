// The lines the peers print on standard output, one event per line: the event
// name, then space-separated key=value fields. Tests read them back with
// ParseReportLine. Diagnostics go to standard error.
//
//   ready domain=D topic=T type=Y          reader or writer created
//   matched readers=N | matched writers=N  the matched count changed
//   sent seq=S size=N crc=C stamp=NS        one write, with its source timestamp
//   recv seq=S size=N crc=C stamp=NS intact=0|1
//   acked                                   all readers acknowledged (reliable)
//   done ...                                counts; then the process exits
//   fail reason=WORD                        then the process exits non-zero
//
// C is the CRC-32 of the payload in 8 hex digits, NS the source timestamp in
// nanoseconds since the epoch.

#ifndef CORVANE_TESTS_INTEROP_PEER_REPORT_H_
#define CORVANE_TESTS_INTEROP_PEER_REPORT_H_

#include <map>
#include <string>

#include "tests/interop/peer_payload.h"

// "sent ..." or "recv ..." for `sample`; `intact` is appended for "recv".
std::string FormatSampleLine(const std::string& event, const PeerSample& sample);
std::string FormatReceivedLine(const PeerSample& sample, bool intact);

struct ReportLine {
  std::string event;
  std::map<std::string, std::string> fields;

  // The value of `key`, or an empty string.
  std::string Field(const std::string& key) const;
};

// Splits one output line; false for an empty line or a field without "=".
bool ParseReportLine(const std::string& line, ReportLine* report);

#endif  // CORVANE_TESTS_INTEROP_PEER_REPORT_H_
