// Translation of processor faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL) into
// cwrpexception with the Windows codes 0xc0000005, 0xc0000006, 0xc0000094 and
// 0xc000001d. The translation is a per-thread setting: a scope installs it and
// its end restores the previous setting. A fault outside any scope keeps the
// system's default behaviour (the process ends).
#pragma once

#include <cstdint>

class FaultTranslatorScope {
 public:
  FaultTranslatorScope();
  ~FaultTranslatorScope();
  FaultTranslatorScope(const FaultTranslatorScope&) = delete;
  FaultTranslatorScope& operator=(const FaultTranslatorScope&) = delete;

 private:
  bool previous_ = false;
};

// Called in the fault path before cwrpexception is raised (crash dumps). It
// must only do what is safe in a signal handler. Null: no dump is written.
using FaultDumpHook = void (*)(uint32_t code) noexcept;
void setFaultDumpHook(FaultDumpHook hook) noexcept;
