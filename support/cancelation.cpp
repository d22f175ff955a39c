// Minimal version: nesting per thread. The registration with the execution
// context comes with the logging support.
#include "support/cancelation.h"

namespace ThreadCancelation {

namespace {
thread_local CancelationPoint* tlsCurrent = nullptr;
}

CancelationPoint::CancelationPoint(int mode) : enclosing_(tlsCurrent), mode_(mode) {
  if (enclosing_ && enclosing_->mode_ == Inherited) mode_ = Inherited;
  if (mode_ == Asynchronous) thread_ = pthread_self();
  tlsCurrent = this;
}

void CancelationPoint::cancel() { cancelRequested_ = true; }

CancelationPoint::~CancelationPoint() {
  if (finished_) return;
  finished_ = true;
  tlsCurrent = enclosing_;
}

CancelationPoint* CancelationPoint::current() { return tlsCurrent; }

} // namespace ThreadCancelation
