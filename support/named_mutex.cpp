#include "support/named_mutex.h"

#include "platform/win_error.h"
#include "support/errors.h"

VMutex::VMutex(const std::string& name) : name_(name) {
  if (const uint32_t code = lock_.create(name))
    throwOsException("create mutex " + name + " (" + lock_.path() + ")", code, Place{"", "VMutex::VMutex", 58});
}

void VMutex::lock() {
  if (const uint32_t code = lock_.lock())
    throwOsException("WaitForSingleObject failed for mutex " + name_, code, Place{"", "VMutex::lock", 74});
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
  if (const uint32_t code = lock_.lock())
    throwOsException("WaitForSingleObject failed for mutex " + mutexName, code,
                     Place{"", "ExclusiveTask::Initialize", 187});
}
