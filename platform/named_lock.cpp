#include "platform/named_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#include "platform/environment.h"
#include "platform/account.h"
#include "platform/win_error.h"

namespace platform {

namespace {

// The item gets the mode and the panel's group when it is the program's own
// and a stranger could use it (written by any account, or of another group).
void closeToOthers(const std::string& path, mode_t mode) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || st.st_uid != ::geteuid()) return;
  const gid_t group = account::panelGroup();
  if ((st.st_mode & 07777) == mode && st.st_gid == group) return;
  if (::geteuid() == 0) ::lchown(path.c_str(), static_cast<uid_t>(-1), group);
  ::chmod(path.c_str(), mode);
}

// A lock file any account may open is no lock of the program's: whoever
// opened it may hold it for ever. It is replaced by a new one that only the
// program and the panel's programs can open.
bool openToStrangers(const struct stat& st) {
  return (st.st_mode & S_IWOTH) != 0 || (st.st_uid != 0 && st.st_gid != account::panelGroup());
}

bool plainChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
         c == '-' || c == '{' || c == '}';
}

// Creates the directory and its missing parents. The last one belongs to
// root and the panel's group (mode 2770): only the program and the panel's
// programs may hold its locks, so no other account can stop a run by holding
// one. A directory left world-writable by an older installation is closed.
int makeLockDirectory(const std::string& dir) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    const std::string part = dir.substr(0, pos);
    if (::mkdir(part.c_str(), pos == dir.size() ? 02770 : 0755) != 0 && errno != EEXIST) return errno;
  }
  closeToOthers(dir, 02770);
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
  const account::ProgramAccountScope asProgram;  // the lock files are the installation's
  close();
  path_ = lockFilePath(mutexName);
  for (int attempt = 0; attempt < 3; ++attempt) {
    fd_ = ::open(path_.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd_ >= 0) {
      struct stat st {};
      if (::fstat(fd_, &st) != 0 || !openToStrangers(st)) return 0;
      if (::unlink(path_.c_str()) != 0) return 0;  // not ours to replace; the wait is bounded
      ::close(fd_);
      fd_ = -1;
      continue;
    }
    if (errno != ENOENT) return winErrorForPath(errno, path_);
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
    if (fd_ >= 0) {
      // Past the umask: the panel's programs share the lock.
      if (::geteuid() == 0) ::fchown(fd_, static_cast<uid_t>(-1), account::panelGroup());
      ::fchmod(fd_, 0660);
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

uint32_t NamedLock::lock(int timeoutMilliseconds) {
  if (fd_ < 0) return winerr::InvalidHandle;
  if (timeoutMilliseconds < 0) {
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) return lastWinError();
    }
    locked_ = true;
    return 0;
  }
  // flock has no time limit of its own: asked again and again, at first
  // often, then every 50 ms.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
  for (int pause = 1;; pause = std::min(pause * 2, 50)) {
    const uint32_t code = tryLock();
    if (code != winerr::WaitTimeout) return code;
    if (std::chrono::steady_clock::now() >= deadline) return winerr::WaitTimeout;
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
  }
}

std::string NamedLock::holder() const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return {};
  // Lines like "1: FLOCK  ADVISORY  WRITE 4711 00:2a:1234 0 EOF".
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, id;
    if (!(fields >> number >> kind >> mode >> access)) continue;
    if (access == "->" || !(fields >> pid >> id)) continue;  // a waiter, not a holder
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (kind != "FLOCK" || std::sscanf(id.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
    if (inode != st.st_ino || makedev(major, minor) != st.st_dev) continue;
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return "process " + pid + (name.empty() ? std::string() : " (" + name + ")");
  }
  return {};
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
