#ifndef CORVANE_TESTS_FAULT_FAULT_SUPPORT_H_
#define CORVANE_TESTS_FAULT_FAULT_SUPPORT_H_

// Helpers of the fault tests: how many times to repeat, what /proc tells
// about a process, and what a ddsperf subscriber has received.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace corvane_fault {

// True when CORVANE_LONG_FAULT_TESTS is set to a value other than "0".
bool LongFaultTests();

// `quick` runs in a normal test pass, `full` in a long one.
int Repetitions(int quick, int full);

// A figure from /proc/<pid>/status ("VmRSS", "VmHWM", "Threads", ...), in the
// unit the kernel uses there (kB for sizes). -1 when it cannot be read.
long ProcStatusValue(pid_t pid, const std::string& field);

// True while `pid` exists and has not yet ended (a zombie has ended).
bool IsAlive(pid_t pid);

// The total of the last statistics line of a ddsperf subscriber so far.
uint64_t ReceivedSoFar(const corvane_test::ChildProcess& sub);

// Polls `done` every 10 ms until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// Waits until the subscriber's total has grown by at least `count` beyond
// `from`. False when it does not within `timeout`.
bool WaitForReceived(const corvane_test::ChildProcess& sub, uint64_t from, uint64_t count,
                     std::chrono::milliseconds timeout);

// ddsperf with `args` in `domain`, started; null with the reason in `error`.
// Ends by itself after `seconds` at the latest.
std::unique_ptr<corvane_test::ChildProcess> StartDdsperf(int domain, int seconds,
                                                         const std::vector<std::string>& args,
                                                         std::string* error);

// Asks a ddsperf to end and reaps it; SIGKILL when it does not end in time.
void StopDdsperf(corvane_test::ChildProcess* ddsperf);

// Milliseconds from `since` to now.
long ElapsedMs(std::chrono::steady_clock::time_point since);

}  // namespace corvane_fault

#endif  // CORVANE_TESTS_FAULT_FAULT_SUPPORT_H_
