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

namespace fs = std::filesystem;

namespace {

void writeText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// A temporary installation: registry file, settings of the stand-in
// management service and the service itself on a socket inside it.
class Installation {
 public:
  Installation() {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarvo-bench-XXXXXX";
    if (!mkdtemp(templ.data())) std::abort();
    root_ = templ;
    setenv("TARVO_REGISTRY", (root_ / "registry.reg").c_str(), 1);
    setenv("TARVO_PIPE_DIR", (root_ / "pipes").c_str(), 1);
    setenv("TARVO_LOCK_DIR", (root_ / "locks").c_str(), 1);
    fs::create_directories(root_ / "pipes");
    fs::create_directories(root_ / "locks");
    fs::create_directories(vhosts());
    writeText(root_ / "registry.reg",
              "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvo\\ZUL Config\\Config]\r\n"
              "\"PRODUCT_ROOT_D\"=\"" + (root_ / "product").string() + "\"\r\n\"Debug\"=dword:00000000\r\n"
              "\"zulpipe\"=\"zulpipe\"\r\n");
    writeText(root_ / "mgmt-service.conf", "HTTPD_VHOSTS_D=" + vhosts().string() + "\nPRODUCT_ROOT_D=" +
                                                (root_ / "product").string() + "\nAWStatsPath=" +
                                                (root_ / "product/awstats").string() + "\n");
    const std::string service = std::string(TARVO_BUILD_DIR) + "/tools/mgmt_service/tarvo-mgmt-service";
    const std::string start = service + " --settings=" + (root_ / "mgmt-service.conf").string() +
                              " --log=" + (root_ / "mgmt-service.log").string() + " --daemon --pid-file=" +
                              (root_ / "service.pid").string();
    if (std::system(start.c_str()) != 0) {
      std::fprintf(stderr, "cannot start %s\n", service.c_str());
      std::exit(1);
    }
  }
  ~Installation() {
    std::ifstream pidFile(root_ / "service.pid");
    long pid = 0;
    if (pidFile >> pid && pid > 0) std::system(("kill " + std::to_string(pid)).c_str());
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  fs::path vhosts() const { return root_ / "vhosts"; }

  // Adds webspaces up to count, each with one configuration.
  void growTo(int count) {
    for (; webspaces_ < count; ++webspaces_) {
      const std::string name = "ws" + std::to_string(webspaces_);
      writeText(vhosts() / name / "logs/iis/web_stat_executor.conf",
                "<config><domain name=\"site-" + std::to_string(webspaces_) + ".example\" webspaceName=\"" + name +
                    "\" default_doc=\"index.html\"><alias name=\"www.site.example\"/>"
                    "<webstat type=\"none\"/></domain></config>\n");
      fs::create_directories(vhosts() / name / "httpdocs");
    }
  }

 private:
  fs::path root_;
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
