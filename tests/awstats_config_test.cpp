// The per-domain AWStats configuration rewritten from the real model that
// scripts/setup-awstats lays out from Debian's package, and the domain's copy
// of AWStats in its statistics directory: made whole when missing, replaced
// when stale, rolled back when the copy fails.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <tuple>

#include "awstats/awstats_run.h"
#include "awstats/log_for_awstats.h"
#include "support/errors.h"
#include "tests/common/test_env.h"
#include "tests/common/test_installation.h"

namespace {

using namespace testenv;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

std::string installation() {
  static TempDir dir;
  static const std::string root = [] {
    setUpEngine("awstats", dir / "AWStats");
    return dir / "AWStats";
  }();
  return root;
}

const std::string kConfName = "awstats.site-one.example.conf";

// A domain with its statistics directory; its copy of AWStats goes to
// output/AWStats.
struct Domain {
  TempDir dir;
  // Name, webspace, type, configuration directory, default documents, aliases.
  WebStatConfig config{"site-one.example", "ws1", "", dir / "logs", "index.html index.htm",
                       {"www.site-one.example", "_.site-one.example"}};
  LogSource source{LogKind::Web, config.configDir + "/web_20240101.log"};
  std::string statistics = dir / "statistics", output = statistics + "/webstat";
  Domain() { fs::create_directories(output); }
  LogForAWStats engine() { return LogForAWStats(source, config, statistics); }
  // A small installation of version 7.8, without the "classes" folder, which
  // the copy then makes empty; with the working configuration the run writes
  // into it before the copy unless withoutConfig.
  std::string smallInstallation(bool withoutConfig = false) const {
    const std::string root = dir / "install";
    for (const char* file : {"css/awstats_default.css", "icon/os/linux.png", "js/a.js", "cgi-bin/awstats.pl",
                             "cgi-bin/awredir.pl"})
      writeFile(root + "/wwwroot/" + file, file);
    writeFile(root + "/version", "7.8");
    if (!withoutConfig) writeFile(root + "/wwwroot/cgi-bin/" + kConfName, "SiteDomain=\"site-one.example\"\r\n");
    return root;
  }
  std::string copy(const std::string& relative) const { return output + "/AWStats/" + relative; }
  std::string lock() const { return output + "/CopyAWStats.lock"; }
  void expectWhole(const std::string& version) const {
    for (const char* item : {"classes", "css", "icon", "js", "cgi-bin/awredir.pl", "cgi-bin/awstats.pl"})
      EXPECT_TRUE(fs::exists(copy(item))) << item;
    EXPECT_EQ(readFile(copy("version")), version);
    EXPECT_EQ(readFile(copy("cgi-bin/" + kConfName)), "SiteDomain=\"site-one.example\"\r\n");
    EXPECT_FALSE(fs::exists(lock()));
  }
};

// The thirteen written lines for the Domain above, in table order.
std::vector<std::string> expectedLines(const Domain& domain, LogKind kind) {
  const bool web = kind == LogKind::Web;
  const std::string sub = web ? "webstat" : kind == LogKind::Ftp ? "ftpstat" : "anon_ftpstat";
  return {std::string("LogType=") + (web ? "W" : "F") + "\r\n",
          "LogFormat=\"date time s-sitename s-computername s-ip cs-method cs-uri-stem cs-uri-query s-port "
          "cs-username c-ip cs-version cs(User-Agent) cs(Cookie) cs(Referer) x-unused sc-status sc-substatus "
          "sc-win32-status sc-bytes cs-bytes time-taken\"\r\n",
          "SiteDomain=\"site-one.example\"\r\n",
          "HostAliases=\"www.site-one.example REGEX[[^\\.]+\\.site-one\\.example$]\"\r\n",
          "DNSLookup=2\r\n",
          "DirData=\"" + domain.statistics + "/" + sub + "\"\r\n",
          "DirCgi=\"AWStats/cgi-bin\"\r\n",
          "DirIcons=\"AWStats/icon\"\r\n",
          "SaveDatabaseFilesWithPermissionsForEveryone=0\r\n",
          "DefaultFile=\"index.html index.htm\"\r\n",
          "LogFile=\"-\"\r\n",
          std::string("LevelForRobotsDetection=") + (web ? "2" : "0") + "\r\n",
          "HTMLEndSection=\"\"\r\n"};
}

size_t filesIn(const std::string& dir) {
  size_t n = 0;
  for (auto& e : fs::recursive_directory_iterator(dir)) n += e.is_regular_file();
  return n;
}

} // namespace

