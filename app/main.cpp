// Placeholder entry until the console frame lands.
#include <clocale>

#include "support/logging.h"

int main() {
  std::setlocale(LC_ALL, "");
  LogManager::instance().log(Result, "%s", "web_statistics_executor: not built yet");
  return 1;
}
