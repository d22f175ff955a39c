// The whole AWStats run with the real Debian awstats.pl and perl, driven by
// the program itself against a temporary installation and the stand-in
// management service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "awstats/awstats_run.h"
#include "config/web_stat_config.h"
#include "platform/text.h"
#include "support/errors.h"
#include "support/format.h"
#include "tests/common/test_env.h"
#include "tests/common/test_installation.h"

namespace fs = std::filesystem;
using namespace testenv;
using ::testing::HasSubstr;

namespace {

const char* const kPerlKey = "SOFTWARE\\Tarvo\\Installer\\CorvanitePerl";
const char* const kPages[] = {"alldomains", "allhosts",      "lasthosts",     "unknownip",  "alllogins",
                              "lastlogins", "allrobots",     "lastrobots",    "urldetail",  "urlentry",
                              "urlexit",    "browserdetail", "osdetail",      "unknownbrowsers", "unknownos",
                              "refererse",  "refererpages",  "keyphrases",    "keywords",   "errors404"};

enum class Kind { Web, Ftp, AnonymousFtp };

const char* prefixOf(Kind kind) { return kind == Kind::Web ? "web" : kind == Kind::Ftp ? "ftp" : "anon"; }
const char* subdirOf(Kind kind) {
  return kind == Kind::Web ? "webstat" : kind == Kind::Ftp ? "ftpstat" : "anon_ftpstat";
}

// One W3C extended record with the 22 fields of the configuration's LogFormat.
std::string record(Kind kind, int day, int i) {
  const int seconds = 8 * 3600 + i * 3;
  const std::string when = formatString("2024-03-%02d %02d:%02d:%02d", day, seconds / 3600, seconds / 60 % 60,
                                        seconds % 60);
  // Every record from its own host, so that every record is one visit.
  const std::string host = formatString("10.%d.%d.%d", day, i / 250, i % 250 + 1);
  if (kind == Kind::Web) {
    return when + " W3SVC1 WEB1 192.0.2.10 GET /page" + std::to_string(i % 37) + ".html - 80 - " + host +
           " HTTP/1.1 Mozilla/5.0+(X11;+Linux+x86_64;+rv:120.0)+Gecko/20100101+Firefox/120.0 - "
           "http://search.example.org/?q=site site-one.example 200 0 0 " +
           std::to_string(1000 + i) + " 300 15";
  }
  return when + " MSFTPSVC1 FTP1 192.0.2.10 " + (i % 3 ? "RETR" : "STOR") + " /files/f" + std::to_string(i % 11) +
         ".zip - 21 " + (kind == Kind::AnonymousFtp ? "anonymous" : "user1") + " " + host +
         " - - - - site-one.example 226 0 0 " + std::to_string(5000 + i) + " 0 100";
}

// A log of the day: header lines, then the records in reverse time order so
// that only a sorted log is read completely.
std::string logOfDay(Kind kind, int day, int records) {
  std::string log = "#Software: Microsoft Internet Information Services 10.0\r\n#Fields: date time ...\r\n";
  for (int i = records - 1; i >= 0; --i) log += record(kind, day, i) + "\r\n";
  return log;
}

struct Totals {
  long hits = 0;
  long visits = 0;
};

// The day rows of AWStats' database: "BEGIN_DAY n", then "date pages hits bandwidth visits".
Totals databaseTotals(const std::string& directory, const std::string& domain) {
  std::istringstream in(readFile(directory + "/awstats032024." + domain + ".txt"));
  Totals totals;
  bool inDays = false;
  for (std::string line; std::getline(in, line) && !text::startsWith(line, "END_DAY");) {
    if (inDays) {
      std::istringstream row(line);
      std::string date;
      long pages = 0, hits = 0, bandwidth = 0, visits = 0;
      row >> date >> pages >> hits >> bandwidth >> visits;
      totals.hits += hits;
      totals.visits += visits;
    }
    inDays = inDays || text::startsWith(line, "BEGIN_DAY");
  }
  return totals;
}

size_t countEntries(const std::vector<std::string>& entries, const std::string& piece) {
  return static_cast<size_t>(std::count_if(entries.begin(), entries.end(),
                                           [&](const std::string& e) { return e.find(piece) != std::string::npos; }));
}

class AWStatsEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    awstats_ = inst_.productRoot() + "/awstats";
    setUpEngine("awstats", awstats_);
    inst_.setRegistryString("INSTALLDIR", "/usr", kPerlKey);
  }

  // The configuration file of a domain and the statistics directories the
  // control panel creates with it; gives back the log directory.
  std::string addDomain(const std::string& webspace, const std::string& domain,
                        const std::string& aliasXml = "<alias name=\"www.site-one.example\"/>") {
    const std::string logs = inst_.vhostsDir() + "/" + webspace + "/logs/iis";
    writeFile(logs + "/web_stat_executor.conf",
              "<?xml version=\"1.0\"?>\n<config>\n  <domain name=\"" + domain + "\" webspaceName=\"" + webspace +
                  "\" default_doc=\"index.html\">\n    " + aliasXml +
                  "\n    <webstat type=\"awstats\"/>\n  </domain>\n</config>\n");
    for (Kind kind : {Kind::Web, Kind::Ftp, Kind::AnonymousFtp}) fs::create_directories(outputOf(webspace, domain, kind));
    return logs;
  }
  std::string outputOf(const std::string& webspace, const std::string& domain, Kind kind) const {
    return inst_.vhostsDir() + "/" + webspace + "/.tarvo/statistics/" + domain + "/" + subdirOf(kind);
  }
  std::string cgiBin() const { return awstats_ + "/wwwroot/cgi-bin"; }

  struct Outcome {
    int exitCode = 0;
    std::string failures;
  };
  // The run driver's part for AWStats, in this process: every configuration
  // file of the webspaces (or of one), then the clean-up.
  Outcome calculate(const std::string& webspace = {}) {
    Outcome outcome;
    std::vector<std::string> paths;
    for (const auto& ws : fs::directory_iterator(inst_.vhostsDir())) {
      if (!webspace.empty() && ws.path().filename() != webspace) continue;
      const fs::path conf = ws.path() / "logs/iis/web_stat_executor.conf";
      if (fs::exists(conf)) paths.push_back(conf.string());
    }
    std::sort(paths.begin(), paths.end());
    std::vector<WebStatConfig> processed;
    for (const std::string& path : paths) {
      try {
        WebStatConfig config;
        if (!loadWebStatConfig(path, config)) continue;
        processAWStatsConfig(config);
        processed.push_back(config);
      } catch (const vexception& e) {
        outcome.exitCode = 1;
        outcome.failures += e.fullMessage() + "\n";
      }
    }
    cleanAWstats(processed);
    return outcome;
  }
  // What the operator reads: the failures and the daily log.
  std::string report(const Outcome& r) const {
    return "failures:\n" + r.failures + "\ndaily log:\n" + inst_.dailyLog();
  }

  TestInstallation inst_;
  std::string awstats_;
};

} // namespace

