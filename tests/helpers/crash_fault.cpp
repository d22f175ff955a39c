// Test helper: a program with signals and crash dumps set up as the real
// entry does it.
//   crash_fault fault   an access violation inside a guarded operation; the
//                       error is printed and the run goes on
//   crash_fault heap    a double free, which glibc notices and aborts on
//   crash_fault         nothing happens; only set-up and tear-down run
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/crash_dump.h"
#include "support/guard.h"

int main(int argc, char** argv) {
  installSignalHandling();
  CrashDumpInfo::install();
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "fault") {
    auto failure = guardCapture(Place{"Guarded operation", "crash_fault::main", 22}, [] {
      volatile int* volatile nowhere = nullptr;  // both volatile, or the store is optimised away
      *nowhere = 1;
    });
    std::printf("%s\n", failure ? failure->fullMessage().c_str() : "no error");
  }
  if (mode == "heap") {
    void* volatile block = std::malloc(48);
    std::free(block);
    std::free(block);
    std::printf("the heap corruption went unnoticed\n");
  }
  std::printf("run goes on\n");
  return 0;
}
