// The whole AWStats run of the program with the real Debian awstats.pl and
// perl, against a temporary installation and the stand-in management service.
// What every run must count is the ledger's and the fault table's; here are
// the pages, and what the run does when a step of it fails.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/text.h"
#include "support/format.h"
#include "tests/common/hosting.h"
#include "tests/common/report_links.h"
#include "tools/demo_data/demo_tree.h"

namespace fs = std::filesystem;
using namespace testenv;
using ::testing::HasSubstr;

namespace {

const std::string kDomain = "site-one.example";
const char* const kPages[] = {"alldomains", "allhosts",      "lasthosts",     "unknownip",  "alllogins",
                              "lastlogins", "allrobots",     "lastrobots",    "urldetail",  "urlentry",
                              "urlexit",    "browserdetail", "osdetail",      "unknownbrowser", "unknownos",
                              "refererse",  "refererpages",  "keyphrases",    "keywords",   "errors404"};

// What a log of the domain holds as a record's Host, listed alias or not.
const char* const kHosts[] = {"site-one.example", "site-one.example:8080", "192.0.2.10", "-",
                              "SITE-ONE.example", "another.example", "www.site-one.example"};

// One W3C extended record with the 22 fields of the configuration's LogFormat,
// every record from its own host, so that every record is one visit.
std::string record(int day, int i) {
  const int seconds = 8 * 3600 + i * 3;
  const std::string when = formatString("2024-03-%02d %02d:%02d:%02d", day, seconds / 3600, seconds / 60 % 60,
                                        seconds % 60);
  const std::string host = formatString("10.%d.%d.%d", day, i / 250, i % 250 + 1);
  return when + " W3SVC1 WEB1 192.0.2.10 GET /page" + std::to_string(i % 37) + ".html - 80 - " + host +
         " HTTP/1.1 Mozilla/5.0+(X11;+Linux+x86_64;+rv:120.0)+Gecko/20100101+Firefox/120.0 - "
         "http://search.example.org/?q=site " + kHosts[i % 7] + " 200 0 0 " + std::to_string(1000 + i) + " 300 15";
}

// Header lines, then the records in reverse time order, so that only a sorted
// log is read completely. With otherFields, the second half comes after a
// "#Fields:" line that changes the fields.
std::string logOfDay(int day, int records, bool otherFields = false) {
  std::string log = "#Software: Microsoft Internet Information Services 10.0\r\n#Fields: date time ...\r\n";
  for (int i = records - 1; i >= 0; --i) {
    if (otherFields && i == records / 2)
      log += "#Fields: time date c-ip cs-method cs-uri-stem sc-status sc-bytes cs-host cs(User-Agent)\r\n";
    std::string line = record(day, i);
    if (otherFields && i < records / 2) {
      const std::vector<std::string> v = text::split(line, ' ');
      line = text::join({v[1], v[0], v[10], v[5], v[6], v[16], v[19], v[15], v[12]}, " ");
    }
    log += line + "\r\n";
  }
  return log;
}

// The records AWStats counted in the domain's statistics directory.
std::int64_t hitsIn(const std::string& directory) { return demo::countedInReports(directory, demo::Engine::AWStats); }

class AWStatsEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    awstats_ = inst_.productRoot() + "/awstats";
    setUpEngine("awstats", awstats_);
    inst_.setRegistryString("INSTALLDIR", "/usr", kPerlKey);
  }

  // The configuration file of a domain and the web statistics directory the
  // control panel creates with it, with a web log of the first day when
  // records > 0; gives back the log directory.
  std::string addDomain(const std::string& webspace, int records = 0) {
    const std::string logs = inst_.vhostsDir() + "/" + webspace + "/logs/iis";
    writeFile(logs + "/web_stat_executor.conf",
              "<?xml version=\"1.0\"?>\n<config>\n  <domain name=\"" + kDomain + "\" webspaceName=\"" + webspace +
                  "\" default_doc=\"index.html\">\n    <alias name=\"www.site-one.example\"/>\n"
                  "    <webstat type=\"awstats\"/>\n  </domain>\n</config>\n");
    fs::create_directories(outputOf(webspace));
    if (records > 0) writeFile(logs + "/web_1.log", logOfDay(1, records));
    return logs;
  }
  std::string outputOf(const std::string& webspace) const {
    return inst_.vhostsDir() + "/" + webspace + "/.tarvo/statistics/" + kDomain + "/webstat";
  }
  std::string cgiBin() const { return awstats_ + "/wwwroot/cgi-bin"; }

  TestInstallation::RunResult calculate(const std::string& webspace) const {
    return inst_.runExecutor({"--calculate-domain", "--webspace-name=" + webspace, "--domain-name="});
  }
  std::string report(const TestInstallation::RunResult& r) const {
    return "console:\n" + r.out + r.err + "\ndaily log:\n" + inst_.dailyLog();
  }
  // The run over the webspace fails its domain and says every piece.
  void expectFailure(const std::string& webspace, const std::vector<std::string>& says) const {
    const auto run = calculate(webspace);
    EXPECT_EQ(run.exitCode, 1) << report(run);
    for (const std::string& piece : says) EXPECT_THAT(run.out, HasSubstr(piece));
  }

  TestInstallation inst_;
  std::string awstats_;
};

} // namespace

