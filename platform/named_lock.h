// Named mutexes shared by every process of the installation: an exclusive
// flock on a lock file in $TARVO_LOCK_DIR or /run/lock/tarvo, created when
// missing. The directory (2770) and its files (0660) belong to root and the
// panel's group, so that only the program and the panel's programs can hold
// a lock; a file left open to every account is replaced. The kernel
// releases the lock of a process that died, which is how Windows treats an
// abandoned mutex: the next waiter simply gets it.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// $TARVO_LOCK_DIR, or /run/lock/tarvo.
std::string lockDirectory();
// The lock file of a mutex name: a "Global\" or "Local\" prefix is dropped,
// characters other than letters, digits and "._-{}" become "_", and ".lock"
// is appended: "tarvolog_debug_mutex" -> <lock dir>/tarvolog_debug_mutex.lock.
std::string lockFilePath(const std::string& mutexName);

class NamedLock {
 public:
  NamedLock() = default;
  ~NamedLock();
  NamedLock(NamedLock&& other) noexcept;
  NamedLock& operator=(NamedLock&& other) noexcept;
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;

  // Opens (creating when needed) the lock file; 0 or the Windows error code.
  uint32_t create(const std::string& mutexName);
  // Waits for the lock, without a limit when the time is negative; 0,
  // WaitTimeout (258) when the time ran out, or the Windows error code.
  uint32_t lock(int timeoutMilliseconds = -1);
  // Takes the lock only when nobody holds it: 0, WaitTimeout (258) when
  // another holder has it, or the Windows error code.
  uint32_t tryLock();
  void unlock() noexcept;
  void close() noexcept;
  // Who holds the lock now ("process 4711 (web_statistics)"), from the
  // kernel's table of locks; "" when nobody or when it cannot be told.
  std::string holder() const;
  bool isOpen() const { return fd_ >= 0; }
  bool isLocked() const { return locked_; }
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  bool locked_ = false;
  std::string path_;
};

} // namespace platform
