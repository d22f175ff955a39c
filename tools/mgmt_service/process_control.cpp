#include "tools/mgmt_service/process_control.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mgmt {

namespace {
int readyFd = -1;  // the daemon's end of the pipe to the starting process
}

std::string fileIdentity(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  char buf[160];
  std::snprintf(buf, sizeof buf, "%llu:%llu:%lld:%lld.%09ld:%lld.%09ld", static_cast<unsigned long long>(st.st_dev),
                static_cast<unsigned long long>(st.st_ino), static_cast<long long>(st.st_size),
                static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec, static_cast<long long>(st.st_ctim.tv_sec),
                st.st_ctim.tv_nsec);
  return buf;
}

SignalInbox::SignalInbox() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  // A client that goes away must not kill the server through a write.
  std::signal(SIGPIPE, SIG_IGN);
  fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ < 0) {
    std::fprintf(stderr, "tarvo-mgmt-service: signalfd: %s\n", std::strerror(errno));
    std::exit(1);
  }
}

SignalInbox::~SignalInbox() {
  if (fd_ >= 0) ::close(fd_);
}

SignalInbox::Event SignalInbox::next() {
  signalfd_siginfo info{};
  for (;;) {
    const ssize_t n = ::read(fd_, &info, sizeof info);
    if (n == static_cast<ssize_t>(sizeof info)) break;
    if (n < 0 && errno == EINTR) continue;
    return None;
  }
  return info.ssi_signo == SIGHUP ? Reload : Stop;
}

void becomeDaemon() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "tarvo-mgmt-service: pipe: %s\n", std::strerror(errno));
    std::exit(1);
  }
  const pid_t child = ::fork();
  if (child < 0) {
    std::fprintf(stderr, "tarvo-mgmt-service: fork: %s\n", std::strerror(errno));
    std::exit(1);
  }
  if (child > 0) {
    // The starting process: wait until the daemon listens, or has failed.
    ::close(fds[1]);
    char byte = 0;
    ssize_t n;
    do {
      n = ::read(fds[0], &byte, 1);
    } while (n < 0 && errno == EINTR);
    ::waitpid(child, nullptr, 0);  // the intermediate process ends at once
    std::exit(n == 1 ? 0 : 1);
  }
  ::close(fds[0]);
  ::setsid();
  // A second fork: the daemon is no session leader and never gets a terminal.
  const pid_t daemon = ::fork();
  if (daemon < 0) std::_Exit(1);
  if (daemon > 0) std::_Exit(0);
  readyFd = fds[1];
  if (::chdir("/") != 0) std::_Exit(1);
  const int null = ::open("/dev/null", O_RDWR);
  if (null >= 0) {
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (null > 2) ::close(null);
  }
}

void daemonReady() {
  if (readyFd < 0) return;
  const char byte = 'R';
  ssize_t n;
  do {
    n = ::write(readyFd, &byte, 1);
  } while (n < 0 && errno == EINTR);
  ::close(readyFd);
  readyFd = -1;
}

bool writePidFile(const std::string& path, std::string& error) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) {
    error = "cannot write the pid file " + path + ": " + std::strerror(errno);
    return false;
  }
  std::fprintf(f, "%d\n", static_cast<int>(::getpid()));
  if (std::fclose(f) != 0) {
    error = "cannot write the pid file " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

int processId() { return static_cast<int>(::getpid()); }

std::string timestamp() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t t = system_clock::to_time_t(now);
  const int ms = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return buf;
}

} // namespace mgmt
