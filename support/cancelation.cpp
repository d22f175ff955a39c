#include "support/cancelation.h"

#include <algorithm>
#include <exception>
#include <mutex>

#include "platform/process_identity.h"
#include "support/execution_context.h"
#include "support/logging.h"

namespace ThreadCancelation {

CancelationPoint::CancelationPoint(int mode) : mode_(mode) {
  ExecutionContext& context = executionContext();
  std::lock_guard<std::mutex> guard(context.lock);
  CancelationPoint*& slot = context.currentPoints[std::this_thread::get_id()];
  enclosing_ = slot;
  if (enclosing_ && enclosing_->mode_ == Inherited) mode_ = Inherited;
  if (mode_ == Asynchronous) thread_ = platform::currentThreadHandle();
  slot = this;
  context.points.push_back(this);
}

void CancelationPoint::cancel() { cancelRequested_ = true; }

CancelationPoint::~CancelationPoint() noexcept(false) {
  if (finished_) return;
  finished_ = true;
  {
    ExecutionContext& context = executionContext();
    std::lock_guard<std::mutex> guard(context.lock);
    auto& points = context.points;
    points.erase(std::remove(points.begin(), points.end(), this), points.end());
    if (enclosing_) {
      context.currentPoints[std::this_thread::get_id()] = enclosing_;
    } else {
      context.currentPoints.erase(std::this_thread::get_id());
    }
    thread_ = 0;
  }
  if (!cancelRequested_) return;
  if (std::uncaught_exceptions() > 0) {
    // An exception is leaving this scope already and the thread cannot end
    // in the middle of it: the next point outwards ends it.
    if (enclosing_) enclosing_->cancelRequested_ = true;
    return;
  }
  cancelling_ = true;
  LogManager::instance().log(Info, "Thread #%d is going to be canceled!", static_cast<int>(platform::threadId()));
  platform::exitCurrentThread();
}

CancelationPoint* CancelationPoint::current() {
  ExecutionContext& context = executionContext();
  std::lock_guard<std::mutex> guard(context.lock);
  auto it = context.currentPoints.find(std::this_thread::get_id());
  return it == context.currentPoints.end() ? nullptr : it->second;
}

} // namespace ThreadCancelation
