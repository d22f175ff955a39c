// Test helper: corrupts the heap with a double free. glibc notices it and
// aborts the process; crash dumps are set up as the real entry does it.
#include <cstdio>
#include <cstdlib>

#include "support/crash_dump.h"

int main() {
  installSignalHandling();
  CrashDumpInfo::install();
  void* volatile block = std::malloc(48);
  std::free(block);
  std::free(block);
  std::printf("the heap corruption went unnoticed\n");
  return 0;
}
