#include "support/execution_context.h"

#include "platform/process_identity.h"

extern "C" {
ExecutionContext* m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22 = nullptr;
}

namespace {

constexpr const char* kVariableName = "m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22";

ExecutionContext* findOrMakeContext() {
  ExecutionContext* found = nullptr;
  platform::forEachModuleSymbol(kVariableName, [&found](void* address) {
    found = *static_cast<ExecutionContext**>(address);
    return found != nullptr;
  });
  if (found) {
    ++found->referenceCount;
  } else {
    found = new ExecutionContext;  // lives to the end of the process
  }
  m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22 = found;
  return found;
}

// The reference of this module; given back when the module is unloaded. The
// context itself is never freed: other modules and late destructors of the
// process may still log through it.
struct ModuleReference {
  ExecutionContext* context = findOrMakeContext();
  ~ModuleReference() { --context->referenceCount; }
};

} // namespace

ExecutionContext& executionContext() {
  static ModuleReference reference;
  return *reference.context;
}

OutputSwitches& outputSwitches(bool* created) {
  ExecutionContext& context = executionContext();
  std::lock_guard<std::mutex> guard(context.lock);
  if (created) *created = context.switches == nullptr;
  if (!context.switches) context.switches = new OutputSwitches{};
  return *context.switches;
}
