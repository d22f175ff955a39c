// The demo tree generator: counts that match what lies on disk exactly (the
// fault runs compare the engines' totals against them), a day appended later
// equal to that day of a longer layout, and reports counted as the engines
// record them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "tests/common/test_env.h"
#include "tools/demo_data/demo_tree.h"

namespace fs = std::filesystem;
using namespace demo;
using testenv::readFile;
using testenv::TempDir;
using testenv::writeFile;

namespace {

const UnixTime kStart = fromCivilDay(2026, 10, 30);
constexpr UnixTime kDay = 86400;

TEST(DemoTree, CountsMatchTheFilesAndAnAppendedDayIsThatDayOfALongerLayout) {
  TempDir tmp;
  TreeSettings settings;
  settings.seed = 11;
  settings.webRecordsPerDay = 120;
  const Counts counts = layOut(tmp / "a", settings, kStart, 2);
  ASSERT_EQ(counts.size(), demoDomains().size() * 3);
  for (const KindCount& c : counts) {
    SCOPED_TRACE(c.domain->name + " " + kindPrefix(c.kind));
    EXPECT_EQ(c.files, 2);
    std::int64_t lines = 0, crlf = 0;
    for (UnixTime day : {kStart, kStart + kDay}) {
      const std::string text = readFile(configDir(tmp / "a", *c.domain) + "/" + logFileName(c.kind, day));
      lines += std::count(text.begin(), text.end(), '\n');
      for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) ++crlf;
    }
    EXPECT_GT(c.records, 0);
    EXPECT_EQ(c.records, lines);
    EXPECT_EQ(crlf, lines);
  }

  EXPECT_THROW(layOut(tmp / "a", settings, kStart, 1), std::runtime_error);  // a tree is there
  EXPECT_THROW(appendDay(tmp / "none", kStart + 10 * kDay), std::runtime_error);
  EXPECT_THROW(appendDay(tmp / "a", kStart + kDay), NoDayLeft);  // the third day lies after "today"
  layOut(tmp / "b", settings, kStart, 3);
  for (const KindCount& c : appendDay(tmp / "a", kStart + 2 * kDay)) {
    EXPECT_EQ(c.files, 1);
    const std::string name = "/" + logFileName(c.kind, kStart + 2 * kDay);
    EXPECT_EQ(readFile(configDir(tmp / "a", *c.domain) + name), readFile(configDir(tmp / "b", *c.domain) + name))
        << c.domain->name << name;
  }
  EXPECT_THAT(readFile(stateFilePath(tmp / "a")), ::testing::HasSubstr("last_day=" + formatDay(kStart + 2 * kDay)));
}

TEST(DemoTree, CommandLinePrintsTheCountTableAndRefusesBadInput) {
  TempDir tmp;
  const std::string exe = testenv::buildDir() + "/tools/demo_data/tarvo-demo-data";
  const std::string command = exe + " --vhosts=" + (tmp / "vhosts") +
                              " --seed=3 --records=50 --days=1 --start=2026-10-01 --count > " + (tmp / "count.txt");
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  TreeSettings settings;
  settings.seed = 3;
  settings.webRecordsPerDay = 50;
  EXPECT_EQ(readFile(tmp / "count.txt"), countTable(layOut(tmp / "same", settings, fromCivilDay(2026, 10, 1), 1)));
  EXPECT_NE(std::system((exe + " --vhosts=" + (tmp / "bad") + " --start=2026-02-30 2>/dev/null").c_str()), 0);
  EXPECT_FALSE(fs::exists(tmp / "bad"));
}

TEST(DemoTree, ReportsAreCountedAsTheEnginesRecordThem) {
  TempDir tmp;
  EXPECT_EQ(countedInReports(tmp / "nothing", Engine::Webalizer), 0);
  EXPECT_EQ(countedInReports(tmp / "nothing", Engine::AWStats), 0);

  writeFile(tmp / "wa/webalizer.hist",
            "# Webalizer V2.23-08 History Data - 06/Dec/2026 03:39:05 (120 month)\n"
            "12 2026 120 80 17 1597 1 6 71 24 0 0\n"
            "11 2026 2972 1946 177 159497 26 28 714 242 0 0\n");
  EXPECT_EQ(countedInReports(tmp / "wa", Engine::Webalizer), 3092);

  // Hits of the hours, viewed and not viewed; other sections and other files do not count.
  const std::string data =
      "BEGIN_GENERAL 8\nLastLine 20261126234157 1811 492337 18905267661423\nEND_GENERAL\n"
      "BEGIN_TIME 24\n0 3 10 1000 0 2 0\n13 40 200 9999 1 31 77\nEND_TIME\n"
      "BEGIN_ERRORS 2\n404 26 28995\n302 2 1946\nEND_ERRORS\n";
  writeFile(tmp / "aw/awstats112026.beta-shop.example.txt", data);
  writeFile(tmp / "aw/awstats122026.beta-shop.example.txt", "BEGIN_TIME 1\n5 1 4 10 0 1 0\nEND_TIME\n");
  writeFile(tmp / "aw/index.html", data);
  EXPECT_EQ(countedInReports(tmp / "aw", Engine::AWStats), 10 + 2 + 200 + 31 + 4 + 1);

  // Before any run the reports count nothing of what the tree holds.
  TreeSettings settings;
  settings.webRecordsPerDay = 40;
  const Counts counts = layOut(tmp / "vhosts", settings, kStart, 2);
  const auto rows = reportCounts(tmp / "vhosts");
  ASSERT_EQ(rows.size(), counts.size());
  for (const ReportCount& r : rows) {
    const auto same = std::find_if(counts.begin(), counts.end(),
                                   [&](const KindCount& c) { return c.domain == r.domain && c.kind == r.kind; });
    ASSERT_NE(same, counts.end());
    EXPECT_EQ(r.generated, same->records);
    EXPECT_EQ(r.counted, 0);
  }
}

} // namespace
