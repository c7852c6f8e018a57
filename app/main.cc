// corvane: relays DDS samples between DDS domains as described by a YAML rule
// file, until SIGINT or SIGTERM; SIGUSR1 writes the rules' counters.

#include <semaphore.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/rule_set.h"
#include "app/xgetopt.h"
#include "middleware/arch.h"
#include "middleware/logger.h"
#include "middleware/rule_stats.h"

namespace {

const char kVersion[] = "2.1.0";
const char kConfigEnv[] = "CORVANE_CONFIG";
const char kLocalConfig[] = "bridge.yaml";
const char kDefaultConfig[] = "/etc/zerudevav/ostrakit/bridge/bridge.yaml";

// Cleared by the stop handler only. Lock-free, so the handler may touch it.
std::atomic<bool> is_running{true};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag must be signal-safe");

// Set by the SIGUSR1 handler, cleared by the main thread once it has written
// the counters.
std::atomic<bool> counters_requested{false};

// The signal handler's wake-up. sem_post is async-signal-safe and the count
// remembers a post made before the wait begins, so no request is lost.
sem_t wake;

// How often the main thread writes pending match changes, and how often the
// counters of the rules that changed.
constexpr std::chrono::milliseconds kMatchTick{250};
constexpr std::chrono::seconds kSummaryPeriod{10};

void PrintUsage() {
  std::fputs(
      "Usage: ./corvane [OPTION]\n"
      "\n"
      "OPTIONAL ARGUMENTS:\n"
      "  -h, --help\n"
      "  -c, --config <config_path>\n"
      "    If corvane is implemented without option, it will check below paths\n"
      "      1. Environment variable: CORVANE_CONFIG\n"
      "      2. Current directory: ./bridge.yaml\n"
      "      3. Default path: /etc/zerudevav/ostrakit/bridge/bridge.yaml\n",
      stdout);
}

void OnSignalHandler(int signum) {
  if (signum != SIGINT && signum != SIGTERM && signum != SIGUSR1) return;
  const int saved_errno = errno;
  if (signum == SIGUSR1) {
    counters_requested.store(true);
  } else {
    is_running.store(false);
  }
  sem_post(&wake);
  errno = saved_errno;
}

// Sleeps until a signal posts `wake` or `timeout` passes.
void WaitForWake(std::chrono::milliseconds timeout) {
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  const long long ns = deadline.tv_nsec + timeout.count() * 1000000LL;
  deadline.tv_sec += static_cast<time_t>(ns / 1000000000LL);
  deadline.tv_nsec = static_cast<long>(ns % 1000000000LL);
  if (sem_clockwait(&wake, CLOCK_MONOTONIC, &deadline) != 0 && errno != EINTR &&
      errno != ETIMEDOUT) {
    std::abort();
  }
}

// Until a stop signal has cleared is_running, bridges what pattern rules
// find and writes what the rules do: the counters when SIGUSR1 asks for them,
// match changes as they come, and every kSummaryPeriod the counters of the
// rules that changed.
void RunUntilStop(RuleSet& rule_set) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point next_summary = Clock::now() + kSummaryPeriod;
  while (is_running.load()) {
    WaitForWake(kMatchTick);
    if (!is_running.load()) break;
    rule_set.Poll();
    rulestats_log_match_changes(LOGGER_INFO);
    if (counters_requested.exchange(false)) rulestats_log_counters(LOGGER_INFO, false);
    if (Clock::now() >= next_summary) {
      rulestats_log_counters(LOGGER_DEBUG, true);
      next_summary = Clock::now() + kSummaryPeriod;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // The stop handler comes first, so that a stop during a long start-up still
  // tears down in order: the wait below is then never entered.
  if (sem_init(&wake, 0, 0) != 0) return 1;
  std::signal(SIGINT, OnSignalHandler);
  std::signal(SIGTERM, OnSignalHandler);

  const x_option long_options[] = {
      {"help", 0, nullptr, 'h'},
      {"config", 1, nullptr, 'c'},
      {nullptr, 0, nullptr, 0},
  };
  const char* user_path = nullptr;
  for (;;) {
    const int opt = x_getopt_long(argc, argv, "hc:", long_options, nullptr);
    if (opt == -1) break;
    if (opt == 'c') {
      user_path = x_optarg;
    } else if (opt == 'h') {
      PrintUsage();
      return 0;
    } else {
      PrintUsage();
      return 1;
    }
  }

  std::string config_path;
  if (user_path != nullptr) {
    if (!arch_fexists(user_path)) {
      logger_log(LOGGER_ERROR, "Failed to set configuration from user path");
      PrintUsage();
      return 1;
    }
    logger_log(LOGGER_INFO, "Bridge configures are referenced by user path");
    config_path = user_path;
  }
  if (config_path.empty()) {
    const char* env_path = std::getenv(kConfigEnv);
    std::string candidate = env_path != nullptr ? env_path : kLocalConfig;
    if (!arch_fexists(candidate.c_str())) candidate = kDefaultConfig;
    if (!arch_fexists(candidate.c_str())) {
      PrintUsage();
      return -1;
    }
    config_path = candidate;
  }

  // A counters request while the rules are loaded is answered once they run.
  std::signal(SIGUSR1, OnSignalHandler);

  RuleSet rule_set;
  const int status = rule_set.Start(config_path);
  if (status != 0) return status;

  logger* lg = logger_global();
  if (lg->level <= LOGGER_INFO) {
    logger_write(lg, LOGGER_INFO, 0, 0, 0, "TavrinDDS Corvane v%s is running, please wait...",
                 kVersion);
    if (lg->level <= LOGGER_INFO)
      logger_write(lg, LOGGER_INFO, 0, 0, 0, "Press Ctrl + c if you want to leave corvane.");
  }

  RunUntilStop(rule_set);

  rule_set.Release();
  // The semaphore is left alone: a late signal may still post to it.
  return 0;
}
