// Who and when the running program is: its path, its ids, the local time and
// the tick count, and the loaded modules of the process.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// The full path of the running program (/proc/self/exe).
std::string programPath();
// Its file name, for example "web_statistics_executor".
std::string programFileName();
uint32_t processId();
// The processors the program may run on (its affinity mask); at least 1.
unsigned usableProcessorCount();
// The kernel's id of the calling thread (what ps -L shows).
uint32_t threadId();

struct LocalTime {
  int year = 0;    // 2026
  int month = 0;   // 1..12
  int day = 0;     // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int milliseconds = 0;
};
LocalTime localTime();
// Milliseconds of a monotonic clock; only differences mean something.
uint64_t tickCount();

// Calls visit with the address of the named data symbol in every loaded
// module (the program first) that defines it, until visit answers true.
void forEachModuleSymbol(const char* name, const std::function<bool(void* address)>& visit);

// An opaque handle of the calling thread, and ending the calling thread.
uintptr_t currentThreadHandle();
[[noreturn]] void exitCurrentThread();

} // namespace platform
