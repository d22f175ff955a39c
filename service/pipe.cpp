#include "service/pipe.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/win_error.h"
#include "support/cancelation.h"
#include "support/errors.h"
#include "support/format.h"

namespace Con {

namespace localsock = platform::localsock;
namespace winerr = platform::winerr;

namespace {

// The codes that end a read with nothing: the service closed or broke the connection.
bool endsStream(uint32_t code) {
  return code == winerr::HandleEof || code == winerr::BrokenPipe || code == winerr::NoData;
}

} // namespace

bool Pipe::isFinished() {
  if (!finished_ && handle_.valid() && localsock::peerHasHungUp(handle_)) finished_ = true;
  return finished_;
}

void OverlappedPipe::beginRead(void* buffer, size_t count) {
  if (!completed_) throw vexception("Previous request has not completed!", Place{"", "Con::OverlappedPipe::beginRead", 297});
  operation_ = Operation::Read;
  readBuffer_ = buffer;
  count_ = count;
  transferred_ = 0;
  completed_ = attempt("Unable to read from pipe", "Con::OverlappedPipe::beginRead", 312);
}

void OverlappedPipe::beginWrite(const void* buffer, size_t count) {
  if (!completed_) throw vexception("Previous request has not completed!", Place{"", "Con::OverlappedPipe::beginWrite", 331});
  operation_ = Operation::Write;
  writeBuffer_ = buffer;
  count_ = count;
  transferred_ = 0;
  completed_ = attempt("Unable to write to pipe", "Con::OverlappedPipe::beginWrite", 344);
}

bool OverlappedPipe::attempt(const char* failureText, const char* function, int line) {
  if (finished_) return true;  // a finished pipe moves nothing more
  size_t moved = 0;
  uint32_t code = operation_ == Operation::Read ? localsock::receiveMessage(handle_, readBuffer_, count_, moved)
                                                : localsock::sendMessage(handle_, writeBuffer_, count_, moved);
  if (code == localsock::IoPending) return false;
  if (code != 0 && endsStream(code)) {
    finished_ = true;
    // A write into a closed connection is still a failed write; a read just
    // ends with nothing transferred.
    if (operation_ == Operation::Read) return true;
  }
  if (code != 0) {
    completed_ = true;
    operation_ = Operation::None;
    throwOsException(failureText, code, Place{"", function, line});
  }
  transferred_ = moved;
  return true;
}

bool OverlappedPipe::complete(bool wait) {
  const auto started = std::chrono::steady_clock::now();
  while (!completed_) {
    const auto readiness = operation_ == Operation::Read ? localsock::Readiness::Readable : localsock::Readiness::Writable;
    int timeout = wait ? waitLimit_ : 0;
    if (wait && waitLimit_ >= 0) {
      const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
      timeout = static_cast<int>(std::max<int64_t>(0, waitLimit_ - waited.count()));
    }
    const uint32_t state = localsock::waitReady(handle_, readiness, timeout);
    if (state == winerr::Timeout) {
      if (!wait) return false;
      if (waitLimit_ >= 0 && timeout == 0) {
        // A service that takes the request and never answers is treated as
        // one that is down; the connection is of no use any more.
        completed_ = true;
        operation_ = Operation::None;
        finished_ = true;
        throwOsException(formatString("The management service did not %s within %d seconds (registry value "
                                      "PipeAnswerTimeout); the domain waits for the next run. Is the service "
                                      "running and answering?",
                                      readiness == localsock::Readiness::Readable ? "answer" : "take the request",
                                      waitLimit_ / 1000),
                         winerr::Timeout, Place{"", "Con::OverlappedPipe::complete", 402});
      }
      continue;
    }
    if (state != 0) {
      completed_ = true;
      operation_ = Operation::None;
      throw vexception(formatString("Unable to complete pipe operation: Unknown state %X", state),
                       Place{"", "Con::OverlappedPipe::complete", 402});
    }
    completed_ = attempt("Unable to complete pipe operation", "Con::OverlappedPipe::internalComplete", 421);
  }
  internalComplete();
  return true;
}

void OverlappedPipe::internalComplete() {
  const bool nothingToCheck = operation_ == Operation::None || finished_;
  operation_ = Operation::None;
  if (nothingToCheck) return;
  if (transferred_ < count_) {
    throw vexception(formatString("Completed only %d of %d bytes", static_cast<int>(transferred_), static_cast<int>(count_)),
                     Place{"", "Con::OverlappedPipe::internalComplete", 436});
  }
}

bool OverlappedPipe::read(void* buffer, size_t count, bool wait) {
  beginRead(buffer, count);
  return complete(wait);
}

bool OverlappedPipe::write(const void* buffer, size_t count, bool wait) {
  beginWrite(buffer, count);
  return complete(wait);
}

void OverlappedPipe::cancel() {
  completed_ = true;
  operation_ = Operation::None;
}

std::unique_ptr<ClientOverlappedPipe> ClientOverlappedPipe::create(const std::string& path, int attempts) {
  const std::string failure = "Unable to connect to pipe " + path;
  if (attempts < 1) throwOsException(failure, winerr::PipeBusy, Place{"", "Con::ClientOverlappedPipe::create", 509});

  localsock::Socket socket;
  for (int i = 0; i < attempts && !socket.valid(); ++i) {
    uint32_t code = 0;
    {
      ThreadCancelation::CancelationPoint point(ThreadCancelation::Synchronous);
      code = localsock::connect(path, socket);
    }
    if (code == 0) break;
    if (code != winerr::PipeBusy) throwOsException(failure, code, Place{"", "Con::ClientOverlappedPipe::create", 503});
    if (localsock::connectWhenFree(path, 1000, socket) != 0) {
      ThreadCancelation::CancelationPoint point(ThreadCancelation::Asynchronous);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // resumed after signals
    }
  }
  if (!socket.valid()) throwOsException(failure, winerr::PipeBusy, Place{"", "Con::ClientOverlappedPipe::create", 509});

  if (const uint32_t code = localsock::setNonBlocking(socket)) {
    throwOsException("Unable to set mode of pipe " + path, code, Place{"", "Con::ClientOverlappedPipe::create", 513});
  }
  return std::unique_ptr<ClientOverlappedPipe>(new ClientOverlappedPipe(std::move(socket)));
}

} // namespace Con
