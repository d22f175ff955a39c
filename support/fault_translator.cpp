#include "support/fault_translator.h"

#include <atomic>
#include <csignal>
#include <mutex>

#include "support/errors.h"

namespace {

thread_local bool tlsTranslating = false;
std::atomic<FaultDumpHook> dumpHook{nullptr};
struct sigaction previousActions[4];
constexpr int kSignals[4] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

uint32_t codeOf(int sig) {
  switch (sig) {
    case SIGSEGV: return fault_code::AccessViolation;
    case SIGBUS: return fault_code::InPageError;
    case SIGFPE: return fault_code::IntegerDivideByZero;
    default: return fault_code::IllegalInstruction;
  }
}

void onFault(int sig, siginfo_t*, void*) {
  if (!tlsTranslating) {
    // No guard on this thread: behave as if we never handled it.
    for (int i = 0; i < 4; ++i)
      if (kSignals[i] == sig) sigaction(sig, &previousActions[i], nullptr);
    return;  // the faulting instruction runs again and meets the previous action
  }
  // The handler runs without the translation; it comes back at the handler's end.
  tlsTranslating = false;
  struct Restore {
    ~Restore() { tlsTranslating = true; }
  } restore;
  const uint32_t code = codeOf(sig);
  if (FaultDumpHook hook = dumpHook.load()) hook(code);
  // Leaving the handler by an exception skips the kernel's sigreturn, so the
  // signal would stay blocked: unblock it first.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  throw cwrpexception(code);
}

void installHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (int i = 0; i < 4; ++i) {
      struct sigaction sa {};
      sa.sa_sigaction = onFault;
      sa.sa_flags = SA_SIGINFO | SA_NODEFER;
      sigemptyset(&sa.sa_mask);
      sigaction(kSignals[i], &sa, &previousActions[i]);
    }
  });
}

} // namespace

FaultTranslatorScope::FaultTranslatorScope() : previous_(tlsTranslating) {
  installHandlers();
  tlsTranslating = true;
}

FaultTranslatorScope::~FaultTranslatorScope() { tlsTranslating = previous_; }

void setFaultDumpHook(FaultDumpHook hook) noexcept { dumpHook.store(hook); }
