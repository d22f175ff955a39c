#include "platform/local_socket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "platform/environment.h"
#include "platform/account.h"
#include "platform/win_error.h"

namespace platform::localsock {

namespace {

// errno of a socket call as a Windows code; a missing socket is always 2 here
// (the directory is part of the pipe's name, not a path the caller chose).
uint32_t codeOf(int err) {
  if (err == ENOENT || err == ENOTDIR) return winerr::FileNotFound;
  return winErrorFromErrno(err);
}

bool makeAddress(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

int newSocket() { return ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0); }

// The errno of one connection attempt to path (0 when it connected).
int probeErrno(const std::string& path) {
  sockaddr_un address{};
  if (!makeAddress(path, address)) return ENAMETOOLONG;
  Socket s(newSocket());
  if (!s.valid()) return errno;
  if (::connect(s.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return errno;
  return 0;
}

int64_t monotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// poll(2) resumed after signals until the time is up.
int pollResumed(pollfd* fds, nfds_t count, int timeoutMs) {
  const int64_t deadline = timeoutMs < 0 ? 0 : monotonicMs() + timeoutMs;
  for (;;) {
    int wait = -1;
    if (timeoutMs >= 0) wait = static_cast<int>(std::max<int64_t>(0, deadline - monotonicMs()));
    const int n = ::poll(fds, count, wait);
    if (n >= 0 || errno != EINTR) return n;
  }
}

} // namespace

std::string pipeDirectory() { return environmentOr("TARVO_PIPE_DIR", "/run/tarvo"); }

std::string pipePath(const std::string& name) {
  std::string dir = pipeDirectory();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir + "/" + name;
}

Socket::~Socket() { close(); }

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.release();
  }
  return *this;
}

int Socket::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void Socket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

uint32_t connect(const std::string& path, Socket& out) {
  // The service's socket is the installation's, whichever account the
  // process works as.
  const account::ProgramAccountScope asProgram;
  sockaddr_un address{};
  if (!makeAddress(path, address)) return winerr::FilenameExcedRange;
  Socket s(newSocket());
  if (!s.valid()) return lastWinError();
  while (::connect(s.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EINTR) continue;
    return codeOf(errno);
  }
  out = std::move(s);
  return 0;
}

uint32_t connectWhenFree(const std::string& path, int timeoutMs, Socket& out) {
  // Linux has no "wait for a free instance"; a blocking connect with a send
  // time-out waits exactly until the backlog has room. The connection it
  // makes is the caller's: given up, its place would go to the next client
  // of a burst and this one would find the backlog full again.
  const account::ProgramAccountScope asProgram;
  sockaddr_un address{};
  if (!makeAddress(path, address)) return winerr::FilenameExcedRange;
  Socket s(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!s.valid()) return lastWinError();
  timeval tv{};
  tv.tv_sec = timeoutMs / 1000;
  tv.tv_usec = (timeoutMs % 1000) * 1000;
  ::setsockopt(s.fd(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (::connect(s.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return codeOf(errno);
  tv = timeval{};
  ::setsockopt(s.fd(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (const uint32_t code = setNonBlocking(s)) return code;
  out = std::move(s);
  return 0;
}

uint32_t setNonBlocking(const Socket& socket) {
  const int flags = ::fcntl(socket.fd(), F_GETFL);
  if (flags < 0 || ::fcntl(socket.fd(), F_SETFL, flags | O_NONBLOCK) != 0) return lastWinError();
  return 0;
}

uint32_t sendMessage(const Socket& socket, const void* data, size_t count, size_t& sent) {
  sent = 0;
  for (;;) {
    const ssize_t n = ::send(socket.fd(), data, count, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent = static_cast<size_t>(n);
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return IoPending;
    if (errno == EPIPE) return winerr::NoData;
    if (errno == ECONNRESET || errno == ENOTCONN) return winerr::BrokenPipe;
    return lastWinError();
  }
}

uint32_t receiveMessage(const Socket& socket, void* buffer, size_t count, size_t& received) {
  received = 0;
  for (;;) {
    iovec io{buffer, count};
    msghdr msg{};
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    const ssize_t n = ::recvmsg(socket.fd(), &msg, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return IoPending;
      if (errno == ECONNRESET || errno == ENOTCONN) return winerr::BrokenPipe;
      return lastWinError();
    }
    received = static_cast<size_t>(n);
    if (msg.msg_flags & MSG_TRUNC) return winerr::MoreData;
    // A SEQPACKET socket reads 0 both for an empty message and at the end of
    // the stream; only a hung-up peer means the end.
    if (n == 0 && (count == 0 || peerHasHungUp(socket))) return winerr::HandleEof;
    return 0;
  }
}

uint32_t shutdownSending(const Socket& socket) {
  return ::shutdown(socket.fd(), SHUT_WR) == 0 ? 0 : lastWinError();
}

uint32_t waitReady(const Socket& socket, Readiness what, int timeoutMs) {
  pollfd fd{socket.fd(), static_cast<short>(what == Readiness::Readable ? POLLIN : POLLOUT), 0};
  const int n = pollResumed(&fd, 1, timeoutMs);
  if (n < 0) return lastWinError();
  return n == 0 ? winerr::Timeout : 0;
}

bool peerHasHungUp(const Socket& socket) {
  pollfd fd{socket.fd(), POLLRDHUP, 0};
  if (::poll(&fd, 1, 0) <= 0) return false;
  return (fd.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) != 0;
}

Listener::~Listener() { close(); }

uint32_t Listener::listen(const std::string& path, int backlog) {
  close();
  sockaddr_un address{};
  const std::string temporary = path + "." + std::to_string(::getpid()) + ".new";
  if (!makeAddress(temporary, address)) return winerr::FilenameExcedRange;

  const auto slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string dir = path.substr(0, slash);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 && ::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      return winErrorForPath(errno, dir);
    }
  }

  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0) {
    // Only a socket nobody answers on may be replaced; a full backlog is a
    // live server too.
    if (!S_ISSOCK(existing.st_mode) || probeErrno(path) != ECONNREFUSED) return winerr::AlreadyExists;
    ::unlink(path.c_str());
  }

  Socket s(newSocket());
  if (!s.valid()) return lastWinError();
  ::unlink(temporary.c_str());
  if (::bind(s.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return codeOf(errno);
  // Clients of other accounts must be able to connect, as to the pipe.
  if (::chmod(temporary.c_str(), 0666) != 0 || ::listen(s.fd(), backlog) != 0 ||
      ::rename(temporary.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temporary.c_str());
    return codeOf(err);
  }
  struct stat placed {};
  inode_ = ::lstat(path.c_str(), &placed) == 0 ? placed.st_ino : 0;
  socket_ = std::move(s);
  path_ = path;
  return 0;
}

uint32_t Listener::accept(Socket& out) {
  for (;;) {
    const int fd = ::accept4(socket_.fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      out = Socket(fd);
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) return IoPending;
    return lastWinError();
  }
}

void Listener::close() {
  if (!socket_.valid()) return;
  // Remove the file only while it is still ours: a successor may have bound
  // the path meanwhile.
  struct stat there {};
  if (::lstat(path_.c_str(), &there) == 0 && S_ISSOCK(there.st_mode) && there.st_ino == inode_) {
    ::unlink(path_.c_str());
  }
  socket_.close();
  path_.clear();
}

uint32_t pollAll(std::vector<PollEntry>& entries, int timeoutMs) {
  std::vector<pollfd> fds(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    short events = 0;
    if (entries[i].wantRead) events |= POLLIN | POLLRDHUP;
    if (entries[i].wantWrite) events |= POLLOUT;
    fds[i] = pollfd{entries[i].fd, events, 0};
  }
  const int n = ::poll(fds.data(), fds.size(), timeoutMs);
  for (size_t i = 0; i < entries.size(); ++i) {
    const short r = n > 0 ? fds[i].revents : 0;
    entries[i].readable = (r & POLLIN) != 0;
    entries[i].writable = (r & POLLOUT) != 0;
    entries[i].hungUp = (r & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  }
  if (n < 0 && errno != EINTR) return lastWinError();
  return 0;
}

} // namespace platform::localsock
