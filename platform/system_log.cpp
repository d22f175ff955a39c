#include "platform/system_log.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/environment.h"
#include "platform/process_identity.h"

namespace platform {

namespace {

int priorityOf(EventType type) {
  switch (type) {
    case EventType::Information: return LOG_INFO;
    case EventType::Warning: return LOG_WARNING;
    case EventType::Success: return LOG_NOTICE;
    case EventType::Error: return LOG_ERR;
  }
  return LOG_INFO;
}

// A datagram socket connected to the path, as syslog(3) keeps one: a send
// then costs no path lookup. -1 when it cannot be made.
int connectTo(const std::string& socketPath) {
  struct sockaddr_un address {};
  if (socketPath.size() >= sizeof address.sun_path) return -1;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<const struct sockaddr*>(&address), sizeof address) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// 0 when sent, else the errno of the failure.
int sendLine(int fd, const std::string& line) {
  // A system log that stops reading must not stop the run: wait for room a
  // second at most, then give the message up.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const ssize_t sent = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent == static_cast<ssize_t>(line.size())) return 0;
    if (sent >= 0) return EMSGSIZE;
    if (errno != EAGAIN) return errno;
    ::usleep(10000);
  }
  return EAGAIN;
}

} // namespace

SystemLog::SystemLog(std::string identity) : identity_(std::move(identity)) {
  ::openlog(identity_.c_str(), LOG_PID, LOG_USER);
}

SystemLog::~SystemLog() {
  if (socket_ >= 0) ::close(socket_);
  ::closelog();
}

bool SystemLog::report(EventType type, const std::string& message) {
  const int priority = priorityOf(type);
  const std::string socketPath = environmentOr("TARVO_SYSLOG_SOCKET", "");
  if (socketPath.empty()) {
    ::syslog(priority, "%s", message.c_str());
    return true;
  }
  char stamp[32];
  const time_t now = ::time(nullptr);
  struct tm tm {};
  ::localtime_r(&now, &tm);
  ::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &tm);
  const std::string line = "<" + std::to_string(LOG_USER | priority) + ">" + stamp + " " + identity_ + "[" +
                           std::to_string(processId()) + "]: " + message;
  if (socket_ >= 0 && socketPath != socketPath_) {
    ::close(socket_);
    socket_ = -1;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (socket_ < 0) socket_ = connectTo(socketPath);
    socketPath_ = socketPath;
    if (socket_ < 0) return false;
    const int err = sendLine(socket_, line);
    if (err == 0) return true;
    if (err == EAGAIN) return false;
    // The receiver went away and may be back under the same path.
    ::close(socket_);
    socket_ = -1;
  }
  return false;
}

} // namespace platform
