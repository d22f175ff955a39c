#include "platform/run_shared.h"

#include <sys/mman.h>

#include <new>

namespace platform {

namespace {

constexpr size_t kFlags = static_cast<size_t>(RunFlag::Count);

std::atomic<bool>* mapFlags() {
  static_assert(std::atomic<bool>::is_always_lock_free, "the flags must work between processes");
  void* memory = ::mmap(nullptr, sizeof(std::atomic<bool>) * kFlags, PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  // Without the mapping the flags are the process's own: said once per worker.
  if (memory == MAP_FAILED) memory = ::operator new(sizeof(std::atomic<bool>) * kFlags);
  auto* flags = static_cast<std::atomic<bool>*>(memory);
  for (size_t i = 0; i < kFlags; ++i) new (&flags[i]) std::atomic<bool>(false);
  return flags;
}

// Mapped while the program starts, before any worker exists.
std::atomic<bool>* const flags = mapFlags();

} // namespace

std::atomic<bool>& runFlag(RunFlag flag) { return flags[static_cast<size_t>(flag)]; }

} // namespace platform