TEST_F(AWStatsEngine, EveryPageAsASeparateRunMakesItAndTheMonthThatIsOver) {
  const std::string logs = addDomain("ws1");
  // The second day's log changes its fields halfway.
  const int records[] = {120, 75, 200};
  for (int day = 1; day <= 3; ++day)
    writeFile(logs + "/web_2024030" + std::to_string(day) + ".log", logOfDay(day, records[day - 1], day == 2));

  const auto run = calculate("ws1");
  ASSERT_EQ(run.exitCode, 0) << report(run);
  const std::string output = outputOf("ws1");
  // The records are of a month that is over: its pages are made under its
  // own names, linked from index.html, and every link leads to a page.
  const std::string march = "awstats." + kDomain + ".202403.html";
  EXPECT_THAT(readFile(output + "/index.html"), HasSubstr("<a href=\"" + march + "\">2024-03</a>"));
  EXPECT_THAT(readFile(output + "/" + march), HasSubstr(">395<"));
  for (const std::string& page : {std::string("index.html"), march})
    EXPECT_THAT(linksLeadingNowhere(output, page), ::testing::IsEmpty()) << page;
  EXPECT_EQ(hitsIn(output), 120 + 75 + 200);
  EXPECT_THAT(readFile(output + "/AWStats/cgi-bin/awstats." + kDomain + ".conf"),
              HasSubstr("DirIcons=\"../icon\"\r\n"));
  // The working configuration stays for the next run.
  EXPECT_THAT(readFile(cgiBin() + "/awstats." + kDomain + ".conf"), HasSubstr("LogType=W\r\n"));
  // One Perl compile for all runs gives the pages separate runs make (index.html less the program's own line
  // of links to earlier months); a page option AWStats does not know gives the page head alone.
  ScopedEnv seed("PERL_HASH_SEED", "0"), perturb("PERL_PERTURB_KEYS", "0");
  for (size_t i = 0; i <= std::size(kPages); ++i) {
    const std::string page = i == 0 ? "index.html" : "awstats." + kDomain + "." + kPages[i - 1] + ".html";
    std::string made = readFile(output + "/" + page);
    EXPECT_THAT(made, HasSubstr("<table class=\"aws_data\"")) << page;
    const auto separate = inst_.run("/usr/bin/perl", {cgiBin() + "/awstats.pl", "-config=" + kDomain,
                                                      i == 0 ? "-output" : std::string("-output=") + kPages[i - 1],
                                                      "-staticlinks"});
    if (i == 0) {
      const size_t months = made.find("<p class=\"aws_months\">");
      made.erase(months, made.find("</p>\n", months) + 5 - months);
    }
    EXPECT_TRUE(made == separate.out) << page << " differs from a separate run";
  }
}

TEST_F(AWStatsEngine, NotInstalledIsReportedOnceAndTouchesNothing) {
  inst_.setSetting("AWStatsPath", inst_.root() + "/no-awstats-here");
  const std::string logs[] = {addDomain("ws1", 5) + "/web_1.log", addDomain("ws2", 5) + "/web_1.log"};
  const auto run = inst_.runExecutor({"--calculate-all"});
  EXPECT_EQ(run.exitCode, 0) << report(run);
  EXPECT_EQ(occurrences(inst_.dailyLog(), "AWStats is not installed. You should download it from"), 1u)
      << inst_.dailyLog();
  for (const std::string& log : logs) EXPECT_EQ(readFile(log), logOfDay(1, 5));
}

TEST_F(AWStatsEngine, ALinkInPlaceOfTheSecondLogLeavesTheThirdForTheNextRun) {
  const std::string logs = addDomain("ws1", 30);
  // A link in a log's place: never read nor removed, nor its target.
  writeFile(logs + "/../elsewhere.log", logOfDay(2, 30));
  fs::create_symlink(logs + "/../elsewhere.log", logs + "/web_2.log");
  writeFile(logs + "/web_3.log", logOfDay(3, 30));

  expectFailure("ws1", {"Log file '" + logs + "/web_2.log' is a symbolic link to '" + logs +
                        "/../elsewhere.log', not a log file of its own"});
  EXPECT_EQ(namesIn(logs), (std::vector<std::string>{"web_2.log", "web_3.log", "web_stat_executor.conf"}));
  EXPECT_TRUE(fs::is_symlink(logs + "/web_2.log"));
  EXPECT_EQ(readFile(logs + "/web_3.log"), logOfDay(3, 30));
  EXPECT_TRUE(fs::exists(outputOf("ws1") + "/index.html"));
  EXPECT_EQ(hitsIn(outputOf("ws1")), 30);
}

