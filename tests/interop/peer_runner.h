// The vendor-neutral part of an interoperability peer: option handling, the
// publisher and subscriber loops and their report lines (peer_report.h).
// Each vendor supplies a PeerEndpoint and a main that calls PeerMain.

#ifndef CORVANE_TESTS_INTEROP_PEER_RUNNER_H_
#define CORVANE_TESTS_INTEROP_PEER_RUNNER_H_

#include <chrono>
#include <memory>
#include <vector>

#include "tests/interop/peer_options.h"
#include "tests/interop/peer_payload.h"

// One vendor's writer (publisher role) or reader (subscriber role) on the
// topic and type of the options, with the options' reliability and
// durability and keep-all history. Used from one thread.
class PeerEndpoint {
 public:
  virtual ~PeerEndpoint() = default;

  // Readers matched to the writer, or writers matched to the reader.
  virtual int MatchedCount() = 0;

  // Writes `sample` with `sample.source_timestamp_ns` as source timestamp.
  virtual bool Write(const PeerSample& sample) = 0;

  // True once every matched reader acknowledged every written sample.
  virtual bool WaitForAcknowledgments(std::chrono::nanoseconds timeout) = 0;

  // Waits up to `timeout` for data, then appends every taken sample that
  // carries data to `samples`, with its source timestamp.
  virtual void Take(std::chrono::nanoseconds timeout, std::vector<PeerSample>* samples) = 0;
};

using PeerEndpointFactory = std::unique_ptr<PeerEndpoint> (*)(const PeerOptions& options);

// Parses the command line, creates the endpoint and runs the role. Returns
// the exit status: 0 on success, 1 when the run failed (no match, loss,
// corruption, timeout), 2 on bad options or when the endpoint could not be
// created.
int PeerMain(int argc, const char* const* argv, PeerEndpointFactory create);

#endif  // CORVANE_TESTS_INTEROP_PEER_RUNNER_H_
