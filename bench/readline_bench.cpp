// BufferedFileReader::readLine over a 200 MB file of 150-byte lines, against
// `wc -l` over the same file in the same run. Target: within 1.5x of wc -l.
//   readline_bench [megabytes]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "platform/process_identity.h"
#include "support/file_ops.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A log-like line of exactly 150 bytes with its line feed.
std::string lineFor(uint64_t n) {
  std::string line = "192.0.2." + std::to_string(n % 250) + " - - [04/Dec/2026:18:30:50 +0000] \"GET /page/" +
                     std::to_string(n) + " HTTP/1.1\" 200 5120 \"-\" \"bench\"";
  line.resize(149, ' ');
  return line + "\n";
}

uint64_t countWithReader(const std::string& path) {
  VFile file;
  file.open(path, file_open::GenericRead, file_open::ShareRead, file_open::OpenExisting, file_open::SequentialScan);
  BufferedFileReader reader(file);
  std::string line;
  uint64_t lines = 0, bytes = 0;
  while (reader.readLine(line)) {
    ++lines;
    bytes += line.size();
  }
  if (bytes != lines * 149) std::cerr << "unexpected line contents\n";
  return lines;
}

uint64_t countWithWc(const std::string& path) {
  const std::string command = "wc -l < '" + path + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return 0;
  unsigned long long lines = 0;
  if (std::fscanf(pipe, "%llu", &lines) != 1) lines = 0;
  ::pclose(pipe);
  return lines;
}

template <class F>
double best(int runs, F&& f, uint64_t& result) {
  double fastest = 1e9;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    result = f();
    fastest = std::min(fastest, seconds(Clock::now() - start));
  }
  return fastest;
}

} // namespace

int main(int argc, char** argv) {
  const uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200;
  const uint64_t lineCount = megabytes * 1000 * 1000 / 150;
  const char* tmp = std::getenv("TMPDIR");
  const std::filesystem::path dir =
      std::filesystem::path(tmp && *tmp ? tmp : "/tmp") / ("readline-bench-" + std::to_string(platform::processId()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "access_log").string();
  {
    std::ofstream out(path, std::ios::binary);
    std::string block;
    for (uint64_t n = 0; n < lineCount; ++n) {
      block += lineFor(n);
      if (block.size() > (1 << 20)) {
        out << block;
        block.clear();
      }
    }
    out << block;
  }
  uint64_t readerLines = 0, wcLines = 0;
  countWithWc(path);  // both read from the page cache
  const double wc = best(7, [&] { return countWithWc(path); }, wcLines);
  const double reader = best(7, [&] { return countWithReader(path); }, readerLines);
  std::filesystem::remove_all(dir);

  std::printf("file: %llu MB, %llu lines of 150 bytes\n", static_cast<unsigned long long>(megabytes),
              static_cast<unsigned long long>(lineCount));
  std::printf("BufferedFileReader::readLine: %.3f s (%llu lines)\n", reader,
              static_cast<unsigned long long>(readerLines));
  std::printf("wc -l:                        %.3f s (%llu lines)\n", wc, static_cast<unsigned long long>(wcLines));
  std::printf("ratio readLine / wc -l: %.2f (target <= 1.50)\n", reader / wc);
  return readerLines == lineCount && wcLines == lineCount ? 0 : 1;
}
