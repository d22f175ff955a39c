// web_statistics_executor: computes the traffic statistics of the hosted
// domains (see README). Exit code 0 when the command completed without a
// failing configuration, 1 otherwise.
#include <clocale>

#include "app/web_statistics_executor.h"
#include "support/crash_dump.h"

int main(int argc, char** argv) {
  installSignalHandling();
  CrashDumpInfo::install();
  std::setlocale(LC_ALL, "");
  int result = 1;
  {
    // The application object sets the XML library up and tears it down.
    WebStatisticsExecutor application;
    result = application.run(argc, argv);
  }
  return result;
}
