#include "bench/latency_probe/probe_options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

bool ParseDouble(const char* text, double min, double max, double* value) {
  char* end = nullptr;
  errno = 0;
  const double parsed = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !std::isfinite(parsed) || parsed < min ||
      parsed > max) {
    return false;
  }
  *value = parsed;
  return true;
}

bool ParseInteger(const char* text, long min, long max, long* value) {
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed < min || parsed > max) return false;
  *value = parsed;
  return true;
}

uint64_t SamplesIn(double seconds, double rate_hz) {
  return static_cast<uint64_t>(std::llround(seconds * rate_hz));
}

}  // namespace

uint64_t ProbeOptions::FirstMeasuredSeq() const {
  return SamplesIn(warmup_seconds, rate_hz);
}

uint64_t ProbeOptions::EndSeq() const {
  return SamplesIn(warmup_seconds + duration_seconds, rate_hz);
}

const char* ProbeUsage() {
  return "usage: latency_probe pub|sub [--domain N] [--topic NAME] [--rate HZ]\n"
         "                     [--size BYTES] [--duration S] [--warmup S]\n"
         "                     [--match-timeout S]\n"
         "  pub writes samples stamped with CLOCK_MONOTONIC at a fixed rate;\n"
         "  sub prints one line: count lost median/p90/p99/max one-way latency (us).\n"
         "  Defaults: domain 110, topic corvane_latency, 1000 Hz, 64 B, 10 s after\n"
         "  a 2 s warm-up, 10 s match timeout. Give both sides the same values.\n";
}

bool ParseProbeOptions(int argc, char* const* argv, ProbeOptions* options, std::string* error) {
  static const option kLongOptions[] = {
      {"domain", required_argument, nullptr, 'd'},
      {"topic", required_argument, nullptr, 't'},
      {"rate", required_argument, nullptr, 'r'},
      {"size", required_argument, nullptr, 's'},
      {"duration", required_argument, nullptr, 'D'},
      {"warmup", required_argument, nullptr, 'w'},
      {"match-timeout", required_argument, nullptr, 'm'},
      {nullptr, 0, nullptr, 0},
  };
  ProbeOptions parsed;
  optind = 0;  // Full reinitialisation, so that repeated calls start afresh.
  opterr = 0;
  int opt;
  while ((opt = getopt_long(argc, argv, "d:t:r:s:D:w:m:", kLongOptions, nullptr)) != -1) {
    bool ok = true;
    long integer = 0;
    switch (opt) {
      case 'd':
        ok = ParseInteger(optarg, 0, 232, &integer);
        parsed.domain_id = static_cast<int>(integer);
        break;
      case 't':
        parsed.topic = optarg;
        ok = !parsed.topic.empty();
        break;
      case 'r':
        ok = ParseDouble(optarg, 0.1, 1e6, &parsed.rate_hz);
        break;
      case 's':
        ok = ParseInteger(optarg, kProbeFixedSampleBytes, 16 << 20, &integer);
        parsed.size = static_cast<uint32_t>(integer);
        break;
      case 'D':
        ok = ParseDouble(optarg, 0.001, 86400, &parsed.duration_seconds);
        break;
      case 'w':
        ok = ParseDouble(optarg, 0, 3600, &parsed.warmup_seconds);
        break;
      case 'm':
        ok = ParseDouble(optarg, 0.001, 3600, &parsed.match_timeout_seconds);
        break;
      default:
        *error = "unknown option or missing value";
        return false;
    }
    if (!ok) {
      *error = std::string("bad value: ") + optarg;
      return false;
    }
  }
  if (optind != argc - 1) {
    *error = "expected exactly one mode, pub or sub";
    return false;
  }
  const std::string mode = argv[optind];
  if (mode == "pub") {
    parsed.mode = ProbeMode::kPublish;
  } else if (mode == "sub") {
    parsed.mode = ProbeMode::kSubscribe;
  } else {
    *error = "unknown mode " + mode;
    return false;
  }
  if (parsed.EndSeq() <= parsed.FirstMeasuredSeq()) {
    *error = "duration too short for the rate: no sample to measure";
    return false;
  }
  *options = parsed;
  return true;
}
