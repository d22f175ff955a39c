#include "platform/fault_signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>

namespace platform::faults {

namespace {

thread_local bool translating = false;
std::atomic<Raiser> raiser{nullptr};
struct sigaction previousActions[4];
constexpr int kSignals[4] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

// The write end of the reporter's pipe; -1 while there is no reporter.
std::atomic<int> reportPipe{-1};
// Set by the first sent signal: the process is on its way out.
std::atomic<bool> ending{false};

// A forked copy (a worker) has no reporter thread, and the pipe it would
// inherit leads to its parent's: a signal sent to the copy ends the copy
// alone, at once, and its parent tells how it ended.
void forgetReporterInChild() {
  reportPipe.store(-1);
  ending.store(false);
}
[[maybe_unused]] const int atforkRegistered = ::pthread_atfork(nullptr, nullptr, forgetReporterInChild);

uint32_t codeOf(int sig) {
  switch (sig) {
    case SIGSEGV: return AccessViolation;
    case SIGBUS: return InPageError;
    case SIGFPE: return IntegerDivideByZero;
    default: return IllegalInstruction;
  }
}

// kill, sigqueue and tgkill; a fault the processor raised has a positive code.
bool sentByAnyone(int code) { return code == SI_USER || code == SI_QUEUE || code == SI_TKILL; }

// Ends the process by the signal, as its default action does.
[[noreturn]] void endBy(int sig) noexcept {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  _exit(128 + sig);
}

void onFault(int sig, siginfo_t* info, void*) {
  if (info && takeSentSignal(sig, info->si_code, info->si_pid)) return;
  const Raiser raise = raiser.load();
  if (!translating || raise == nullptr) {
    // A signal this process sent itself has no instruction to run again.
    if (info && sentByAnyone(info->si_code)) endBy(sig);
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

// SIGABRT while nothing else handles it: a sent one is reported, an abort
// of this process ends it as before.
void onAbort(int sig, siginfo_t* info, void*) {
  if (info && takeSentSignal(sig, info->si_code, info->si_pid)) return;
  endBy(sig);
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

void reportOnThisThread(SentSignalReporter reporter, int readEnd) {
  int record[2] = {0, 0};
  for (;;) {
    const ssize_t n = ::read(readEnd, record, sizeof record);
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof record)) return;
    break;
  }
  reporter(record[0], record[1]);
  endBy(record[0]);
}

} // namespace

void install(Raiser r) {
  static std::once_flag once;
  std::call_once(once, [r] { raiser.store(r); });
  installHandlers();
}

bool setTranslating(bool on) noexcept {
  const bool previous = translating;
  translating = on;
  return previous;
}

void setStartDispositions() {
  struct sigaction sa {};
  sigemptyset(&sa.sa_mask);
  sa.sa_handler = SIG_DFL;
  sigaction(SIGCHLD, &sa, nullptr);
  sa.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &sa, nullptr);
  // A blocked fault signal cannot be translated: the kernel ends the process.
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : kSignals) sigaddset(&set, sig);
  sigaddset(&set, SIGABRT);
  sigaddset(&set, SIGCHLD);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void reportSentSignals(SentSignalReporter reporter) {
  static std::once_flag once;
  std::call_once(once, [reporter] {
    installHandlers();
    struct sigaction current {};
    if (sigaction(SIGABRT, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
        current.sa_handler == SIG_DFL) {
      struct sigaction sa {};
      sa.sa_sigaction = onAbort;
      sa.sa_flags = SA_SIGINFO;
      sigemptyset(&sa.sa_mask);
      sigaction(SIGABRT, &sa, nullptr);
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;  // sent signals then end the process at once
    // The reporter takes no signal of its own: they go to the threads at work.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    std::thread(reportOnThisThread, reporter, fds[0]).detach();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    reportPipe.store(fds[1]);
  });
}

bool takeSentSignal(int signal, int code, int senderPid) noexcept {
  if (!sentByAnyone(code) || senderPid == ::getpid()) return false;
  if (ending.exchange(true)) return true;  // already reported and ending
  const int saved = errno;
  const int fd = reportPipe.load();
  const int record[2] = {signal, senderPid};
  if (fd < 0 || ::write(fd, record, sizeof record) != static_cast<ssize_t>(sizeof record)) endBy(signal);
  errno = saved;
  return true;
}

const char* signalName(int signal) {
  switch (signal) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: {
      thread_local char text[24];
      std::snprintf(text, sizeof text, "signal %d", signal);
      return text;
    }
  }
}

} // namespace platform::faults
