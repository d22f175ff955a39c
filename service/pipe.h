// The pipe to the management service. On this system a pipe is a local
// message socket (platform/local_socket.h); overlapped transfers are
// non-blocking transfers completed by waiting on the socket.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/local_socket.h"

namespace Con {

// A pipe handle and its finished flag. A pipe is finished once its peer has
// closed or broken the connection; it stays finished.
class Pipe {
 public:
  explicit Pipe(platform::localsock::Socket handle) : handle_(std::move(handle)) {}
  virtual ~Pipe() = default;
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  // Transfers of exactly count bytes (one message). With wait set they
  // return when the transfer has completed (true); without, false means it
  // is still outstanding and complete() finishes it.
  virtual bool read(void* buffer, size_t count, bool wait) = 0;
  virtual bool write(const void* buffer, size_t count, bool wait) = 0;
  // Finishes the outstanding transfer; false while it is still running and wait is clear.
  virtual bool complete(bool wait) = 0;
  // Forgets the outstanding transfer.
  virtual void cancel() = 0;

  bool valid() const { return handle_.valid(); }
  // A transfer waited for takes at most this long (negative: no limit);
  // past it the wait fails with 1460 (the service did not answer).
  void setWaitLimit(int milliseconds) { waitLimit_ = milliseconds; }
  // The finished flag; also set here when the peer has hung up since the
  // last transfer (noticed without waiting).
  bool isFinished();
  // Bytes moved by the last completed transfer.
  size_t transferred() const { return transferred_; }

 protected:
  platform::localsock::Socket handle_;
  int waitLimit_ = -1;
  bool finished_ = false;
  size_t transferred_ = 0;
};

class OverlappedPipe : public Pipe {
 public:
  using Pipe::Pipe;
  bool read(void* buffer, size_t count, bool wait) override;
  bool write(const void* buffer, size_t count, bool wait) override;
  bool complete(bool wait) override;
  void cancel() override;

 protected:
  // "Previous request has not completed!" while a transfer is outstanding.
  void beginRead(void* buffer, size_t count);
  void beginWrite(const void* buffer, size_t count);

 private:
  enum class Operation { None, Read, Write };
  // One non-blocking try of the outstanding transfer; true when it is over.
  bool attempt(const char* failureText, const char* function, int line);
  // The result of a transfer that ended: checks the count.
  void internalComplete();

  Operation operation_ = Operation::None;
  void* readBuffer_ = nullptr;
  const void* writeBuffer_ = nullptr;
  size_t count_ = 0;
  bool completed_ = true;  // no transfer outstanding
};

// The client end: made by connecting to the pipe's socket.
class ClientOverlappedPipe : public OverlappedPipe {
 public:
  // Connects with the given number of attempts; an attempt that finds every
  // instance busy (231) waits up to 1000 ms for a free one. Raises
  // "Unable to connect to pipe <path>" with the system error.
  static std::unique_ptr<ClientOverlappedPipe> create(const std::string& path, int attempts);

 private:
  using OverlappedPipe::OverlappedPipe;
};

} // namespace Con
