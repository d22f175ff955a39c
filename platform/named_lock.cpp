#include "platform/named_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/environment.h"
#include "platform/win_error.h"

namespace platform {

namespace {

bool plainChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
         c == '-' || c == '{' || c == '}';
}

// Creates the directory and its missing parents; the last one is shared by
// every account, like /tmp.
int makeLockDirectory(const std::string& dir) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    const std::string part = dir.substr(0, pos);
    const bool last = pos == dir.size();
    if (::mkdir(part.c_str(), last ? 01777 : 0755) == 0) {
      if (last) ::chmod(part.c_str(), 01777);  // past the umask
    } else if (errno != EEXIST) {
      return errno;
    }
  }
  return 0;
}

} // namespace

std::string lockDirectory() { return environmentOr("TARVO_LOCK_DIR", "/run/lock/tarvo"); }

std::string lockFilePath(const std::string& mutexName) {
  std::string name = mutexName;
  for (const char* prefix : {"Global\\", "Local\\"}) {
    const std::string p = prefix;
    if (name.compare(0, p.size(), p) == 0) name.erase(0, p.size());
  }
  for (char& c : name)
    if (!plainChar(c)) c = '_';
  return lockDirectory() + "/" + name + ".lock";
}

NamedLock::~NamedLock() { close(); }

NamedLock::NamedLock(NamedLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), locked_(std::exchange(other.locked_, false)), path_(std::move(other.path_)) {}

NamedLock& NamedLock::operator=(NamedLock&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    locked_ = std::exchange(other.locked_, false);
    path_ = std::move(other.path_);
  }
  return *this;
}

uint32_t NamedLock::create(const std::string& mutexName) {
  close();
  path_ = lockFilePath(mutexName);
  for (int attempt = 0; attempt < 3; ++attempt) {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ >= 0) return 0;
    if (errno != ENOENT) return winErrorForPath(errno, path_);
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      ::fchmod(fd_, 0666);  // the umask must not keep other accounts out
      return 0;
    }
    if (errno == ENOENT) {
      if (const int err = makeLockDirectory(lockDirectory())) return winErrorForPath(err, path_);
    } else if (errno != EEXIST) {
      return winErrorForPath(errno, path_);
    }
  }
  return winErrorForPath(errno, path_);
}

uint32_t NamedLock::lock() {
  if (fd_ < 0) return winerr::InvalidHandle;
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) return lastWinError();
  }
  locked_ = true;
  return 0;
}

uint32_t NamedLock::tryLock() {
  if (fd_ < 0) return winerr::InvalidHandle;
  while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return winerr::WaitTimeout;
    if (errno != EINTR) return lastWinError();
  }
  locked_ = true;
  return 0;
}

void NamedLock::unlock() noexcept {
  if (fd_ >= 0 && locked_) ::flock(fd_, LOCK_UN);
  locked_ = false;
}

void NamedLock::close() noexcept {
  if (fd_ >= 0) ::close(fd_);  // closing also releases the lock
  fd_ = -1;
  locked_ = false;
}

} // namespace platform
