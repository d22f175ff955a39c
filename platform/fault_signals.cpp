#include "platform/fault_signals.h"

#include <pthread.h>

#include <atomic>
#include <csignal>
#include <mutex>

namespace platform::faults {

namespace {

thread_local bool translating = false;
std::atomic<Raiser> raiser{nullptr};
struct sigaction previousActions[4];
constexpr int kSignals[4] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

uint32_t codeOf(int sig) {
  switch (sig) {
    case SIGSEGV: return AccessViolation;
    case SIGBUS: return InPageError;
    case SIGFPE: return IntegerDivideByZero;
    default: return IllegalInstruction;
  }
}

void onFault(int sig, siginfo_t*, void*) {
  const Raiser raise = raiser.load();
  if (!translating || raise == nullptr) {
    // Not translated on this thread: behave as if we never handled it.
    for (int i = 0; i < 4; ++i)
      if (kSignals[i] == sig) sigaction(sig, &previousActions[i], nullptr);
    return;  // the faulting instruction runs again and meets the previous action
  }
  // The raiser runs without the translation; it comes back as the exception leaves.
  translating = false;
  struct Restore {
    ~Restore() { translating = true; }
  } restore;
  // Leaving the handler by an exception skips the kernel's sigreturn, so the
  // signal would stay blocked: unblock it first.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(codeOf(sig));
}

} // namespace

void install(Raiser r) {
  static std::once_flag once;
  std::call_once(once, [r] {
    raiser.store(r);
    for (int i = 0; i < 4; ++i) {
      struct sigaction sa {};
      sa.sa_sigaction = onFault;
      sa.sa_flags = SA_SIGINFO | SA_NODEFER;
      sigemptyset(&sa.sa_mask);
      sigaction(kSignals[i], &sa, &previousActions[i]);
    }
  });
}

bool setTranslating(bool on) noexcept {
  const bool previous = translating;
  translating = on;
  return previous;
}

} // namespace platform::faults
