// The demo tree generator: the record formats the engines read, the layout
// the program searches, and counts that match what lies on disk exactly (the
// fault-injection runs compare the engines' totals against them).
#include <gtest/gtest.h>

#include "tests/common/test_env.h"
#include "tools/demo_data/demo_tree.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

namespace fs = std::filesystem;
using namespace demo;

namespace {

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> fieldsOf(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string f; in >> f;) fields.push_back(f);
  return fields;
}

// "[26/Nov/2026:01:57:43 +0000]" inside a CLF record -> "20261126015743".
std::string clfTimeAsKey(const std::string& record) {
  const auto open = record.find('[');
  if (open == std::string::npos) return "";
  static const std::map<std::string, std::string> months = {
      {"Jan", "01"}, {"Feb", "02"}, {"Mar", "03"}, {"Apr", "04"}, {"May", "05"}, {"Jun", "06"},
      {"Jul", "07"}, {"Aug", "08"}, {"Sep", "09"}, {"Oct", "10"}, {"Nov", "11"}, {"Dec", "12"}};
  const std::string t = record.substr(open + 1, 20);  // 26/Nov/2026:01:57:43
  return t.substr(7, 4) + months.at(t.substr(3, 3)) + t.substr(0, 2) + t.substr(12, 2) +
         t.substr(15, 2) + t.substr(18, 2);
}

const UnixTime kStart = fromCivilDay(2026, 10, 30);

WebHit sampleHit() {
  WebHit h;
  h.time = fromCivilDay(2026, 12, 6) + 3 * 3600 + 5 * 60 + 9;
  h.clientIp = "81.2.3.4";
  h.method = "GET";
  h.path = "/search";
  h.query = "q=red+lamp";
  h.status = 304;
  h.bytes = 0;
  h.requestBytes = 512;
  h.timeTakenMs = 31;
  h.agent = "Mozilla/5.0 (X11; Linux x86_64)";
  h.host = "www.beta-shop.example";
  h.serverPort = 443;
  return h;
}

TEST(DemoRecords, LinesHaveTheFormatsTheEnginesRead) {
  const WebHit hit = sampleHit();
  EXPECT_EQ(sortKey(hit.time), "20261206030509 ");
  EXPECT_EQ(sortKey(hit.time).size(), kSortKeyLength);
  EXPECT_EQ(formatClf(hit),
            "81.2.3.4 - - [06/Dec/2026:03:05:09 +0000] \"GET /search?q=red+lamp HTTP/1.1\" 304 - \"-\" "
            "\"Mozilla/5.0 (X11; Linux x86_64)\"");

  const ServerIdentity server{"W3SVC5", "WEB01", "10.20.0.5"};
  const std::string w3c = formatW3cWeb(hit, server);
  EXPECT_EQ(w3c,
            "2026-12-06 03:05:09 W3SVC5 WEB01 10.20.0.5 GET /search q=red+lamp 443 - 81.2.3.4 HTTP/1.1 "
            "Mozilla/5.0+(X11;+Linux+x86_64) - - www.beta-shop.example 304 0 0 0 512 31");
  EXPECT_EQ(fieldsOf(w3c).size(), std::size_t(kW3cFieldCount));

  FtpTransfer t;
  t.time = fromCivilDay(2026, 12, 6) + 59;
  t.clientIp = "93.1.1.1";
  t.user = "guest@";
  t.anonymous = true;
  t.path = "/pub/readme.txt";
  t.bytes = 1234;
  t.seconds = 2;
  t.host = "beta-shop.example";
  // The day of the month is padded with a blank, as ctime() writes it.
  EXPECT_EQ(formatXferlog(t), "Sun Dec  6 00:00:59 2026 2 93.1.1.1 1234 /pub/readme.txt b _ o a guest@ ftp 0 * c");
  EXPECT_EQ(formatW3cFtp(t, server),
            "2026-12-06 00:00:59 W3SVC5 WEB01 10.20.0.5 RETR /pub/readme.txt - 21 anonymous 93.1.1.1 - - - - "
            "beta-shop.example 226 0 0 1234 0 2000");
  t.upload = true;
  t.anonymous = false;
  t.user = "deploy";
  EXPECT_EQ(fieldsOf(formatW3cFtp(t, server))[5], "STOR");
  EXPECT_EQ(formatXferlog(t).substr(0, 24), "Sun Dec  6 00:00:59 2026");
  EXPECT_NE(formatXferlog(t).find(" b _ i r deploy ftp 0 * c"), std::string::npos);
}

