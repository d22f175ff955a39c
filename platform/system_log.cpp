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

bool sendLine(int fd, const std::string& socketPath, const std::string& line) {
  struct sockaddr_un address {};
  if (socketPath.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  // A system log that stops reading must not stop the run: wait for room a
  // second at most, then give the message up.
  ssize_t sent = -1;
  for (int attempt = 0; attempt < 100; ++attempt) {
    sent = ::sendto(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                    reinterpret_cast<const struct sockaddr*>(&address), sizeof address);
    if (sent >= 0 || errno != EAGAIN) break;
    ::usleep(10000);
  }
  return sent == static_cast<ssize_t>(line.size());
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
  if (socket_ < 0) socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) return false;
  return sendLine(socket_, socketPath, line);
}

} // namespace platform