TEST(AWStatsConfig, RewritesEveryKeyOfTheRealModelInPlaceAndLeavesTheRestAlone) {
  const std::string modelPath = installation() + "/wwwroot/cgi-bin/awstats.model.conf";
  for (LogKind kind : {LogKind::Web, LogKind::AnonymousFtp, LogKind::Ftp}) {
    SCOPED_TRACE(static_cast<int>(kind));
    Domain domain;
    domain.source.kind = kind;
    LogForAWStats engine = domain.engine();
    const ConfigText model = engine.sourceLines(modelPath);
    std::string joined;
    for (const auto& line : model) joined += line;
    EXPECT_EQ(joined, readFile(modelPath));

    ConfigText text = model;
    engine.configure(text, kind);
    ASSERT_EQ(text.size(), model.size()) << "Debian's model holds all thirteen keys, nothing to append";
    const auto expected = expectedLines(domain, kind);
    for (size_t i = 0; i < model.size(); ++i) {
      const auto key = std::find_if(expected.begin(), expected.end(), [&](const std::string& line) {
        return configLineMatchesKey(model[i], line.substr(0, line.find('=')));
      });
      EXPECT_EQ(text[i], key == expected.end() ? model[i] : *key) << "line " << i + 1;
    }
    ConfigText copy = text;
    engine.configure_CustomDate(copy);
    std::replace(text.begin(), text.end(), expected[7], std::string("DirIcons=\"../icon\"\r\n"));
    EXPECT_EQ(copy, text) << "the domain's copy differs in DirIcons alone, one level up";

    // Every occurrence, in any letter case and on a last line without its
    // end, becomes the full line; the missing keys are appended in table order.
    text = {"# LogFile=\"/c\"\n", "LogFile=\"/a\"\n", "  logtype  =  W\n", "LogSeparator=\" \"\r\n", "LOGFILE=\"/b\""};
    engine.configure(text, kind);
    ConfigText all = {"# LogFile=\"/c\"\n", expected[10], expected[0], "LogSeparator=\" \"\r\n", expected[10]};
    for (size_t key = 1; key < expected.size(); ++key)
      if (key != 10) all.push_back(expected[key]);
    EXPECT_EQ(text, all);
  }
}

TEST(AWStatsConfig, MatchesKeysByAWStatsReadingRules) {
  const std::pair<const char*, bool> cases[] = {{"LogFile=\"/x\"\n", true}, {"LogFile\n", true},
                                                {"\tLOGFILE =x\r\n", true},   {"LogFileX=/x\n", false},
                                                {"   # LogFile=/x\n", false}, {"LogFile", false}};
  for (const auto& [line, matches] : cases) EXPECT_EQ(configLineMatchesKey(line, "LogFile"), matches) << line;
  EXPECT_EQ(hostAliasesValue({}), "\"\"");
  EXPECT_EQ(hostAliasesValue({"x_.a", "_.example.com"}), "\"x_.a REGEX[[^\\.]+\\.example\\.com$]\"");
}

TEST(AWStatsConfig, RefusesValuesThatWouldChangeWhatAWStatsReads) {
  // Domain, aliases, default documents, a piece of the message.
  const std::tuple<std::string, std::vector<std::string>, std::string, const char*> cases[] = {
      {"evil.example\nLogFile=/etc/shadow", {}, "", "SiteDomain="}, {"evil\".example", {}, "", "a double quote"},
      {"evil.example -update", {}, "", "unquoted into the AWStats command lines"}, {"../evil", {}, "", "separator"},
      {"ok.example", {"a.example\r\nLogFile=\"x\""}, "", "alias"}, {"ok.example", {"a #b"}, "", "comment"},
      {"ok.example", {"__HOME__.example"}, "", "environment variable"},
      {"ok.example", {}, "a.html\nLogFile=/x", "default documents"},
  };
  for (const auto& [name, aliases, defaultDoc, expected] : cases) {
    SCOPED_TRACE(expected);
    Domain domain;
    domain.config.domainName = name;
    domain.config.aliases = aliases;
    domain.config.defaultDoc = defaultDoc;
    LogForAWStats engine = domain.engine();
    ConfigText text = {"LogFile=\"/old\"\n"};
    const std::string message = failureOf([&] { engine.configure(text, LogKind::Web); });
    for (const char* part : {"Refused to write", expected, "the log file stays where it is",
                             "(LogForAWStats::configure line 156)"})
      EXPECT_THAT(message, HasSubstr(part));
    // The message itself is one line (shown line breaks are escaped), then the places.
    EXPECT_EQ(message.find('\n'), message.find("\n   at "));
    EXPECT_EQ(text, ConfigText{"LogFile=\"/old\"\n"});
  }
}

TEST(AWStatsVersions, CompareAsDottedDecimalNumbers) {
  const std::tuple<const char*, const char*, int> cases[] = {
      {"7.8", "7.8", 0}, {"7.8", "7.10", -1},   {"7.10", "7.8", 1}, {"7.8", "7.8.1", -1},
      {"8", "7.99", 1},  {"7.8\r\n", "7.8", 0}, {"", "7.8", -1}};
  for (const auto& [a, b, expected] : cases) EXPECT_EQ(compareVersions(a, b), expected) << a << " vs " << b;
}