TEST_F(AWStatsEngine, AnUnsortedLogIsNeverGivenToAWStatsButKept) {
  const struct {
    const char* sortBody;  // nullptr: no sort program at all
    const char* reason;
  } cases[] = {
      {"echo 'sort: cannot read' >&2; exit 2", "failed[2]: sort: cannot read"},
      {"head -c 100; exit 0", "The sort wrote 100 bytes of the"},
      {nullptr, "unable to run the sort program"},
  };
  // The stand-in sort reads the log as its standard input and writes the sorted log as its standard output.
  TempDir system;
  ScopedEnv useSystem("TARVO_SYSTEM_DIR", system.path());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    if (c.sortBody) writeScript(system / "sort", std::string("#!/bin/sh\n") + c.sortBody + "\n");
    else fs::remove(system / "sort");
    const std::string webspace = "ws" + std::to_string(&c - cases);
    const std::string logs = addDomain(webspace, 40);

    expectFailure(webspace, {"The log file " + logs + "/web_1.log could not be sorted: ", c.reason});
    EXPECT_EQ(namesIn(logs), (std::vector<std::string>{"web_1.log", "web_stat_executor.conf"}));
    EXPECT_EQ(readFile(logs + "/web_1.log"), logOfDay(1, 40));
    EXPECT_FALSE(fs::exists(outputOf(webspace) + "/awstats032024." + kDomain + ".txt"));
  }
}

TEST_F(AWStatsEngine, AFailingRunFailsTheChunkKeepsTheLogAndPutsNoPageInPlace) {
  // awstats.pl replaced by one that fails where asked and runs the real one otherwise.
  const struct {
    const char* failing;  // the option of the run that fails
    const char* how;      // Perl for the failure
    const char* says;
  } cases[] = {
      {"-output=urldetail", "exit 3", "-config=site-one.example -output=urldetail -staticlinks: cant create HTML file"},
      {"-output=keywords", "kill 'KILL', $$", "AWStats was ended by signal 9"},
  };
  const std::string real = cgiBin() + "/real-awstats.pl";
  fs::rename(cgiBin() + "/awstats.pl", real);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failing);
    writeFile(cgiBin() + "/awstats.pl", std::string("if (grep { $_ eq '") + c.failing +
                                            "' } @ARGV) { print STDERR \"failing as asked\\n\"; " + c.how +
                                            "; }\ndo '" + real + "'; die $@ if $@;\n");
    TempDir tmp;
    ScopedEnv useIt("TMPDIR", tmp.path());
    const std::string webspace = "ws" + std::to_string(&c - cases);
    const std::string logs = addDomain(webspace, 20);

    expectFailure(webspace, {c.says});
    EXPECT_TRUE(fs::exists(logs + "/web_1.log"));
    EXPECT_FALSE(fs::exists(outputOf(webspace) + "/index.html")) << "no page of a failed chunk";
    EXPECT_EQ(namesIn(tmp.path()), std::vector<std::string>{}) << "temporary pages are removed";
  }
}

TEST_F(AWStatsEngine, ALogAWStatsRefusesIsSetAsideAfterItsNightsAndTheNextOneIsCounted) {
  inst_.setRegistryDword("RejectedLogNights", 2);
  const std::string logs = addDomain("ws1");
  std::string garbage;
  for (int i = 0; i < 60; ++i) garbage += "not a record of this format " + std::to_string(i) + "\r\n";
  writeFile(logs + "/web_1.log", garbage);
  EXPECT_EQ(calculate("ws1").exitCode, 1);
  // The next night, with a log of records beside it: the refused log goes on
  // alone, is set aside, and the records are counted.
  std::string counts = readFile(logs + "/log_rejections.txt");
  counts.replace(counts.find('\t', counts.find('\n')) + 1, 8, "20000101");
  writeFile(logs + "/log_rejections.txt", counts);
  writeFile(logs + "/web_2.log", logOfDay(2, 30));

  expectFailure("ws1", {"AWStats refused the log file " + logs + "/web_1.log on 2 nights; it is set aside as " + logs +
                            "/rejected_web_1.log",
                        "AWStats said: AWStats did not find any valid log lines"});
  EXPECT_EQ(namesIn(logs), (std::vector<std::string>{"rejected_web_1.log", "web_stat_executor.conf"}));
  EXPECT_EQ(readFile(logs + "/rejected_web_1.log").size(), garbage.size()) << "every line kept, sorted";
  EXPECT_EQ(hitsIn(outputOf("ws1")), 30);
}
