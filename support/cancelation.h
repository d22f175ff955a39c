// Cancellation points: scope objects that nest per thread and register with
// the process-wide execution context. This program never cancels a thread;
// the statistics operations open synchronous points.
#pragma once

#include <pthread.h>

namespace ThreadCancelation {

enum Mode { Asynchronous = 0, Synchronous = 1, Inherited = 2 };

class CancelationPoint {
 public:
  explicit CancelationPoint(int mode);
  virtual void cancel();
  virtual ~CancelationPoint();
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
  bool cancelRequested_ = false;
  bool cancelling_ = false;
  bool finished_ = false;
  pthread_t thread_{};  // for mode 0: the thread another thread would cancel
};

} // namespace ThreadCancelation
