#include "tests/interop/peer_runner.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

#include "tests/interop/peer_report.h"

namespace {

using Clock = std::chrono::steady_clock;

// Margin past --timeout after which SIGALRM ends a peer stuck inside DDS.
const unsigned HARD_STOP_MARGIN_SECONDS = 10;
// Best-effort writes get no acknowledgment; this pause lets them leave
// before the writer is deleted.
const std::chrono::milliseconds BEST_EFFORT_LINGER(300);
// A subscriber stays this long after the last expected sample: duplicates
// still show, and the reader answers the writer's next heartbeat, which
// writers that do not piggyback heartbeats on data need to see everything
// acknowledged.
const std::chrono::milliseconds SUBSCRIBER_LINGER(500);
const std::chrono::milliseconds POLL_STEP(20);

void PrintLine(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int64_t WallClockNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::chrono::nanoseconds Remaining(Clock::time_point deadline) {
  return std::max(std::chrono::nanoseconds::zero(), deadline - Clock::now());
}

bool WaitForReaders(const PeerOptions& options, Clock::time_point deadline,
                    PeerEndpoint* endpoint) {
  int reported = -1;
  for (;;) {
    const int matched = endpoint->MatchedCount();
    if (matched != reported) {
      PrintLine("matched readers=" + std::to_string(matched));
      reported = matched;
    }
    if (matched >= static_cast<int>(options.readers)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(POLL_STEP);
  }
}

int RunPublisher(const PeerOptions& options, Clock::time_point deadline, PeerEndpoint* endpoint) {
  if (!WaitForReaders(options, deadline, endpoint)) {
    PrintLine("fail reason=no-match");
    return 1;
  }
  std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(
      std::chrono::milliseconds(options.settle_ms), Remaining(deadline)));
  for (uint32_t seq = 1; seq <= options.count; ++seq) {
    if (Clock::now() >= deadline) {
      PrintLine("fail reason=timeout");
      return 1;
    }
    PeerSample sample;
    sample.seq = seq;
    sample.payload = MakePayload(options.kind, seq, options.size);
    sample.source_timestamp_ns = WallClockNanoseconds();
    if (!endpoint->Write(sample)) {
      PrintLine("fail reason=write seq=" + std::to_string(seq));
      return 1;
    }
    PrintLine(FormatSampleLine("sent", sample));
    if (seq < options.count)
      std::this_thread::sleep_for(std::chrono::milliseconds(options.period_ms));
  }
  if (options.reliable) {
    if (!endpoint->WaitForAcknowledgments(Remaining(deadline))) {
      PrintLine("fail reason=unacknowledged");
      return 1;
    }
    PrintLine("acked");
  } else {
    std::this_thread::sleep_for(
        std::min<std::chrono::nanoseconds>(BEST_EFFORT_LINGER, Remaining(deadline)));
  }
  PrintLine("done sent=" + std::to_string(options.count));
  return 0;
}

// Counts of what a subscriber received, by sequence number 1..count.
class ReceiptLedger {
 public:
  explicit ReceiptLedger(const PeerOptions& options)
      : options_(options), seen_(options.count + 1, false) {}

  void Record(const PeerSample& sample) {
    ++received_;
    const bool intact = IsIntact(sample);
    PrintLine(FormatReceivedLine(sample, intact));
    if (!intact) {
      ++corrupt_;
    } else if (seen_[sample.seq]) {
      ++duplicate_;
    } else {
      if (sample.seq < highest_) ++out_of_order_;
      highest_ = std::max(highest_, sample.seq);
      seen_[sample.seq] = true;
      ++distinct_;
    }
  }

  bool Complete() const { return distinct_ == options_.count; }

  bool HasBadSamples() const { return corrupt_ != 0 || duplicate_ != 0 || out_of_order_ != 0; }

  bool Succeeded() const { return !HasBadSamples() && distinct_ >= options_.min_count; }

  std::string Summary() const {
    return "done received=" + std::to_string(received_) + " intact=" + std::to_string(distinct_) +
           " corrupt=" + std::to_string(corrupt_) + " duplicate=" + std::to_string(duplicate_) +
           " out_of_order=" + std::to_string(out_of_order_) +
           " missing=" + std::to_string(options_.count - distinct_);
  }

 private:
  bool IsIntact(const PeerSample& sample) const {
    return sample.well_formed && sample.seq >= 1 && sample.seq <= options_.count &&
           sample.payload == MakePayload(options_.kind, sample.seq, options_.size);
  }

  const PeerOptions& options_;
  std::vector<bool> seen_;
  uint32_t received_ = 0;
  uint32_t distinct_ = 0;
  uint32_t corrupt_ = 0;
  uint32_t duplicate_ = 0;
  uint32_t out_of_order_ = 0;
  uint32_t highest_ = 0;
};

int RunSubscriber(const PeerOptions& options, Clock::time_point deadline, PeerEndpoint* endpoint) {
  ReceiptLedger ledger(options);
  int reported = -1;
  std::vector<PeerSample> batch;
  Clock::time_point end = deadline;
  bool lingering = false;
  while (Clock::now() < end) {
    const int matched = endpoint->MatchedCount();
    if (matched != reported) {
      PrintLine("matched writers=" + std::to_string(matched));
      reported = matched;
    }
    batch.clear();
    endpoint->Take(std::min<std::chrono::nanoseconds>(POLL_STEP * 5, Remaining(end)), &batch);
    for (const PeerSample& sample : batch) ledger.Record(sample);
    if (ledger.Complete() && !lingering) {
      lingering = true;
      end = std::min(deadline, Clock::now() + SUBSCRIBER_LINGER);
    }
  }
  PrintLine(ledger.Summary());
  if (ledger.Succeeded()) return 0;
  PrintLine(ledger.HasBadSamples() ? "fail reason=bad-samples" : "fail reason=missing");
  return 1;
}

}  // namespace

int PeerMain(int argc, const char* const* argv, PeerEndpointFactory create) {
  PeerOptions options;
  std::string error;
  if (!ParsePeerOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "%s\n%s", error.c_str(), PeerUsage());
    return 2;
  }
  alarm(static_cast<unsigned>(std::ceil(options.timeout_seconds)) + HARD_STOP_MARGIN_SECONDS);
  const Clock::time_point deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(options.timeout_seconds));
  std::unique_ptr<PeerEndpoint> endpoint = create(options);
  if (!endpoint) {
    PrintLine("fail reason=setup");
    return 2;
  }
  PrintLine("ready domain=" + std::to_string(options.domain_id) + " topic=" + options.topic +
            " type=" + TypeNameOf(options.kind));
  return options.role == PeerRole::kPublisher ? RunPublisher(options, deadline, endpoint.get())
                                              : RunSubscriber(options, deadline, endpoint.get());
}
