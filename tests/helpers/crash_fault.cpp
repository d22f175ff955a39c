// Test helper: a program with signals and crash dumps set up as the real
// entry does it.
//   crash_fault fault   an access violation inside a guarded operation; the
//                       error is printed and the run goes on
//   crash_fault wait    prints "ready", then waits inside a guarded operation
//                       until a signal ends it
//   crash_fault         nothing happens; only set-up and tear-down run
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "support/crash_dump.h"
#include "support/guard.h"

int main(int argc, char** argv) {
  installSignalHandling();
  CrashDumpInfo::install();
  if (argc > 1 && std::strcmp(argv[1], "fault") == 0) {
    auto failure = guardCapture(Place{"Touch memory that is not there", "crash_fault::main", 17}, [] {
      volatile int* volatile nowhere = nullptr;  // both volatile, or the store is optimised away
      *nowhere = 1;
    });
    std::printf("%s\n", failure ? failure->fullMessage().c_str() : "no error");
  }
  if (argc > 1 && std::strcmp(argv[1], "wait") == 0) {
    auto failure = guardCapture(Place{"Wait for a signal", "crash_fault::main", 29}, [] {
      std::printf("ready\n");
      std::fflush(stdout);
      for (;;) ::pause();
    });
    std::printf("%s\n", failure ? failure->fullMessage().c_str() : "no error");
  }
  std::printf("run goes on\n");
  return 0;
}
