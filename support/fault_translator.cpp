#include "support/fault_translator.h"

#include <atomic>

#include "platform/fault_signals.h"
#include "support/errors.h"

namespace {

std::atomic<FaultDumpHook> dumpHook{nullptr};

[[noreturn]] void raiseFault(uint32_t code) {
  if (FaultDumpHook hook = dumpHook.load()) hook(code);
  throw cwrpexception(code);
}

} // namespace

FaultTranslatorScope::FaultTranslatorScope() {
  platform::faults::install(&raiseFault);
  previous_ = platform::faults::setTranslating(true);
}

FaultTranslatorScope::~FaultTranslatorScope() { platform::faults::setTranslating(previous_); }

void setFaultDumpHook(FaultDumpHook hook) noexcept { dumpHook.store(hook); }