TEST_F(AWStatsEngine, ThreeLogsRunInFileNameOrderAndEveryRecordIsCounted) {
  for (Kind kind : {Kind::Web, Kind::Ftp}) {
    SCOPED_TRACE(prefixOf(kind));
    const std::string webspace = std::string("ws-") + prefixOf(kind);
    const std::string domain = "site-one.example";
    const std::string logs = addDomain(webspace, domain);
    const int records[] = {120, 75, 200};
    // Names whose order is the order of their days; AWStats skips records
    // older than the last one it has seen, so a wrong order loses some.
    for (int day = 1; day <= 3; ++day)
      writeFile(logs + "/" + prefixOf(kind) + "_2024030" + std::to_string(day) + ".log",
                logOfDay(kind, day, records[day - 1]));

    const auto run = calculate(webspace);
    ASSERT_EQ(run.exitCode, 0) << report(run);

    const std::string output = outputOf(webspace, domain, kind);
    EXPECT_TRUE(fs::is_regular_file(output + "/index.html"));
    EXPECT_FALSE(fs::exists(output + "/awstats." + domain + ".html"));
    for (const char* page : kPages) {
      const std::string path = output + "/awstats." + domain + "." + page + ".html";
      ASSERT_TRUE(fs::is_regular_file(path)) << path;
      EXPECT_THAT(readFile(path), HasSubstr("<html")) << path;
    }
    const Totals totals = databaseTotals(output, domain);
    EXPECT_EQ(totals.hits, 120 + 75 + 200);
    // AWStats keeps visits for web logs only; FTP transfers count as hits.
    if (kind == Kind::Web) {
      EXPECT_EQ(totals.visits, 120 + 75 + 200);
    }

    EXPECT_THAT(readFile(output + "/AWStats/cgi-bin/awstats." + domain + ".conf"),
                HasSubstr("DirIcons=\"../icon\"\r\n"));
    EXPECT_FALSE(fs::exists(output + "/CopyAWStats.lock"));
    EXPECT_EQ(namesIn(logs), std::vector<std::string>{"web_stat_executor.conf"});

    // The working configuration stays for the next run; the last log wrote it.
    const std::string working = readFile(cgiBin() + "/awstats." + domain + ".conf");
    EXPECT_THAT(working, HasSubstr("LogFile=\"" + logs + "/" + prefixOf(kind) + "_20240303.log\"\r\n"));
    EXPECT_THAT(working, HasSubstr(std::string("LogType=") + (kind == Kind::Web ? "W" : "F") + "\r\n"));

    const auto entries = inst_.dailyLogEntries();
    EXPECT_GE(countEntries(entries, "Execute AWStats for domain site-one.example"), 3u);
    EXPECT_GE(countEntries(entries, "AWStats finished"), 3u);
    fs::remove_all(inst_.vhostsDir() + "/" + webspace);
  }
}

