// The system-log lines the program sends while TARVO_SYSLOG_SOCKET names the
// socket of a SyslogReceiver.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testenv {

// Binds the socket and reads what arrives on a thread of its own: the
// socket's queue is short (a few datagrams), so it is read as a real system
// log does.
class SyslogReceiver {
 public:
  explicit SyslogReceiver(std::string path) : path_(std::move(path)) {
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error("cannot bind " + path_);
    reader_ = std::thread([this] {
      for (struct pollfd p {fd_, POLLIN, 0}; !stop_;)
        if (::poll(&p, 1, 20) > 0) drain();
    });
  }
  ~SyslogReceiver() {
    stop_ = true;
    reader_.join();
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  std::vector<std::string> take() {
    drain();
    std::lock_guard<std::mutex> guard(mutex_);
    return std::exchange(lines_, {});
  }

 private:
  void drain() {
    std::lock_guard<std::mutex> guard(mutex_);
    char buf[65536];
    for (ssize_t n; (n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) >= 0;) lines_.emplace_back(buf, static_cast<size_t>(n));
  }
  std::string path_;
  int fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::mutex mutex_;
  std::vector<std::string> lines_;
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

} // namespace testenv
