// The Webalizer run with the real Debian webalizer and with stand-ins for a
// failing one, against a temporary installation and the management service;
// and its address lookups against a stand-in name server on the loopback
// (AddressLookupServers), so that nothing depends on the network.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <tuple>

#include <sys/stat.h>

#include "config/web_stat_config.h"
#include "platform/acl.h"
#include "support/format.h"
#include "tests/common/hosting.h"
#include "tests/common/report_links.h"
#include "tests/common/stand_in_resolver.h"
#include "webalizer/address_names.h"
#include "webalizer/log_for_webalizer.h"

namespace fs = std::filesystem;
using namespace testenv;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// A web chunk with its sort keys, records in reverse time order, from a few
// hosts only.
std::string chunkText(int records) {
  std::string text;
  for (int i = records - 1; i >= 0; --i) {
    const int day = 1 + i % 2;
    const int hour = 8 + i / 60 % 10, minute = i % 60;
    text += formatString("202403%02d%02d%02d00 10.0.%d.%d - - [%02d/Mar/2024:%02d:%02d:00 +0000] \"GET /page%d.html "
                         "HTTP/1.1\" 200 %d \"-\" \"Mozilla/5.0\"\r\n",
                         day, hour, minute, i % 3, i % 4 + 1, day, hour, minute, i % 7, 1000 + i);
  }
  return text;
}

std::map<std::string, std::string> filesIn(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const std::string& name : namesIn(dir)) out[name] = readFile(dir + "/" + name);
  return out;
}

// The program caches the product root once per process: one installation
// serves every test of this file, each test on its own webspace.
class WebalizerEngine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    inst_ = std::make_unique<TestInstallation>();
    webalizerRoot_ = inst_->productRoot() + "/webalizer";
    setUpEngine("webalizer", webalizerRoot_);
    inst_->setRegistryDword("StatisticsJobs", 2);
  }
  static void TearDownTestSuite() { inst_.reset(); }
  void SetUp() override { useRealWebalizer(); }

  // A stand-in Webalizer that keeps a copy of the log it was given, writes
  // the index page (complete, or cut off as on a full disk), runs the extra
  // commands and ends with the exit code.
  std::string standIn(const std::string& name, int exitCode,
                      const std::string& indexPage = "<HTML>\n<!-- Webalizer Version 2.23 -->\n</HTML>\n",
                      const std::string& extra = "") {
    const std::string path = inst_->root() + "/" + name + "/bin/webalizer";
    writeScript(path, formatString("#!/bin/sh\nout=; prev=\n"
                                   "for last; do [ \"$prev\" = -o ] && out=$last; prev=$last; done\n"
                                   "cat \"$last\" >> '%s.input'\n"
                                   "printf '%%s' '%s' > \"$out/index.html\"\n%s\n"
                                   "exit %d\n",
                                   path, indexPage, extra, exitCode));
    inst_->setSetting("WebalizerPath", path);
    return path;
  }
  void useRealWebalizer() { inst_->setSetting("WebalizerPath", webalizerRoot_ + "/bin/webalizer"); }

  // The domain's configuration file (its record given back) and its web
  // log web_1.log with records, when given.
  WebStatConfig addDomain(const std::string& webspace, const std::string& records = "") {
    const WebStatConfig config{"site-" + webspace + ".example", webspace, "webalizer",
                               inst_->vhostsDir() + "/" + webspace + "/logs/iis", "", {}};
    writeFile(config.configDir + "/web_stat_executor.conf", "<config/>");  // stays beside the logs
    if (!records.empty()) writeFile(config.configDir + "/web_1.log", records);
    return config;
  }
  std::string outputOf(const WebStatConfig& config) const {
    return inst_->vhostsDir() + "/" + config.webspaceName + "/.tarvo/statistics/" + config.domainName + "/webstat";
  }

  // A domain of a whole run whose web log of the day has a record for each
  // address; its month page.
  std::string addVisitors(const std::string& webspace, const std::vector<std::string>& addresses, int day) {
    const WebStatConfig config = addDomain(webspace);
    writeFile(config.configDir + "/web_stat_executor.conf", "<config><domain name=\"" + config.domainName +
                                                                "\" webspaceName=\"" + webspace +
                                                                "\"><webstat type=\"webalizer\"/></domain></config>");
    std::string log;
    for (size_t i = 0; i < addresses.size(); ++i)
      log += formatString("202403%02d08%02d00 %s - - [%02d/Mar/2024:08:%02d:00 +0000] \"GET /p%u.html HTTP/1.1\" "
                          "200 100 \"-\" \"Mozilla/5.0\"\r\n",
                          day, static_cast<int>(i % 60), addresses[i].c_str(), day, static_cast<int>(i % 60),
                          static_cast<unsigned>(i));
    writeFile(config.configDir + formatString("/web_202403%02d.log", day), log);
    return outputOf(config) + "/usage_202403.html";
  }
  static std::string endEntry() {
    std::string last;
    for (const std::string& entry : inst_->dailyLogEntries())
      if (entry.find("Statistics run ended") != std::string::npos) last = entry;
    return last;
  }

  static std::unique_ptr<TestInstallation> inst_;
  static std::string webalizerRoot_;
};
std::unique_ptr<TestInstallation> WebalizerEngine::inst_;
std::string WebalizerEngine::webalizerRoot_;

