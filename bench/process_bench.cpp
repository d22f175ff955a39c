// How long execExtUtil takes to start /bin/true, capture its (empty) output
// and wait for it. Target: under 2 ms per run.
//
// Usage: process_bench [RUNS]   (default 500)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "support/process.h"

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
  using Clock = std::chrono::steady_clock;

  // One start outside the measurement: the first pays for loading the logger.
  uint32_t code = 0;
  execExtUtil("/bin/true", "", true, &code);

  std::vector<double> ms;
  ms.reserve(static_cast<size_t>(runs));
  int failures = 0;
  const auto begin = Clock::now();
  for (int i = 0; i < runs; ++i) {
    const auto t0 = Clock::now();
    code = 1;
    execExtUtil("/bin/true", "", true, &code);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    if (code != 0) ++failures;
  }
  const double total = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
  std::sort(ms.begin(), ms.end());
  const double mean = total / runs;
  const double median = ms[ms.size() / 2];
  const double p95 = ms[std::min(ms.size() - 1, ms.size() * 95 / 100)];
  std::printf("execExtUtil(/bin/true): %d runs, mean %.3f ms, median %.3f ms, p95 %.3f ms, max %.3f ms\n", runs,
              mean, median, p95, ms.back());
  std::printf("target: under 2 ms per run -> %s (mean/target = %.2f)\n", mean < 2.0 ? "met" : "NOT met", mean / 2.0);

  // The start and wait alone, without logging, masking and the guard: nearly
  // all of it is the system's fork and exec of a dynamically linked program.
  const auto rawBegin = Clock::now();
  for (int i = 0; i < runs; ++i) {
    vexecutil util;
    util.application = "/bin/true";
    util.stdoutToPipe = true;
    util.stderrToStdout = true;
    util.start();
    util.readOutput();
    util.waitForExit();
  }
  const double raw = std::chrono::duration<double, std::milli>(Clock::now() - rawBegin).count() / runs;
  std::printf("vexecutil start, read, wait alone: mean %.3f ms (execExtUtil adds %.3f ms)\n", raw, mean - raw);
  if (failures) std::printf("%d runs did not end with exit code 0\n", failures);
  return failures ? 1 : 0;
}
