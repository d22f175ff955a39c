// Collection and reading of the statistics configurations: N webspaces with
// one web_stat_executor.conf each, whose engine type is neither "awstats" nor
// "webalizer", so the run only finds, reads and skips them. Measured for
// 1,000 and 10,000 webspaces, in-process (WebStatisticsExecutor::calculate)
// and as a whole run of the program (--calculate-all).
//
// Targets: under 1 ms per configuration; 10,000 against 1,000 within 11x.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/web_statistics_executor.h"
#include "bench/common/bench_installation.h"

namespace fs = std::filesystem;

namespace {

// The installation with webspaces of one configuration each.
class Installation : public bench::Installation {
 public:
  // Adds webspaces up to count, each with one configuration.
  void growTo(int count) {
    for (; webspaces_ < count; ++webspaces_) {
      const std::string name = "ws" + std::to_string(webspaces_);
      bench::writeText(vhosts() / name / "logs/iis/web_stat_executor.conf",
                       "<config><domain name=\"site-" + std::to_string(webspaces_) + ".example\" webspaceName=\"" + name +
                    "\" default_doc=\"index.html\"><alias name=\"www.site.example\"/>"
                    "<webstat type=\"none\"/></domain></config>\n");
      fs::create_directories(vhosts() / name / "httpdocs");
    }
  }

 private:
  int webspaces_ = 0;
};

template <class Op>
double bestSeconds(int repetitions, Op op) {
  double best = 1e30;
  for (int i = 0; i < repetitions; ++i) {
    const auto start = std::chrono::steady_clock::now();
    op();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

} // namespace

int main() {
  Installation inst;
  const std::string program = std::string(TARVO_BUILD_DIR) + "/web_statistics_executor";
  const std::string wholeRun = program + " --calculate-all > /dev/null 2>&1";
  WebStatisticsExecutor app;

  double inProcess[2] = {}, whole[2] = {};
  const int sizes[2] = {1000, 10000};
  for (int i = 0; i < 2; ++i) {
    inst.growTo(sizes[i]);
    inProcess[i] = bestSeconds(3, [&] { app.calculate("", ""); }) / sizes[i];
    whole[i] = bestSeconds(3, [&] {
                 if (std::system(wholeRun.c_str()) != 0) std::fprintf(stderr, "the run did not end with 0\n");
               }) /
               sizes[i];
  }

  std::printf("configurations collected, read and skipped (type neither awstats nor webalizer)\n");
  std::printf("%-28s %14s %14s %8s\n", "", "1,000", "10,000", "ratio");
  const double inProcessRatio = inProcess[1] * sizes[1] / (inProcess[0] * sizes[0]);
  const double wholeRatio = whole[1] * sizes[1] / (whole[0] * sizes[0]);
  std::printf("%-28s %11.3f ms %11.3f ms %7.2fx\n", "calculate, per config", inProcess[0] * 1e3, inProcess[1] * 1e3,
              inProcessRatio);
  std::printf("%-28s %11.3f ms %11.3f ms %7.2fx\n", "--calculate-all, per config", whole[0] * 1e3, whole[1] * 1e3,
              wholeRatio);
  std::printf("targets: < 1 ms per configuration, 10,000 vs 1,000 within 11x (ratio of total times)\n");
  const bool met = inProcess[1] < 1e-3 && whole[1] < 1e-3 && inProcessRatio <= 11 && wholeRatio <= 11;
  std::printf("%s\n", met ? "targets met" : "TARGETS MISSED");
  return 0;
}
