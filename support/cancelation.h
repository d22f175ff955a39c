// Cancellation points: scope objects that nest per thread and register with
// the process-wide execution context. The statistics operations open
// synchronous points; this program never cancels a thread, but a point on
// which a cancel was requested ends its thread when it closes.
//
// Modes: 0 the point another thread may cancel (it keeps its thread's
// handle), 1 the synchronous point, 2 a point whose mode every point opened
// inside it inherits.
#pragma once

#include <atomic>
#include <cstdint>

namespace ThreadCancelation {

enum Mode { Asynchronous = 0, Synchronous = 1, Inherited = 2 };

class CancelationPoint {
 public:
  explicit CancelationPoint(int mode);
  // Requests the cancel; the point's thread ends when the point closes.
  virtual void cancel();
  // May end the calling thread, so it is allowed to let the thread's
  // unwinding pass.
  virtual ~CancelationPoint() noexcept(false);
  CancelationPoint(const CancelationPoint&) = delete;
  CancelationPoint& operator=(const CancelationPoint&) = delete;

  int mode() const { return mode_; }
  CancelationPoint* enclosing() const { return enclosing_; }
  bool cancelRequested() const { return cancelRequested_; }
  // The innermost point of the calling thread, or null.
  static CancelationPoint* current();

 private:
  CancelationPoint* enclosing_ = nullptr;
  int mode_;
  std::atomic<bool> cancelRequested_{false};
  bool cancelling_ = false;
  bool finished_ = false;
  uintptr_t thread_ = 0;  // for mode 0: the thread another thread would cancel
};

} // namespace ThreadCancelation
