// A module loaded with dlopen by the execution-context test: it reaches the
// context of the process through its own copy of the support code.
#include "support/cancelation.h"
#include "support/execution_context.h"

extern "C" {

ExecutionContext* context_module_context() { return &executionContext(); }

// Opens a point inside the caller's innermost point and answers its mode.
int context_module_point_mode(int mode) {
  ThreadCancelation::CancelationPoint point(mode);
  return point.mode();
}

}
