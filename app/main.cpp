// Placeholder entry until the console frame lands.
#include <clocale>

#include "support/crash_dump.h"
#include "support/logging.h"

int main() {
  CrashDumpInfo::install();
  std::setlocale(LC_ALL, "");
  LogManager::instance().log(Result, "%s", "web_statistics_executor: not built yet");
  return 1;
}
