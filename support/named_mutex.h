// Mutexes shared with the other programs of the installation, by name.
// VMutex is one named mutex; ExclusiveTask holds a named mutex for the length
// of a scope (the event-source registration holds the system-wide one).
#pragma once

#include <cstdint>
#include <string>

#include "platform/named_lock.h"

class VMutex {
 public:
  // Creates or opens the mutex, not owned; raises "create mutex <name>".
  explicit VMutex(const std::string& name);
  // Waits at most lockWaitSeconds(); past that raises "Waited N seconds for
  // the lock ..." naming the process that holds it. Other failures raise
  // "WaitForSingleObject failed for mutex <name>".
  void lock();
  // Takes the mutex only when it is free: false when another holder has it;
  // raises as lock() does.
  bool tryLock();
  void unlock() noexcept;
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  platform::NamedLock lock_;
};

// Takes the mutex on construction and gives it back when the scope ends.
class ExclusiveTask {
 public:
  explicit ExclusiveTask(const std::string& mutexName);
  ~ExclusiveTask();
  ExclusiveTask(const ExclusiveTask&) = delete;
  ExclusiveTask& operator=(const ExclusiveTask&) = delete;

 private:
  void initialize(const std::string& mutexName);
  platform::NamedLock lock_;
};

// How long a lock is waited for: the registry value "LockWaitTimeout"
// (seconds) under the program's key, 600 when absent.
inline constexpr const char* kLockWaitValue = "LockWaitTimeout";
inline constexpr uint32_t kDefaultLockWaitSeconds = 600;
uint32_t lockWaitSeconds();

// The system-wide mutex that serialises event-source registration.
inline constexpr const char* kEventSourceMutex = "Global\\{F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}";
