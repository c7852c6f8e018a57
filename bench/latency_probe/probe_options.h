// Command line of the latency probe:
//
//   latency_probe pub|sub [--domain N] [--topic NAME] [--rate HZ] [--size BYTES]
//                 [--duration S] [--warmup S] [--match-timeout S]
//
// Both sides must be given the same rate, duration and warm-up: the
// subscriber derives from them which sequence numbers form the measured
// window.

#ifndef CORVANE_BENCH_LATENCY_PROBE_PROBE_OPTIONS_H_
#define CORVANE_BENCH_LATENCY_PROBE_PROBE_OPTIONS_H_

#include <cstdint>
#include <string>

enum class ProbeMode { kPublish, kSubscribe };

// Serialized bytes of a sample without filler: stamp, sequence number and
// the filler's length field.
constexpr uint32_t kProbeFixedSampleBytes = 20;

struct ProbeOptions {
  ProbeMode mode = ProbeMode::kSubscribe;
  int domain_id = 110;
  std::string topic = "corvane_latency";
  double rate_hz = 1000;
  uint32_t size = 64;  // Serialized sample size, at least kProbeFixedSampleBytes.
  double duration_seconds = 10;
  double warmup_seconds = 2;  // Sent first and not measured: discovery, caches.
  // Longest wait for the first match (pub) or the first sample (sub).
  double match_timeout_seconds = 10;

  // Sequence numbers [FirstMeasuredSeq, EndSeq) are measured; the publisher
  // sends [0, EndSeq).
  uint64_t FirstMeasuredSeq() const;
  uint64_t EndSeq() const;
};

// Fills `options` from argv. On bad input returns false and sets `error`.
bool ParseProbeOptions(int argc, char* const* argv, ProbeOptions* options, std::string* error);

const char* ProbeUsage();

#endif  // CORVANE_BENCH_LATENCY_PROBE_PROBE_OPTIONS_H_
