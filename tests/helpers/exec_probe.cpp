// A child for the process tests: tells what it was started with.
//   exec_probe args ...            prints "[argv0]" then "[arg]" for each argument
//   exec_probe flood N             writes N bytes "o" to stdout and N bytes "e" to stderr, interleaved
//   exec_probe env NAME ...        prints NAME=value (or NAME unset) per name
//   exec_probe cwd                 prints the working directory
//   exec_probe fds                 prints the open descriptors, e.g. "0 1 2"
//   exec_probe cat                 copies standard input to standard output
//   exec_probe exit N [TEXT]       prints TEXT and ends with exit code N
//   exec_probe touch PATH          creates PATH
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <string>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "args") {
    std::printf("[%s]", argv[0]);
    for (int i = 2; i < argc; ++i) std::printf("[%s]", argv[i]);
    return 0;
  }
  if (mode == "flood" && argc > 2) {
    long left = std::atol(argv[2]);
    const std::string out(4096, 'o'), err(4096, 'e');
    while (left > 0) {
      const size_t n = left < 4096 ? static_cast<size_t>(left) : 4096;
      std::fwrite(out.data(), 1, n, stdout);
      std::fflush(stdout);
      std::fwrite(err.data(), 1, n, stderr);
      std::fflush(stderr);
      left -= static_cast<long>(n);
    }
    return 0;
  }
  if (mode == "env") {
    for (int i = 2; i < argc; ++i) {
      const char* value = std::getenv(argv[i]);
      if (value) std::printf("%s=%s\n", argv[i], value);
      else std::printf("%s unset\n", argv[i]);
    }
    return 0;
  }
  if (mode == "cwd") {
    std::printf("%s", fs::current_path().c_str());
    return 0;
  }
  if (mode == "fds") {
    // The directory iterator's own descriptor is left out.
    std::set<int> fds;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) fds.insert(std::stoi(entry.path().filename()));
    std::set<int> open;
    for (int fd : fds)
      if (fs::exists(fs::path("/proc/self/fd") / std::to_string(fd))) open.insert(fd);
    std::string line;
    for (int fd : open) line += (line.empty() ? "" : " ") + std::to_string(fd);
    std::printf("%s", line.c_str());
    return 0;
  }
  if (mode == "cat") {
    std::cout << std::cin.rdbuf();
    return 0;
  }
  if (mode == "exit" && argc > 2) {
    if (argc > 3) std::printf("%s", argv[3]);
    return std::atoi(argv[2]);
  }
  if (mode == "touch" && argc > 2) {
    std::ofstream(argv[2]).put('x');
    return 0;
  }
  std::fprintf(stderr, "exec_probe: unknown mode '%s'\n", mode.c_str());
  return 2;
}
