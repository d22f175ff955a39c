// The statistics as a person sees them: scripts/demo runs the program with
// Debian's Webalizer and AWStats over the demo tree; every generated record
// must be counted once. Then an AWStats and two Webalizer pages of one
// webspace are served over HTTP on loopback and loaded in headless Chromium:
// they render and everything they ask for is there. The screenshots stay in
// <build>/tests/visual/.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "tests/common/hosting.h"
#include "tools/demo_data/demo_tree.h"

namespace fs = std::filesystem;
using namespace testenv;

namespace {

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

// The status of every request in the server's log, by path (the last one).
std::map<std::string, int> requestsIn(const std::string& log) {
  static const std::regex request("\"GET ([^ ]+) HTTP/[0-9.]+\" (\\d+)");
  std::map<std::string, int> out;
  std::istringstream in(log);
  std::smatch m;
  for (std::string line; std::getline(in, line);)
    if (std::regex_search(line, m, request)) out[m[1]] = std::stoi(m[2]);
  return out;
}

TEST(ReportsInABrowser, EveryDemoRecordIsCountedAndThePagesRenderWithEveryImage) {
  TempDir tmp;
  const std::string demoDir = tmp / "demo";
  const Ran demoRun = Child("env TARVO_BUILD_DIR=" + shellQuote(buildDir()) + " " +
                                shellQuote(sourceDir() + "/scripts/demo") +
                                " --no-install --no-build --records=120 --days=1 " + shellQuote(demoDir),
                            tmp / "demo-run")
                          .wait();
  ASSERT_EQ(demoRun.exitCode, 0) << demoRun.out << demoRun.err;
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
  const std::string artefacts = buildDir() + "/tests/visual";
  fs::create_directories(artefacts);

  // The server prints its port once it listens, and logs every request.
  const std::string server = tmp / "http";
  Child http("python3 -u -m http.server --bind 127.0.0.1 --directory " + shellQuote(stats) + " 0", server);
  std::smatch port;
  std::string said;
  const std::regex listening("port (\\d+)");
  ASSERT_TRUE(waitUntil([&] { return std::regex_search(said = readFile(server + ".out"), port, listening); }))
      << "the HTTP server did not listen within " << kWaitDeadline.count() << " s\n" << readFile(server + ".err");
  for (const Page& page : pages) {
    SCOPED_TRACE(page.path);
    const std::string html = readFile(stats + page.path);
    ASSERT_NE(html.find(page.mustShow), std::string::npos) << "the page does not show " << page.mustShow;
    const std::set<std::string> images = imagesOf(html, fs::path(page.path).parent_path().string());
    EXPECT_GE(images.size(), page.minImages) << "a report page without its charts and icons";

    const size_t before = readFile(server + ".err").size();
    const std::string png = artefacts + "/" + page.png;
    fs::remove(png);
    const Ran shot = Child("chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
                           "--disable-background-networking --disable-component-update --disable-sync "
                           "--user-data-dir=" + shellQuote(tmp / ("chromium-" + fs::path(png).stem().string())) +
                               " --screenshot=" + shellQuote(png) + " --window-size=1280,2000 " +
                               shellQuote("http://127.0.0.1:" + port[1].str() + page.path),
                           tmp / ("shot-" + page.png))
                         .wait(std::chrono::seconds(300));
    ASSERT_EQ(shot.exitCode, 0) << shot.out << shot.err;
    const std::string bytes = readFile(png);
    EXPECT_TRUE(bytes.size() > 10000 && bytes.starts_with("\x89PNG\r\n\x1a\n")) << png;

    std::map<std::string, int> fetched = requestsIn(readFile(server + ".err").substr(before));
    EXPECT_EQ(fetched[page.path], 200);
    for (const std::string& image : images) {
      ASSERT_TRUE(fetched.count(image)) << image << " was never asked for\n" << readFile(server + ".err");
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