TEST(AWStatsInstall, AbsentCopyIsMadeWholeFromTheRealLayout) {
  const std::string root = installation();
  writeFile(root + "/wwwroot/cgi-bin/" + kConfName, "SiteDomain=\"site-one.example\"\r\n");
  Domain domain;
  EXPECT_EQ(domain.engine().checkAWStats(root, kConfName), domain.copy("cgi-bin/" + kConfName));
  domain.expectWhole(readFile(root + "/version"));
  EXPECT_EQ(readFile(domain.copy("cgi-bin/awstats.pl")), readFile(root + "/wwwroot/cgi-bin/awstats.pl"));
  EXPECT_GT(filesIn(root + "/wwwroot/icon"), 100u);
  EXPECT_EQ(filesIn(domain.copy("icon")), filesIn(root + "/wwwroot/icon"));
  fs::remove(root + "/wwwroot/cgi-bin/" + kConfName);
}

TEST(AWStatsInstall, StaleCopiesAreReplacedAndCurrentOnesKept) {
  const struct {
    const char* what;
    bool installationVersion;  // the installation has a version file
    std::string domainVersion;  // "" = no version file in the copy
    bool lockLeft, replaced;
  } cases[] = {
      {"current copy", true, "7.8", false, false},
      {"older copy", true, "7.7", false, true},
      {"copy without version file", true, "", false, true},
      {"lock file left behind", true, "7.8", true, true},
      {"installation without version, older copy", false, "7.7", false, false},
      {"installation without version, lock left", false, "7.7", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Domain domain;
    const std::string root = domain.smallInstallation();
    LogForAWStats engine = domain.engine();
    engine.checkAWStats(root, kConfName);
    if (!c.installationVersion) fs::remove(root + "/version");
    writeFile(domain.copy("marker"), "only an untouched copy holds this");
    fs::remove(domain.copy("version"));
    if (!c.domainVersion.empty()) writeFile(domain.copy("version"), c.domainVersion);
    if (c.lockLeft) writeFile(domain.lock(), "");
    if (!c.installationVersion && c.replaced) {
      // Without an installation version file the copy's last row cannot be made.
      EXPECT_THROW(engine.checkAWStats(root, kConfName), vexception);
      EXPECT_FALSE(fs::exists(domain.copy("")));
      EXPECT_FALSE(fs::exists(domain.lock()));
      continue;
    }
    engine.checkAWStats(root, kConfName);
    EXPECT_EQ(fs::exists(domain.copy("marker")), !c.replaced);
    EXPECT_FALSE(fs::exists(domain.lock()));
    if (c.replaced) domain.expectWhole("7.8");
  }
}

TEST(AWStatsInstall, FailingCopyIsRolledBack) {
  Domain domain;
  // No working configuration in the installation: the eighth row fails.
  const std::string root = domain.smallInstallation(true);
  const std::string message = failureOf([&] { domain.engine().checkAWStats(root, kConfName); });
  for (const std::string& part : {kConfName, std::string("Unable to copy AWStats (webspace: ws1, domain: "
                                                         "site-one.example):(LogForAWStats::copyAWStats line 433)"),
                                  std::string("(LogForAWStats::copyAWStats line 448)")})
    EXPECT_THAT(message, HasSubstr(part));
  EXPECT_THAT(message, Not(HasSubstr("Rollback failed")));
  EXPECT_FALSE(fs::exists(domain.copy("")));
  EXPECT_FALSE(fs::exists(domain.lock()));
}

TEST(AWStatsInstall, CleanUpRemovesExactlyTheConfigurationsOfDomainsNoLongerOnAWStats) {
  TestInstallation inst;
  const std::string cgiBin = inst.productRoot() + "/awstats/wwwroot/cgi-bin";
  const std::vector<std::string> kept = {"AWSTATS.CONF",     "awstats.KEPT2.example.conf", "awstats.conf",
                                         "awstats.dir.conf", "awstats.kept.example.conf",  "awstats.model.conf",
                                         "notes.txt"};
  for (const std::string& name : kept)
    if (name != "awstats.dir.conf") writeFile(cgiBin + "/" + name, "x");
  fs::create_directories(cgiBin + "/awstats.dir.conf");
  writeFile(cgiBin + "/awstats.gone.example.conf", "x");
  cleanAWstats({WebStatConfig{"kept.example", "", "", "", "", {}}, WebStatConfig{"kept2.example", "", "", "", "", {}}});
  EXPECT_EQ(namesIn(cgiBin), kept);

  cleanAWstats({});
  EXPECT_EQ(namesIn(cgiBin), (std::vector<std::string>{"AWSTATS.CONF", "awstats.conf", "awstats.dir.conf",
                                                       "awstats.model.conf", "notes.txt"}));
}