TEST(DemoRecords, CalendarAndDayParsing) {
  UnixTime day = 0;
  EXPECT_TRUE(parseDay("2024-02-29", day));
  EXPECT_EQ(formatDay(day), "2024-02-29");
  EXPECT_EQ(formatDayCompact(day + 86400), "20240301");
  for (const char* bad : {"2023-02-29", "2024-13-01", "2024-1-01", "20240101", "2024-01-01x", ""})
    EXPECT_FALSE(parseDay(bad, day)) << bad;
  EXPECT_EQ(toCivil(fromCivilDay(1970, 1, 1)).weekday, 4);  // a Thursday
}

TEST(DemoTree, EveryLogLineIsOneEngineReadyRecordAndTheCountsMatchTheFiles) {
  testenv::TempDir tmp;
  const std::string root = tmp / "vhosts";
  TreeSettings settings;
  settings.seed = 7;
  settings.webRecordsPerDay = 300;
  const Counts counts = layOut(root, settings, kStart, 2);
  ASSERT_EQ(counts.size(), demoDomains().size() * 3);

  std::map<std::string, std::int64_t> onDisk;  // domain/kind -> lines
  for (const DemoDomain& d : demoDomains()) {
    const std::string dir = configDir(root, d);
    const std::string conf = testenv::readFile(dir + "/web_stat_executor.conf");
    EXPECT_NE(conf.find("<domain name=\"" + d.name + "\" webspaceName=\"" + d.webspace + "\""), std::string::npos);
    EXPECT_NE(conf.find("<alias name=\"www." + d.name + "\"/>"), std::string::npos);
    EXPECT_NE(conf.find(std::string("<webstat type=\"") + engineName(d.engine) + "\"/>"), std::string::npos);
    for (Kind kind : kAllKinds)
      EXPECT_TRUE(fs::is_directory(statisticsDir(root, d) + "/" + kindStatSubdir(kind)));

    for (const auto& entry : fs::directory_iterator(dir)) {
      const std::string name = entry.path().filename().string();
      if (name == "web_stat_executor.conf" || entry.is_directory()) continue;
      const std::string prefix = name.substr(0, 3);
      ASSERT_TRUE(prefix == "web" || prefix == "ftp" || prefix == "ano") << name;
      const std::string text = testenv::readFile(entry.path().string());
      ASSERT_FALSE(text.empty());
      ASSERT_EQ(text.substr(text.size() - 2), "\r\n") << name;
      const std::string day = name.substr(4, 8);
      for (std::string line : linesOf(text)) {
        ASSERT_FALSE(line.empty()) << name;
        ASSERT_EQ(line.back(), '\r');
        line.pop_back();
        if (d.engine == Engine::Webalizer) {
          // The key is the record's own time, so sorting by it sorts by time.
          const std::string key = line.substr(0, kSortKeyLength);
          ASSERT_EQ(key.substr(14), " ") << line;
          ASSERT_EQ(key.substr(0, 8), day) << line;
          const std::string record = line.substr(kSortKeyLength);
          if (prefix == "web") {
            ASSERT_EQ(clfTimeAsKey(record), key.substr(0, 14)) << line;
            ASSERT_GE(fieldsOf(record).size(), 10u) << line;
          } else {
            const auto f = fieldsOf(record);
            ASSERT_EQ(f.size(), 18u) << line;  // 14 xferlog fields, the time counting as five words
            ASSERT_EQ(f[12], prefix == "ano" ? "a" : "r") << line;
            ASSERT_EQ(f.back(), "c");
          }
        } else {
          const auto f = fieldsOf(line);
          ASSERT_EQ(f.size(), std::size_t(kW3cFieldCount)) << line;
          ASSERT_EQ(f[0].substr(0, 4) + f[0].substr(5, 2) + f[0].substr(8, 2), day);
          // AWStats drops records whose host is neither the domain nor an alias.
          ASSERT_TRUE(f[15] == d.name || f[15] == "www." + d.name) << line;
          const std::string method = f[5];
          if (prefix == "web")
            ASSERT_TRUE(method == "GET" || method == "POST") << line;
          else
            ASSERT_TRUE(method == "RETR" || method == "STOR") << line;
        }
        ++onDisk[d.name + "/" + prefix];
      }
    }
  }
  for (const KindCount& c : counts) {
    EXPECT_EQ(c.files, 2);
    EXPECT_EQ(c.records, onDisk[c.domain->name + "/" + kindPrefix(c.kind)]) << c.domain->name;
    EXPECT_GT(c.records, 0);
  }
  // A run over a busy site sees thousands of web records in a few days; FTP far fewer.
  const auto web = std::find_if(counts.begin(), counts.end(), [](const KindCount& c) { return c.kind == Kind::Web; });
  const auto ano = std::find_if(counts.begin(), counts.end(), [](const KindCount& c) { return c.kind == Kind::AnonymousFtp; });
  EXPECT_GT(web->records, 10 * ano->records);
}

