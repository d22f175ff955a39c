// Writes through LogManager as a separate process, for the logging tests.
//   log_writer entries N TAG   N Error messages "TAG entry i"
//   log_writer levels          one message of each level, "level <word>"
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/logging.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  if (mode == "entries" && argc == 4) {
    const int count = std::atoi(argv[2]);
    for (int i = 0; i < count; ++i) LogManager::instance().log(Error, "%s entry %d", argv[3], i);
    return 0;
  }
  if (mode == "levels") {
    for (int level = Info; level <= Crash; ++level)
      LogManager::instance().log(static_cast<LogLevel>(level), "level %s", logLevelWord(level));
    return 0;
  }
  return 2;
}
