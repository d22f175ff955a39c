// Named mutexes shared by every process of the installation: an exclusive
// flock on a lock file (mode 0666, so programs of other accounts share it) in
// $TARVO_LOCK_DIR or /run/lock/tarvo, created when missing. The kernel
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
  // Waits without a time limit; 0 or the Windows error code.
  uint32_t lock();
  // Takes the lock only when nobody holds it: 0, WaitTimeout (258) when
  // another holder has it, or the Windows error code.
  uint32_t tryLock();
  void unlock() noexcept;
  void close() noexcept;
  bool isOpen() const { return fd_ >= 0; }
  bool isLocked() const { return locked_; }
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  bool locked_ = false;
  std::string path_;
};

} // namespace platform