TEST(DemoTree, AppendedDayIsTheDayALongerLayoutWouldHaveHadAndRefusalsAreClear) {
  testenv::TempDir tmp;
  TreeSettings settings;
  settings.seed = 11;
  settings.webRecordsPerDay = 120;
  EXPECT_THROW(appendDay(tmp / "none", kStart + 10 * 86400), std::runtime_error);

  layOut(tmp / "a", settings, kStart, 2);
  layOut(tmp / "b", settings, kStart, 3);
  try {
    layOut(tmp / "a", settings, kStart, 1);
    FAIL() << "a second layout over the same tree must be refused";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("--append-day"), std::string::npos);
  }
  // The next day would be the third; "today" is the second day: refused.
  try {
    appendDay(tmp / "a", kStart + 86400);
    FAIL() << "a day in the future must be refused";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("future"), std::string::npos);
    EXPECT_NE(dynamic_cast<const NoDayLeft*>(&e), nullptr);
  }

  const Counts appended = appendDay(tmp / "a", kStart + 2 * 86400);
  std::int64_t appendedRecords = 0;
  for (const KindCount& c : appended) {
    EXPECT_EQ(c.files, 1);
    appendedRecords += c.records;
  }
  EXPECT_GT(appendedRecords, 0);
  const std::string third = logFileName(Kind::Web, kStart + 2 * 86400);
  for (const DemoDomain& d : demoDomains()) {
    const std::string rel = fs::relative(configDir(tmp / "a", d), tmp / "a").string();
    EXPECT_EQ(testenv::readFile(tmp / "a/" + rel + "/" + third), testenv::readFile(tmp / "b/" + rel + "/" + third));
  }
  EXPECT_NE(testenv::readFile(stateFilePath(tmp / "a")).find("last_day=" + formatDay(kStart + 2 * 86400)),
            std::string::npos);
  // Another seed gives other records.
  TreeSettings other = settings;
  other.seed = 12;
  EXPECT_NE(dayLines(settings, 0, Kind::Web, kStart), dayLines(other, 0, Kind::Web, kStart));
}

