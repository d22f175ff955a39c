// The statistics as a person sees them: scripts/demo runs the program with
// Debian's Webalizer and AWStats over the demo tree; every generated record
// must be counted once. Then an AWStats and two Webalizer pages of one
// webspace are served over HTTP on loopback and loaded in headless Chromium:
// they render and everything they ask for is there. The screenshots stay in
// <build>/tests/visual/.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "tests/common/test_env.h"
#include "tools/demo_data/demo_tree.h"

namespace fs = std::filesystem;
using testenv::readFile;
using testenv::TempDir;

namespace {

std::string shq(const std::string& s) { return testenv::shellQuote(s); }

struct Ran {
  int code;
  std::string output;
};

// A shell command line; its output (stdout and stderr) and exit code come back through files.
Ran shell(const TempDir& tmp, const std::string& command) {
  static int n = 0;
  const std::string base = tmp / ("shell-" + std::to_string(++n));
  const std::string line = "( " + command + " ) >" + shq(base + ".out") + " 2>&1; echo $? >" + shq(base + ".rc");
  if (std::system(line.c_str()) == -1) return {-1, "cannot start a shell"};
  return {std::atoi(readFile(base + ".rc").c_str()), readFile(base + ".out")};
}

class HttpServer {
 public:
  HttpServer(const TempDir& tmp, const std::string& directory) : tmp_(tmp), log_(tmp / "http.log") {
    const std::string out = tmp / "http.out", pidFile = tmp / "http.pid";
    const std::string command = "python3 -u -m http.server --bind 127.0.0.1 --directory " + shq(directory) +
                                " 0 >" + shq(out) + " 2>" + shq(log_) + " & echo $! >" + shq(pidFile);
    if (std::system(command.c_str()) != 0) return;
    pid_ = std::atoi(readFile(pidFile).c_str());
    // The server prints its port once it listens.
    static const std::regex listening("port (\\d+)");
    std::smatch m;
    for (int i = 0; i < 300 && port_ == 0; ++i) {
      const std::string text = readFile(out);
      if (std::regex_search(text, m, listening))
        port_ = std::stoi(m[1]);
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  ~HttpServer() {
    if (pid_ > 0) shell(tmp_, "kill " + std::to_string(pid_) + " 2>/dev/null");
  }
  int port() const { return port_; }
  std::string log() const { return readFile(log_); }
  // (path, status) of every request so far.
  std::vector<std::pair<std::string, int>> requests() const {
    static const std::regex request("\"GET ([^ ]+) HTTP/[0-9.]+\" (\\d+)");
    std::vector<std::pair<std::string, int>> out;
    std::istringstream in(log());
    std::smatch m;
    for (std::string line; std::getline(in, line);)
      if (std::regex_search(line, m, request)) out.emplace_back(m[1], std::stoi(m[2]));
    return out;
  }

 private:
  const TempDir& tmp_;
  std::string log_;
  int pid_ = 0;
  int port_ = 0;
};

// The images a page names, as absolute paths on the server.
std::set<std::string> imagesOf(const std::string& html, const std::string& pageDir) {
  static const std::regex img("<img[^>]*\\ssrc=\"([^\"]+)\"", std::regex::icase);
  std::set<std::string> images;
  for (auto it = std::sregex_iterator(html.begin(), html.end(), img); it != std::sregex_iterator(); ++it) {
    const std::string src = (*it)[1];
    images.insert(src[0] == '/' ? src : (fs::path(pageDir) / src).lexically_normal().string());
  }
  return images;
}

TEST(ReportsInABrowser, EveryDemoRecordIsCountedAndThePagesRenderWithEveryImage) {
  TempDir tmp;
  const std::string demoDir = tmp / "demo";
  const Ran demoRun = shell(tmp, "TARVO_BUILD_DIR=" + shq(testenv::buildDir()) + " " +
                                     shq(testenv::sourceDir() + "/scripts/demo") +
                                     " --no-install --no-build --records=120 --days=1 " + shq(demoDir));
  ASSERT_EQ(demoRun.code, 0) << demoRun.output;
  for (const demo::ReportCount& row : demo::reportCounts(demoDir + "/vhosts"))
    EXPECT_EQ(row.counted, row.generated) << row.domain->name << " " << demo::kindPrefix(row.kind);

  // ws-alpha holds an AWStats domain and a Webalizer domain.
  const std::string stats = demoDir + "/vhosts/ws-alpha/.tarvo/statistics";
  struct Page {
    std::string path, png, mustShow;
    std::size_t minImages;
  };
  std::vector<Page> pages = {
      {"/alpha-books.example/webstat/index.html", "awstats-index.png", "Statistics for:", 10},
      {"/alpha-blog.example/webstat/index.html", "webalizer-index.png", "Usage statistics for alpha-blog.example", 1},
  };
  // Webalizer's month page carries the daily, hourly and country charts.
  for (const auto& e : fs::directory_iterator(stats + "/alpha-blog.example/webstat"))
    if (e.path().filename().string().starts_with("usage_") && e.path().extension() == ".html")
      pages.push_back({"/alpha-blog.example/webstat/" + e.path().filename().string(), "webalizer-month.png",
                       "Usage statistics for alpha-blog.example", 3});
  const std::string artefacts = testenv::buildDir() + "/tests/visual";
  fs::create_directories(artefacts);

  HttpServer server(tmp, stats);
  ASSERT_GT(server.port(), 0) << server.log();
  for (const Page& page : pages) {
    SCOPED_TRACE(page.path);
    const std::string html = readFile(stats + page.path);
    ASSERT_NE(html.find(page.mustShow), std::string::npos) << "the page does not show " << page.mustShow;
    const std::set<std::string> images = imagesOf(html, fs::path(page.path).parent_path().string());
    EXPECT_GE(images.size(), page.minImages) << "a report page without its charts and icons";

    const std::size_t before = server.requests().size();
    const std::string png = artefacts + "/" + page.png;
    const std::string profile = tmp / ("chromium-" + fs::path(png).stem().string());
    fs::remove(png);
    // timeout only guards the test run against a browser that never ends.
    const Ran shot = shell(tmp, "timeout 300 chromium --headless --no-sandbox --disable-gpu --disable-quic "
                                "--no-first-run --disable-background-networking --disable-component-update "
                                "--disable-sync --user-data-dir=" + shq(profile) + " --screenshot=" + shq(png) +
                                    " --window-size=1280,2000 " +
                                    shq("http://127.0.0.1:" + std::to_string(server.port()) + page.path));
    ASSERT_EQ(shot.code, 0) << shot.output;
    const std::string bytes = readFile(png);
    EXPECT_TRUE(bytes.size() > 10000 && bytes.starts_with("\x89PNG\r\n\x1a\n")) << png;

    const auto all = server.requests();
    std::map<std::string, int> fetched;
    for (std::size_t i = before; i < all.size(); ++i) fetched[all[i].first] = all[i].second;
    EXPECT_EQ(fetched[page.path], 200);
    for (const std::string& image : images) {
      ASSERT_TRUE(fetched.count(image)) << image << " was never asked for\n" << server.log();
      EXPECT_EQ(fetched[image], 200) << image;
    }
    // The browser asks for a site icon of its own accord; the page names none.
    for (const auto& [path, status] : fetched) {
      if (path != "/favicon.ico") {
        EXPECT_NE(status, 404) << path;
      }
    }
  }
}

} // namespace
