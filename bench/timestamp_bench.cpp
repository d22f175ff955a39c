// removeTimestampField over a 500 MB chunk against `cut -c16-` of the same
// file in the same run. Target: no slower than cut (ratio <= 1).
//   timestamp_bench [megabytes]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "platform/process_identity.h"
#include "webalizer/log_preparation.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A sorted Webalizer chunk line of about 150 bytes: key, then a CLF record.
std::string lineFor(uint64_t n) {
  return "20261204183050 192.0.2." + std::to_string(n % 250) + " - - [04/Dec/2026:18:30:50 +0000] \"GET /page/" +
         std::to_string(n) + " HTTP/1.1\" 200 5120 \"-\" \"Mozilla/5.0 (X11; Linux x86_64)\"\n";
}

template <class F>
double best(int runs, F&& f) {
  double fastest = 1e9;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    f();
    fastest = std::min(fastest, seconds(Clock::now() - start));
  }
  return fastest;
}

} // namespace

int main(int argc, char** argv) {
  const uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 500;
  const char* tmp = std::getenv("TMPDIR");
  const std::filesystem::path dir =
      std::filesystem::path(tmp ? tmp : "/tmp") / ("timestamp_bench." + std::to_string(platform::processId()));
  std::filesystem::create_directories(dir);
  const std::string sorted = (dir / "web.log.sort2").string();
  const std::string chunk = (dir / "web.log").string();
  const std::string cutOut = (dir / "cut.out").string();
  {
    std::ofstream out(sorted, std::ios::binary);
    uint64_t written = 0;
    for (uint64_t n = 0; written < megabytes << 20; ++n) {
      const std::string line = lineFor(n);
      out << line;
      written += line.size();
    }
  }

  const double ours = best(3, [&] {
    std::filesystem::remove(chunk);
    removeTimestampField(LogSource{LogKind::Web, chunk}, sorted);
  });
  const std::string command = "LC_ALL=C cut -c16- '" + sorted + "' > '" + cutOut + "'";
  const double cut = best(3, [&] {
    if (std::system(command.c_str()) != 0) std::cerr << "cut failed\n";
  });

  std::printf("file: %llu MB\n", static_cast<unsigned long long>(megabytes));
  std::printf("removeTimestampField: %.3f s (%.1f MB/s)\n", ours, megabytes / ours);
  std::printf("cut -c16-:            %.3f s (%.1f MB/s)\n", cut, megabytes / cut);
  std::printf("ratio removeTimestampField / cut: %.2f (target <= 1.00)\n", ours / cut);
  std::filesystem::remove_all(dir);
  return 0;
}