TEST_F(WebalizerEngine, WholeReportsWithThePanelsRightsAndTheChunkIsDeleted) {
  const WebStatConfig config = addDomain("ws1");
  // The operator's own end of every page, in place of "</BODY></HTML>".
  const std::string shared = webalizerRoot_ + "/conf/webalizer.conf";
  writeFile(shared, readFile(shared) + "\nHTMLEnd <p>the panel's own end</p>\n");
  writeFile(config.configDir + "/web_20240302.log", chunkText(120));
  // What the domain kept from its time on AWStats, its cgi-bin a link to a shared one.
  const std::string web = outputOf(config), cgi = inst_->root() + "/shared-cgi-bin";
  writeFile(cgi + "/awstats.pl", "the shared script");
  writeFile(web + "/AWStats/awstats.site-ws1.example.conf", "x");
  fs::create_directory_symlink(cgi, web + "/AWStats/cgi-bin");
  // The panel's rights on the directory, a named account's entry among them;
  // the reports get them, without the directory's search (execute) rights.
  fs::create_directory(web + "/archive");
  platform::acl::Permissions panel{true, "user::rwx\nuser:12345:rwx\ngroup::r-x\nmask::rwx\nother::r-x\n", 02775};
  ASSERT_EQ(platform::acl::applyPermissions(web, panel), 0u);
  ::chmod(web.c_str(), 02775);

  LogForWebalizer::processConfig(config);
  EXPECT_THAT(readFile(web + "/index.html"), HasSubstr("<p>the panel's own end</p>"));
  for (const char* page : {"index.html", "usage_202403.html"})
    EXPECT_THAT(linksLeadingNowhere(web, page), ::testing::IsEmpty()) << page;
  EXPECT_NE(readFile(web + "/usage_202403.html").find(">Mozilla/5.0<"), std::string::npos)
      << "the user agent of the records, without a quote or a carriage return";
  EXPECT_EQ(namesIn(config.configDir), std::vector<std::string>{"web_stat_executor.conf"});
  EXPECT_FALSE(fs::exists(web + "/AWStats"));
  EXPECT_EQ(readFile(cgi + "/awstats.pl"), "the shared script");
  platform::acl::Permissions own;
  ASSERT_EQ(platform::acl::readPermissions(web, own), 0u);
  for (const auto& entry : fs::directory_iterator(web)) {
    platform::acl::Permissions got;
    ASSERT_EQ(platform::acl::readPermissions(entry.path(), got), 0u) << entry.path();
    if (entry.is_directory()) {
      EXPECT_EQ(got.aclText, own.aclText) << entry.path();
    } else {
      EXPECT_EQ(got.mode & 07111, 0u) << entry.path();
      EXPECT_THAT(got.aclText, HasSubstr("user:12345:rw-")) << entry.path();
      EXPECT_EQ((got.aclText + "\n").find("x\n"), std::string::npos) << entry.path() << ":\n" << got.aclText;
    }
  }
}

