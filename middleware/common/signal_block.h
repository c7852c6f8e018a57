// Blocks the asynchronous signals while a thread of the layer is started.
#ifndef CORVANE_MIDDLEWARE_COMMON_SIGNAL_BLOCK_H_
#define CORVANE_MIDDLEWARE_COMMON_SIGNAL_BLOCK_H_

#include <pthread.h>
#include <signal.h>

namespace corvane_dds {

// Blocks the asynchronous signals in the calling thread while it lives, so
// that threads started meanwhile inherit the block: like Cyclone's own
// threads, the layer's take no asynchronous signals, and the process's stop
// handler runs on its main thread. Faults (SIGSEGV and the like) stay
// deliverable, for crash reports from the thread that faulted.
class SignalBlock {
 public:
  SignalBlock() {
    sigset_t blocked;
    sigfillset(&blocked);
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) {
      sigdelset(&blocked, fault);
    }
    pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
  }
  ~SignalBlock() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t previous_;
};

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_COMMON_SIGNAL_BLOCK_H_
