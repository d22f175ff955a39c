#include "platform/process_identity.h"

#include <sched.h>

#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <ctime>
#include <vector>

namespace platform {

std::string programPath() {
  std::vector<char> buf(PATH_MAX);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
    buf.resize(buf.size() * 2);
  }
}

std::string programFileName() {
  const std::string path = programPath();
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

// Every log entry names the process and the thread, so both are asked of the
// kernel once; a forked child starts with the parent's values and asks again.
std::atomic<uint32_t> cachedProcessId{0};
std::atomic<unsigned> forkGeneration{0};

void forgetIdentityInChild() {
  cachedProcessId.store(0, std::memory_order_relaxed);
  forkGeneration.fetch_add(1, std::memory_order_relaxed);
}

[[maybe_unused]] const int atforkRegistered = ::pthread_atfork(nullptr, nullptr, forgetIdentityInChild);

} // namespace

uint32_t processId() {
  uint32_t id = cachedProcessId.load(std::memory_order_relaxed);
  if (id == 0) {
    id = static_cast<uint32_t>(::getpid());
    cachedProcessId.store(id, std::memory_order_relaxed);
  }
  return id;
}

unsigned usableProcessorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? static_cast<unsigned>(count) : 1;
}

uint32_t threadId() {
  thread_local uint32_t id = 0;
  thread_local unsigned generation = ~0u;
  const unsigned current = forkGeneration.load(std::memory_order_relaxed);
  if (generation != current) {
    id = static_cast<uint32_t>(::syscall(SYS_gettid));
    generation = current;
  }
  return id;
}

LocalTime localTime() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct tm tm {};
  ::localtime_r(&now.tv_sec, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,  tm.tm_hour,
                   tm.tm_min,         tm.tm_sec,     static_cast<int>(now.tv_nsec / 1000000)};
}

uint64_t tickCount() {
  struct timespec now {};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec / 1000000);
}

void forEachModuleSymbol(const char* name, const std::function<bool(void* address)>& visit) {
  // Collect the module names first: dlopen must not run inside the iteration.
  std::vector<std::string> modules;
  ::dl_iterate_phdr(
      [](struct dl_phdr_info* info, size_t, void* data) {
        static_cast<std::vector<std::string>*>(data)->push_back(info->dlpi_name ? info->dlpi_name : "");
        return 0;
      },
      &modules);
  for (size_t i = 0; i < modules.size(); ++i) {
    // The first entry, with an empty name, is the program itself.
    const bool program = i == 0 || modules[i].empty();
    void* handle = ::dlopen(program ? nullptr : modules[i].c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (!handle) continue;
    // A handle's lookup also searches the module's dependencies, so a
    // definition may be visited more than once; callers take the first that
    // suits them.
    void* address = ::dlsym(handle, name);
    const bool stop = address && visit(address);
    ::dlclose(handle);
    if (stop) return;
  }
}

uintptr_t currentThreadHandle() { return static_cast<uintptr_t>(::pthread_self()); }

void exitCurrentThread() { ::pthread_exit(nullptr); }

} // namespace platform