TEST_F(WebalizerEngine, IncompleteReportsKeepTheChunkAndPutThePageAndTheCountsBack) {
  const std::string records = chunkText(8);
  const WebStatConfig config = addDomain("ws6", records);
  const std::string chunk = config.configDir + "/web_1.log", output = outputOf(config);
  const std::map<std::string, std::string> before = {{"index.html", "the last good report"},
                                                     {"usage_202402.html", "february"},
                                                     {"usage_202403.html", "march so far"},
                                                     {"webalizer.current", "the counts so far"}};
  for (const auto& [name, content] : before) writeFile(output + "/" + name, content);
  // Webalizer ends with 0 whether or not it could write: it saved its counts
  // with the chunk's records, began a history, rewrote the month's page,
  // began the next month's and cut its index page off.
  const std::string webalizer =
      standIn("disk-full", 0, "<HTML><BODY>usage for",
              "echo counted > \"$out/webalizer.current\"; echo partial > \"$out/webalizer.hist\"; "
              "echo counted > \"$out/usage_202403.html\"; echo new > \"$out/usage_202404.html\"");
  EXPECT_THAT(failureOf([&] { LogForWebalizer::processConfig(config); }),
              HasSubstr("Webalizer did not write complete reports into " + output + "; the log file " + chunk +
                        " is kept for the next run"));
  // Back as before the failed run, so the kept chunk is counted from there.
  EXPECT_EQ(filesIn(output), before);
  EXPECT_EQ(readFile(chunk), readFile(webalizer + ".input")) << "the prepared records Webalizer was given";
}

// Its setting aside after the last night, apart from the later logs, is the
// ledger's case "a log Webalizer refuses on three nights" (counts_test).
TEST_F(WebalizerEngine, AChunkWebalizerRefusesIsKeptAndItsReasonGiven) {
  inst_->setRegistryDword("RejectedLogNights", 2);
  // One scanner request: Webalizer takes no record of it and ends with 1.
  const WebStatConfig config = addDomain("ws8", "20240301080000 10.0.0.9 - - [01/Mar/2024:08:00:00 +0000] \"GET /" +
                                                    std::string(6000, 'a') + " HTTP/1.1\" 404 0 \"-\" \"scanner\"\r\n");
  const std::string failure = failureOf([&] { LogForWebalizer::processConfig(config); });
  EXPECT_THAT(failure, HasSubstr("No valid records found!"));
  EXPECT_THAT(failure, HasSubstr("refused on 1 of the 2 nights after which it is set aside"));
  EXPECT_EQ(namesIn(config.configDir), (std::vector<std::string>{"log_rejections.txt", "web_1.log",
                                                                "web_1.log.prepared", "web_stat_executor.conf"}));
  inst_->removeRegistryValue("RejectedLogNights");
}

TEST_F(WebalizerEngine, AChunkWithoutRecordsIsRemovedWithoutRunningWebalizer) {
  const WebStatConfig config = addDomain("ws7", "\r\n\n");
  writeFile(config.configDir + "/ftp_1.log", "");
  // The real Webalizer ends with 1 when it finds no record.
  const std::string failing = standIn("no-records", 1);
  LogForWebalizer::processConfig(config);
  EXPECT_EQ(namesIn(config.configDir), std::vector<std::string>{"web_stat_executor.conf"});
  EXPECT_FALSE(fs::exists(failing + ".input"));
}

