#include "support/named_mutex.h"

#include <algorithm>

#include "config/registry.h"
#include "platform/win_error.h"
#include "support/errors.h"
#include "support/format.h"
#include "support/logging.h"

VMutex::VMutex(const std::string& name) : name_(name) {
  if (const uint32_t code = lock_.create(name))
    throwOsException("create mutex " + name + " (" + lock_.path() + ")", code, Place{"", "VMutex::VMutex", 58});
}

void VMutex::lock() {
  const uint32_t seconds = lockWaitSeconds();
  const uint32_t code = lock_.lock(static_cast<int>(std::min<uint64_t>(seconds * 1000ull, 0x7FFFFFFF)));
  if (code == platform::winerr::WaitTimeout) {
    const std::string holder = lock_.holder();
    throw vexception(formatString("Waited %u seconds for the lock '%s' (%s), which %s holds; given up. Find out why "
                                  "that process keeps it (the registry value %s sets how long to wait)",
                                  seconds, name_, lock_.path(), holder.empty() ? std::string("another process") : holder,
                                  kLockWaitValue),
                     Place{"", "VMutex::lock", 74});
  }
  if (code) throwOsException("WaitForSingleObject failed for mutex " + name_, code, Place{"", "VMutex::lock", 74});
}

uint32_t lockWaitSeconds() {
  uint32_t seconds = kDefaultLockWaitSeconds;
  registry::lookup(registry::HKEY_LOCAL_MACHINE, kConfigKey, kLockWaitValue, seconds, registry::View32);
  return seconds;
}

bool VMutex::tryLock() {
  const uint32_t code = lock_.tryLock();
  if (code == platform::winerr::WaitTimeout) return false;
  if (code) throwOsException("WaitForSingleObject failed for mutex " + name_, code, Place{"", "VMutex::lock", 74});
  return true;
}

void VMutex::unlock() noexcept { lock_.unlock(); }

ExclusiveTask::ExclusiveTask(const std::string& mutexName) { initialize(mutexName); }

ExclusiveTask::~ExclusiveTask() { lock_.close(); }

void ExclusiveTask::initialize(const std::string& mutexName) {
  if (const uint32_t code = lock_.create(mutexName))
    throwOsException("create mutex " + mutexName, code, Place{"", "ExclusiveTask::Initialize", 181});
  if (const uint32_t code = lock_.lock(static_cast<int>(std::min<uint64_t>(lockWaitSeconds() * 1000ull, 0x7FFFFFFF))))
    throwOsException("WaitForSingleObject failed for mutex " + mutexName + " (" + lock_.holder() + ")", code,
                     Place{"", "ExclusiveTask::Initialize", 187});
}
