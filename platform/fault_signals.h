// Processor faults of a thread (SIGSEGV, SIGBUS, SIGFPE, SIGILL), standing in
// for Windows structured exceptions: while a thread translates them, a fault
// calls the process's raiser with the Windows exception code, and the raiser
// leaves by throwing. A thread that does not translate keeps the system's
// default behaviour (the process ends).
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

} // namespace platform::faults