TEST(DemoTree, CommandLinePrintsTheCountTable) {
  testenv::TempDir tmp;
  const std::string exe = testenv::buildDir() + "/tools/demo_data/tarvo-demo-data";
  const std::string out = tmp / "count.txt";
  const std::string command = exe + " --vhosts=" + (tmp / "vhosts") +
                              " --seed=3 --records=50 --days=1 --start=2026-10-01 --count > " + out;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const auto table = linesOf(testenv::readFile(out));
  ASSERT_EQ(table.size(), 1 + demoDomains().size() * 3);
  EXPECT_EQ(table[0], "# domain\twebspace\tengine\tkind\tfiles\trecords");
  TreeSettings settings;
  settings.seed = 3;
  settings.webRecordsPerDay = 50;
  const auto fields = [](const std::string& row) {
    std::vector<std::string> f;
    std::istringstream in(row);
    for (std::string x; std::getline(in, x, '\t');) f.push_back(x);
    return f;
  };
  EXPECT_EQ(fields(table[1]), (std::vector<std::string>{
                                  "alpha-books.example", "ws-alpha", "awstats", "web", "1",
                                  std::to_string(dayLines(settings, 0, Kind::Web, fromCivilDay(2026, 10, 1)).size())}));
  // Bad input is refused with a message and exit code 1, and lays out nothing.
  EXPECT_NE(std::system((exe + " --vhosts=" + (tmp / "bad") + " --start=2026-02-30 2>/dev/null").c_str()), 0);
  EXPECT_FALSE(fs::exists(tmp / "bad"));
}

} // namespace

namespace {

TEST(DemoTree, ReportsAreCountedAsTheEnginesRecordThem) {
  testenv::TempDir tmp;
  EXPECT_EQ(countedInReports(tmp / "nothing", Engine::Webalizer), 0);
  EXPECT_EQ(countedInReports(tmp / "nothing", Engine::AWStats), 0);

  testenv::writeFile(tmp / "wa/webalizer.hist",
                     "# Webalizer V2.23-08 History Data - 06/Dec/2026 03:39:05 (120 month)\n"
                     "12 2026 120 80 17 1597 1 6 71 24 0 0\n"
                     "11 2026 2972 1946 177 159497 26 28 714 242 0 0\n"
                     "10 2026 0 0 0 0 0 0 0 0 0 0\n");
  EXPECT_EQ(countedInReports(tmp / "wa", Engine::Webalizer), 3092);

  // Hits of the hours, viewed and not viewed; other sections and other files do not count.
  const std::string data =
      "BEGIN_GENERAL 8\nLastLine 20261126234157 1811 492337 18905267661423\nEND_GENERAL\n"
      "BEGIN_TIME 24\n0 3 10 1000 0 2 0\n1 0 0 0 0 0 0\n13 40 200 9999 1 31 77\nEND_TIME\n"
      "BEGIN_ERRORS 2\n404 26 28995\n302 2 1946\nEND_ERRORS\n";
  testenv::writeFile(tmp / "aw/awstats112026.beta-shop.example.txt", data);
  testenv::writeFile(tmp / "aw/awstats122026.beta-shop.example.txt", "BEGIN_TIME 1\n5 1 4 10 0 1 0\nEND_TIME\n");
  testenv::writeFile(tmp / "aw/index.html", data);
  EXPECT_EQ(countedInReports(tmp / "aw", Engine::AWStats), 10 + 2 + 200 + 31 + 4 + 1);

  // Before any run the reports count nothing of what the tree holds.
  TreeSettings settings;
  settings.webRecordsPerDay = 40;
  layOut(tmp / "vhosts", settings, kStart, 2);
  const auto rows = reportCounts(tmp / "vhosts");
  ASSERT_EQ(rows.size(), demoDomains().size() * 3);
  EXPECT_EQ(rows[0].generated, std::int64_t(dayLines(settings, 0, Kind::Web, kStart).size() +
                                            dayLines(settings, 0, Kind::Web, kStart + 86400).size()));
  for (const ReportCount& r : rows) EXPECT_EQ(r.counted, 0);
}

} // namespace
