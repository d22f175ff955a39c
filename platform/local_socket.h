// Local message sockets: the stand-in for named pipes in message mode.
//
// A pipe named NAME is the Unix domain socket of type SOCK_SEQPACKET at
// $TARVO_PIPE_DIR/NAME (default /run/tarvo/NAME). SEQPACKET keeps message
// boundaries, so one send is one message and one receive takes one message.
//
// Every call answers with a Windows error code (0 success): a missing socket
// is 2, a refused or full connection 231 (all pipe instances busy), a peer
// that went away 109 (broken pipe) or 232 (no data, when writing).
//
// Sockets are non-blocking; callers that must wait for a transfer wait with
// waitReady (poll) and then repeat the transfer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::localsock {

// $TARVO_PIPE_DIR, or /run/tarvo.
std::string pipeDirectory();
// The socket path of a pipe name: pipeDirectory() + "/" + name.
std::string pipePath(const std::string& name);

// An owned socket descriptor, closed when the object ends.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket();
  Socket(Socket&& other) noexcept : fd_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  int release();
  void close();

 private:
  int fd_ = -1;
};

// One connection attempt, without waiting; the socket comes back blocking-free.
uint32_t connect(const std::string& path, Socket& out);
// Waits at most timeoutMs until the server at path can take a connection and
// connects: 0 with the connection in out, as connect gives it; otherwise the
// code why not (2 no socket, 231 refused or still full when the time is up).
uint32_t connectWhenFree(const std::string& path, int timeoutMs, Socket& out);
// Makes the socket non-blocking (the "message read mode" step of a connection).
uint32_t setNonBlocking(const Socket& socket);

// Sends one message. 0 and sent = count on success; 997 (I/O pending) when
// the socket cannot take it now (wait for Writable, then send again).
uint32_t sendMessage(const Socket& socket, const void* data, size_t count, size_t& sent);
// Receives one message into the buffer. 0 with received bytes; 997 when none
// is there yet; 38 (end of file) when the peer closed; 234 (more data) when
// the message was longer than the buffer (the rest of it is gone).
uint32_t receiveMessage(const Socket& socket, void* buffer, size_t count, size_t& received);

// Ends the sending direction: the peer reads the end of the stream after the
// messages already sent, and can still answer.
uint32_t shutdownSending(const Socket& socket);

enum class Readiness { Readable, Writable };
// Waits for the socket; timeoutMs < 0 waits without limit. 0 when ready (or
// hung up, which the next transfer reports), 1460 (timeout) when the time is up.
uint32_t waitReady(const Socket& socket, Readiness what, int timeoutMs);
// True when the peer has closed its end: nothing more will arrive and nothing
// sent would be read. Does not wait.
bool peerHasHungUp(const Socket& socket);

// The server side: a listening socket bound at a path. The socket file
// appears only once it accepts connections (bound under a temporary name,
// then renamed into place), and is removed when the listener ends.
class Listener {
 public:
  Listener() = default;
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // A socket file left by a server that is gone is replaced; one with a live
  // server behind it answers 183 (already exists). Creates the directory of
  // path when it is missing.
  uint32_t listen(const std::string& path, int backlog);
  // One waiting connection, non-blocking; 997 when none is waiting.
  uint32_t accept(Socket& out);
  const Socket& socket() const { return socket_; }
  const std::string& path() const { return path_; }
  // Closes the socket and removes its file.
  void close();

 private:
  Socket socket_;
  std::string path_;
  uint64_t inode_ = 0;
};

// Waits on many descriptors at once (the server's loop).
struct PollEntry {
  int fd = -1;
  bool wantRead = false;
  bool wantWrite = false;
  // Results:
  bool readable = false;
  bool writable = false;
  bool hungUp = false;  // error or hang-up: the connection is over
};
// timeoutMs < 0 waits without limit. Returns 0, or the code of the failure;
// an interruption by a signal answers 0 with no entry ready.
uint32_t pollAll(std::vector<PollEntry>& entries, int timeoutMs);

constexpr uint32_t IoPending = 997;

} // namespace platform::localsock