TEST_F(WebalizerEngine, EachAddressIsAskedOncePerNightAndANameMissIsRememberedForADay) {
  StandInResolver resolver({{"192.0.2.1", {"host-one.example.de"}}, {"192.0.2.2", {"Host-Two.Example.COM"}},
                            {"192.0.2.3", {""}}, {"192.0.2.4", {"four.example.fr", 300}}});
  inst_->setRegistryString("AddressLookupServers", resolver.server());
  const std::string one = addVisitors("lk1", {"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.1"}, 1);
  const std::string two = addVisitors("lk2", {"192.0.2.3", "192.0.2.2", "192.0.2.4"}, 1);
  ASSERT_EQ(inst_->runExecutor({"--calculate-all"}).exitCode, 0) << inst_->dailyLog();
  for (const char* address : {"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.4"})
    EXPECT_EQ(resolver.questions(address), 1) << address;
  EXPECT_THAT(endEntry(), HasSubstr("Address lookups: 4 made (3 with a name, 1 without, 0 given up), 0 known to have "
                                    "no name"));
  // Webalizer shows the names and the countries they give, as with its own
  // lookups; the address without a name stays an address. Each domain's
  // cache file holds only its own visitors.
  for (const char* shown : {"host-one.example.de", "Germany", "192.0.2.3"})
    EXPECT_THAT(readFile(one), HasSubstr(shown));
  for (const char* shown : {"host-two.example.com", "four.example.fr", "France"})
    EXPECT_THAT(readFile(two), HasSubstr(shown));
  EXPECT_THAT(readFile(two), Not(HasSubstr("host-one.example.de")));

  // The next night the miss is not asked again; the names are.
  addVisitors("lk1", {"192.0.2.3", "192.0.2.1"}, 2);
  ASSERT_EQ(inst_->runExecutor({"--calculate-all"}).exitCode, 0) << inst_->dailyLog();
  EXPECT_EQ(resolver.questions("192.0.2.3"), 1);
  EXPECT_EQ(resolver.questions("192.0.2.1"), 2);
  EXPECT_THAT(endEntry(), HasSubstr("Address lookups: 1 made (1 with a name, 0 without, 0 given up), 1 known to have "
                                    "no name"));
  // A day later the miss is asked again.
  const std::string file = inst_->root() + "/no-names";
  AddressLookupSettings settings;
  settings.limits.servers = resolver.server();
  // Seconds after the first night, the questions for the miss so far, the misses remembered.
  const std::tuple<std::time_t, int, size_t> nights[] = {{0, 2, 0}, {23 * 3600, 2, 1}, {25 * 3600, 3, 0}};
  for (const auto& [after, asked, remembered] : nights) {
    const AddressNames names = lookUpAddressNames({"192.0.2.3", "192.0.2.1"}, file, settings, 1800000000 + after);
    EXPECT_EQ(resolver.questions("192.0.2.3"), asked) << after;
    EXPECT_EQ(names.counts.remembered, remembered) << after;
    EXPECT_EQ(names.names.at("192.0.2.1"), "host-one.example.de");
  }
}

TEST_F(WebalizerEngine, BoundsAndTheSwitchKeepTheNightFromWaitingOnTheResolver) {
  const struct {
    const char* name;
    uint32_t enabled, perLookup, perRun;
    int delayMs;  // of every answer; < 0: none comes
    const char* end;
  } cases[] = {
      {"never answered, per lookup", 1, 1, 60, -1, "1000 made (0 with a name, 0 without, 1000 given up)"},
      {"never answered, per run", 1, 30, 1, -1, "1000 made (0 with a name, 0 without, 1000 given up)"},
      {"slow, within the bound", 1, 2, 60, 500, "1000 made (1000 with a name, 0 without, 0 given up)"},
      {"off", 0, 2, 60, 0, "address lookups off"},
  };
  std::vector<std::string> addresses;
  // As many as go out in a burst, which must not lose an answer.
  for (int i = 0; i < 1000; ++i) addresses.push_back(formatString("198.51.%d.%d", 100 + i / 250, i % 250 + 1));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StandInResolver resolver({}, {"visitor.example.net", c.delayMs});
    inst_->setRegistryString("AddressLookupServers", resolver.server());
    inst_->setRegistryDword("AddressLookups", c.enabled);
    inst_->setRegistryDword("AddressLookupTimeout", c.perLookup);
    inst_->setRegistryDword("AddressLookupRunTimeout", c.perRun);
    const std::string page = addVisitors(formatString("lk%d", 3 + static_cast<int>(&c - cases)), addresses, 1);
    ASSERT_EQ(inst_->runExecutor({"--calculate-all"}).exitCode, 0) << inst_->dailyLog();
    const std::string end = endEntry();
    EXPECT_THAT(end, HasSubstr(c.end));
    std::smatch took;  // the seconds the lookups took, at most 3
    if (c.enabled) {
      EXPECT_TRUE(std::regex_search(end, took, std::regex(R"(no name, ([0-9.]+) seconds)")) && std::stod(took[1]) <= 3)
          << end;
    } else {
      EXPECT_EQ(resolver.questions(), 0);
    }
    EXPECT_EQ(readFile(page).find("visitor.example.net") != std::string::npos, c.delayMs >= 0 && c.enabled)
        << "names in the report";
  }
}

} // namespace
