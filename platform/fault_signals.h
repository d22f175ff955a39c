// Processor faults of a thread (SIGSEGV, SIGBUS, SIGFPE, SIGILL), standing in
// for Windows structured exceptions: while a thread translates them, a fault
// calls the process's raiser with the Windows exception code, and the raiser
// leaves by throwing. A thread that does not translate keeps the system's
// default behaviour (the process ends).
//
// The same signals, and SIGABRT, sent by another process (kill, sigqueue,
// tgkill) are no fault of this process: they are never translated.
#pragma once

#include <cstdint>

namespace platform::faults {

constexpr uint32_t AccessViolation = 0xc0000005u;      // SIGSEGV
constexpr uint32_t InPageError = 0xc0000006u;          // SIGBUS
constexpr uint32_t IntegerDivideByZero = 0xc0000094u;  // SIGFPE
constexpr uint32_t IllegalInstruction = 0xc000001du;   // SIGILL

// Runs on the faulting thread inside the signal handler, with the signal
// unblocked again, and must throw. While it runs the thread does not
// translate, so a fault inside it ends the process.
using Raiser = void (*)(uint32_t code);

// Installs the handlers with the raiser, once per process; later calls do nothing.
void install(Raiser raiser);
// Turns the calling thread's translation on or off; answers the setting it had.
bool setTranslating(bool on) noexcept;

// Sets the dispositions the program relies on, whatever its starter left
// (schedulers and shells may start it with signals ignored): SIGCHLD back to
// the default, so that children can be waited for and their exit codes read
// (with SIGCHLD ignored the kernel reaps them unasked); SIGPIPE ignored, so
// that a write to a pipe whose reader has gone, the console among them,
// fails with EPIPE instead of ending the process.
void setStartDispositions();

// Called with a fault signal or SIGABRT that another process sent, on a
// thread of its own (not in a signal handler, so it may log). When it
// returns, the process ends by that signal, as a killed program does.
using SentSignalReporter = void (*)(int signal, int senderPid);
// From now on a fault signal or SIGABRT sent by another process goes to the
// reporter; once per process. Without a reporter such a signal ends the
// process at once.
void reportSentSignals(SentSignalReporter reporter);
// For the other handlers of these signals (the abort hook): when the signal
// of this si_code came from another process, hands it on as above and
// answers true; the handler then returns. Safe in a signal handler.
bool takeSentSignal(int signal, int code, int senderPid) noexcept;
// "SIGSEGV", "SIGABRT", ...; "signal N" for others.
const char* signalName(int signal);

} // namespace platform::faults