TEST_F(AWStatsEngine, NotInstalledIsReportedOnceAndTouchesNothing) {
  inst_.setSetting("AWStatsPath", inst_.root() + "/no-awstats-here");
  std::vector<std::string> logs;
  for (const char* ws : {"ws1", "ws2", "ws3"}) {
    const std::string dir = addDomain(ws, std::string("site-") + ws + ".example");
    writeFile(dir + "/web_1.log", logOfDay(Kind::Web, 1, 5));
    writeFile(dir + "/ftp_1.log", logOfDay(Kind::Ftp, 1, 5));
    logs.push_back(dir + "/web_1.log");
    logs.push_back(dir + "/ftp_1.log");
  }
  const auto run = calculate();
  EXPECT_EQ(run.exitCode, 0) << report(run);
  EXPECT_EQ(countEntries(inst_.dailyLogEntries(), "AWStats is not installed. You should download it from"), 1u)
      << inst_.dailyLog();
  for (const std::string& log : logs)
    EXPECT_EQ(readFile(log), logOfDay(log.find("/web_") != std::string::npos ? Kind::Web : Kind::Ftp, 1, 5));
}

TEST_F(AWStatsEngine, UnsafeNamesAreRefusedAndTheLogStays) {
  struct Case {
    const char* what;
    std::string domain;    // as written in the XML attribute
    std::string aliasXml;
    std::string logName;
    const char* expected;
  } cases[] = {
      {"domain name with a double quote", "evil&quot;.example", "", "web_1.log", "a double quote"},
      {"domain name with a blank", "evil.example -update", "", "web_1.log", "unquoted into the AWStats command lines"},
      {"alias with a line break", "alias.example", "<alias name=\"a.example&#10;LogFile=&quot;/etc/passwd&quot;\"/>",
       "web_1.log", "a line break"},
      {"log file ending in a pipe", "pipe.example", "", "web_1.log|", "as a command"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string webspace = "ws" + std::to_string(++n);
    const std::string logs = addDomain(webspace, "placeholder", c.aliasXml);
    // The name as the program will see it.
    std::string xml = readFile(logs + "/web_stat_executor.conf");
    xml.replace(xml.find("placeholder"), 11, c.domain);
    writeFile(logs + "/web_stat_executor.conf", xml);
    const std::string content = logOfDay(Kind::Web, 1, 10);
    writeFile(logs + "/" + c.logName, content);

    const auto run = calculate();
    EXPECT_EQ(run.exitCode, 1) << report(run);
    EXPECT_THAT(report(run), HasSubstr("Refused to write"));
    EXPECT_THAT(report(run), HasSubstr(c.expected));
    EXPECT_EQ(readFile(logs + "/" + c.logName), content) << "the log stays as it was";
    EXPECT_EQ(namesIn(cgiBin()), (std::vector<std::string>{"awredir.pl", "awstats.model.conf", "awstats.pl"}));
    fs::remove_all(inst_.vhostsDir() + "/" + webspace);
  }
}

TEST_F(AWStatsEngine, SecondLogFailingLeavesTheThirdForTheNextRun) {
  const std::string logs = addDomain("ws1", "site-one.example");
  writeFile(logs + "/web_1.log", logOfDay(Kind::Web, 1, 30));
  writeFile(logs + "/web_2.log|", logOfDay(Kind::Web, 2, 30));  // refused
  writeFile(logs + "/web_3.log", logOfDay(Kind::Web, 3, 30));

  const auto run = calculate("ws1");
  EXPECT_EQ(run.exitCode, 1) << report(run);
  EXPECT_FALSE(fs::exists(logs + "/web_1.log"));
  EXPECT_TRUE(fs::exists(logs + "/web_2.log|"));
  EXPECT_EQ(readFile(logs + "/web_3.log"), logOfDay(Kind::Web, 3, 30));
  const std::string output = outputOf("ws1", "site-one.example", Kind::Web);
  EXPECT_TRUE(fs::exists(output + "/index.html"));
  EXPECT_EQ(databaseTotals(output, "site-one.example").hits, 30);
}

// A stand-in sort program in dir: the body gets the output path as $out.
void writeSortStandIn(const std::string& dir, const std::string& body) {
  writeScript(dir + "/sort", "#!/bin/sh\nout=\nwhile [ $# -gt 0 ]; do\n  case $1 in -o|/O|/o) out=$2; shift ;; esac\n"
                             "  shift\ndone\n" + body + "\n");
}

TEST_F(AWStatsEngine, LogIsKeptWhateverHappensToTheSort) {
  struct Case {
    const char* what;
    const char* sortBody;  // nullptr: no sort program at all
    const char* warning;
  } cases[] = {
      {"sort fails", "echo 'sort: cannot read' >&2; exit 2", "failed[2]: sort: cannot read"},
      {"sort cannot be run", nullptr, "Unable to run the sort program"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir system;
    if (c.sortBody) writeSortStandIn(system.path(), c.sortBody);
    ScopedEnv useIt("TARVO_SYSTEM_DIR", system.path());
    const std::string webspace = "ws" + std::to_string(++n);
    const std::string logs = addDomain(webspace, "site-one.example");
    writeFile(logs + "/web_1.log", logOfDay(Kind::Web, 1, 40));

    const auto run = calculate(webspace);
    EXPECT_EQ(run.exitCode, 0) << report(run);
    EXPECT_THAT(report(run), HasSubstr(c.warning));
    // Processed unsorted, then removed; nothing left at the sort file.
    EXPECT_FALSE(fs::exists(logs + "/web_1.log"));
    EXPECT_FALSE(fs::exists(logs + "/web_1.log.sort.tmp"));
    const std::string output = outputOf(webspace, "site-one.example", Kind::Web);
    EXPECT_TRUE(fs::exists(output + "/index.html"));
    EXPECT_GT(databaseTotals(output, "site-one.example").hits, 0);
    fs::remove_all(inst_.vhostsDir() + "/" + webspace);
  }
}

TEST_F(AWStatsEngine, SortFileStaysWhenTheLogCannotBeMovedBack) {
  TempDir system;
  // Leaves a directory where the sorted log should go, so the way back is blocked.
  writeSortStandIn(system.path(), "mkdir \"$out\"; exit 1");
  ScopedEnv useIt("TARVO_SYSTEM_DIR", system.path());
  const std::string logs = addDomain("ws1", "site-one.example");
  const std::string content = logOfDay(Kind::Web, 1, 25);
  writeFile(logs + "/web_1.log", content);

  const auto run = calculate("ws1");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_THAT(run.failures, HasSubstr("Unable to rename log file from " + logs + "/web_1.log.sort.tmp to " + logs +
                                      "/web_1.log"));
  EXPECT_THAT(run.failures, HasSubstr("(LogForAWStats::processLogFile line 276)"));
  EXPECT_EQ(readFile(logs + "/web_1.log.sort.tmp"), content) << "the records are kept at the sort file";
  EXPECT_FALSE(fs::exists(cgiBin() + "/awstats.site-one.example.conf")) << "the working configuration is deleted";
}

TEST_F(AWStatsEngine, MissingPerlFailsTheDomainAndKeepsTheSortedLog) {
  inst_.removeRegistryValue("INSTALLDIR", kPerlKey);
  const std::string logs = addDomain("ws1", "site-one.example");
  writeFile(logs + "/web_1.log", logOfDay(Kind::Web, 1, 25));

  const auto run = calculate("ws1");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_THAT(run.failures,
              HasSubstr("Perl installation directory is undefined\n   at (LogForAWStats::processLogFile line 291)"));
  const std::string log = readFile(logs + "/web_1.log");
  EXPECT_EQ(log.size(), logOfDay(Kind::Web, 1, 25).size());
  EXPECT_LT(log.find(record(Kind::Web, 1, 0)), log.find(record(Kind::Web, 1, 24))) << "sorted in time order";
  EXPECT_FALSE(fs::exists(logs + "/web_1.log.sort.tmp"));
  EXPECT_FALSE(fs::exists(cgiBin() + "/awstats.site-one.example.conf"));
  // The domain copy was made before the failure and stays.
  EXPECT_TRUE(fs::exists(outputOf("ws1", "site-one.example", Kind::Web) + "/AWStats/cgi-bin/awstats.pl"));
}
