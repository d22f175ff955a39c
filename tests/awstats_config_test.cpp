// The per-domain AWStats configuration rewritten from the real model that
// scripts/setup-awstats lays out from Debian's package.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "awstats/log_for_awstats.h"
#include "support/errors.h"
#include "tests/common/test_env.h"

namespace {

using namespace testenv;
using ::testing::HasSubstr;

// One AWStats installation for the whole test program.
std::string modelPath() {
  static TempDir dir;
  static const std::string root = [] {
    setUpEngine("awstats", dir / "AWStats");
    return dir / "AWStats";
  }();
  return root + "/wwwroot/cgi-bin/awstats.model.conf";
}

struct Domain {
  WebStatConfig config;
  LogSource source;
  Domain(LogKind kind = LogKind::Web) {
    config.domainName = "site-one.example";
    config.webspaceName = "ws1";
    config.defaultDoc = "index.html index.htm";
    config.aliases = {"www.site-one.example", "_.site-one.example"};
    config.configDir = "/vhosts/ws1/logs/iis";
    source.kind = kind;
    source.path = config.configDir + "/web_20240101.log";
  }
  LogForAWStats engine() { return LogForAWStats(source, config, "/vhosts/ws1/.tarvo/statistics/site-one.example"); }
};

// The thirteen written lines for the Domain above, in table order.
std::vector<std::string> expectedLines(LogKind kind) {
  const bool web = kind == LogKind::Web;
  const std::string sub = web ? "webstat" : kind == LogKind::Ftp ? "ftpstat" : "anon_ftpstat";
  return {std::string("LogType=") + (web ? "W" : "F") + "\r\n",
          "LogFormat=\"date time s-sitename s-computername s-ip cs-method cs-uri-stem cs-uri-query s-port "
          "cs-username c-ip cs-version cs(User-Agent) cs(Cookie) cs(Referer) x-unused sc-status sc-substatus "
          "sc-win32-status sc-bytes cs-bytes time-taken\"\r\n",
          "SiteDomain=\"site-one.example\"\r\n",
          "HostAliases=\"www.site-one.example REGEX[[^\\.]+\\.site-one\\.example$]\"\r\n",
          "DNSLookup=2\r\n",
          "DirData=\"/vhosts/ws1/.tarvo/statistics/site-one.example/" + sub + "\"\r\n",
          "DirCgi=\"AWStats/cgi-bin\"\r\n",
          "DirIcons=\"AWStats/icon\"\r\n",
          "SaveDatabaseFilesWithPermissionsForEveryone=0\r\n",
          "DefaultFile=\"index.html index.htm\"\r\n",
          "LogFile=\"-\"\r\n",
          std::string("LevelForRobotsDetection=") + (web ? "2" : "0") + "\r\n",
          "HTMLEndSection=\"\"\r\n"};
}

std::string joined(const ConfigText& text) {
  std::string all;
  for (const auto& line : text) all += line;
  return all;
}

} // namespace

TEST(AWStatsConfig, RewritesEveryKeyOfTheRealModelInPlaceAndLeavesTheRestAlone) {
  for (LogKind kind : {LogKind::Web, LogKind::AnonymousFtp, LogKind::Ftp}) {
    SCOPED_TRACE(static_cast<int>(kind));
    Domain domain(kind);
    LogForAWStats engine = domain.engine();
    const ConfigText model = engine.sourceLines(modelPath());
    EXPECT_EQ(joined(model), readFile(modelPath()));

    ConfigText text = model;
    engine.configure(text, kind);
    ASSERT_EQ(text.size(), model.size()) << "Debian's model holds all thirteen keys, nothing to append";
    const auto expected = expectedLines(kind);
    std::vector<int> seen(expected.size(), 0);
    for (size_t i = 0; i < model.size(); ++i) {
      const auto key = std::find_if(expected.begin(), expected.end(), [&](const std::string& line) {
        return configLineMatchesKey(model[i], line.substr(0, line.find('=')));
      });
      EXPECT_EQ(text[i], key == expected.end() ? model[i] : *key) << "line " << i + 1;
      if (key != expected.end()) ++seen[static_cast<size_t>(key - expected.begin())];
    }
    for (size_t key = 0; key < seen.size(); ++key) EXPECT_EQ(seen[key], 1) << expected[key];
  }
}

TEST(AWStatsConfig, ReadsLinesWithTheirOwnEndsAndWritesThemByteForByte) {
  TempDir dir;
  writeFile(dir / "model.conf", "# a\r\nLogType=W\r\n\n# last line without end");
  Domain domain;
  LogForAWStats engine = domain.engine();
  const ConfigText text = engine.sourceLines(dir / "model.conf");
  EXPECT_EQ(text, (ConfigText{"# a\r\n", "LogType=W\r\n", "\n", "# last line without end"}));
  engine.writeConfig(dir / "out.conf", text);
  EXPECT_EQ(readFile(dir / "out.conf"), readFile(dir / "model.conf"));
  engine.writeConfig(dir / "out.conf", {"x\n"});
  EXPECT_EQ(readFile(dir / "out.conf"), "x\n") << "an existing file is replaced whole";
}

TEST(AWStatsConfig, ReplacesEveryOccurrenceAndAppendsMissingKeysInTableOrder) {
  Domain domain;
  LogForAWStats engine = domain.engine();
  const auto expected = expectedLines(LogKind::Web);

  ConfigText text = {"# comment\n", "LogSeparator=\" \"\r\n"};
  engine.configure(text, LogKind::Web);
  ConfigText all = {"# comment\n", "LogSeparator=\" \"\r\n"};
  all.insert(all.end(), expected.begin(), expected.end());
  EXPECT_EQ(text, all);

  // A key on a last line without line end is replaced by a full line.
  text = {"a=1\n", "LogType=W"};
  engine.configure(text, LogKind::Ftp);
  EXPECT_EQ(text[1], "LogType=F\r\n");
  EXPECT_EQ(text.size(), 14u);

  // Every occurrence, in any letter case, is written with the key as in the table.
  text = {"LogFile=\"/a\"\n", "  logtype  =  W\n", "# LogFile=\"/c\"\n", "LogFile=\"/b\"\r\n"};
  engine.configure(text, LogKind::Web);
  EXPECT_EQ(ConfigText(text.begin(), text.begin() + 4),
            (ConfigText{expected[10], expected[0], "# LogFile=\"/c\"\n", expected[10]}));
  EXPECT_EQ(text.size(), 4u + 11u);
}

TEST(AWStatsConfig, MatchesKeysByAWStatsReadingRules) {
  const struct {
    const char* line;
    bool matches;
  } cases[] = {
      {"LogFile=\"/x\"\n", true}, {"LogFile\n", true},       {"   LogFile\t= /x\n", true}, {"\tLOGFILE =x\r\n", true},
      {"LogFileX=/x\n", false},   {"   # LogFile=/x\n", false}, {"LogFile", false},         {"Log File=x\n", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(configLineMatchesKey(c.line, "LogFile"), c.matches) << c.line;
}

TEST(AWStatsConfig, HostAliasesTurnWildcardsIntoRegexRules) {
  EXPECT_EQ(hostAliasesValue({}), "\"\"");
  EXPECT_EQ(hostAliasesValue({"x_.a", "_.example.com"}), "\"x_.a REGEX[[^\\.]+\\.example\\.com$]\"");
}

TEST(AWStatsConfig, DomainCopyPointsDirIconsOneLevelUp) {
  Domain domain;
  LogForAWStats engine = domain.engine();
  ConfigText working = {"a=1\n", "DirIcons=\"/first\"\n", "b=2\n"};
  engine.configure(working, LogKind::Web);
  ConfigText copy = working;
  engine.configure_CustomDate(copy);
  working[1] = "DirIcons=\"../icon\"\r\n";
  EXPECT_EQ(copy, working);
  ConfigText none = {"a=1\n"};
  engine.configure_CustomDate(none);
  EXPECT_EQ(none, (ConfigText{"a=1\n", "DirIcons=\"../icon\"\r\n"}));
}

TEST(AWStatsConfig, MissingModelOrTargetFailsWithItsPlace) {
  Domain domain;
  LogForAWStats engine = domain.engine();
  TempDir dir;
  EXPECT_THAT(failureOf([&] { engine.sourceLines(dir / "missing.conf"); }),
              HasSubstr("site-one.example: read awstats.model.conf(LogForAWStats::sourceLines line 77)"));
  EXPECT_THAT(failureOf([&] { engine.writeConfig(dir / "no/such/dir/x.conf", {"a\n"}); }),
              HasSubstr("site-one.example: write AWStats.conf(LogForAWStats::writeConfig line 95)"));
}

TEST(AWStatsConfig, RefusesValuesThatWouldChangeWhatAWStatsReads) {
  const struct {
    std::string domain;
    std::vector<std::string> aliases;
    std::string logName, defaultDoc;
    const char* expected;  // a piece of the message
  } cases[] = {
      {"evil.example\nLogFile=/etc/shadow", {}, "web.log", "", "SiteDomain="},
      {"evil\".example", {}, "web.log", "", "a double quote"},
      {"evil.example -update", {}, "web.log", "", "unquoted into the AWStats command lines"},
      {"../evil", {}, "web.log", "", "path separator"},
      {"ok.example", {"a.example\r\nLogFile=\"x\""}, "web.log", "", "alias"},
      {"ok.example", {"a #b"}, "web.log", "", "comment"},
      {"ok.example", {"__HOME__.example"}, "web.log", "", "environment variable"},
      {"ok.example", {}, "web.log", "a.html\nLogFile=/x", "default documents"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    Domain domain;
    domain.config.domainName = c.domain;
    domain.config.aliases = c.aliases;
    domain.config.defaultDoc = c.defaultDoc;
    domain.source.path = "/vhosts/ws1/logs/iis/" + c.logName;
    LogForAWStats engine = domain.engine();
    ConfigText text = {"LogFile=\"/old\"\n"};
    const std::string message = failureOf([&] { engine.configure(text, LogKind::Web); });
    EXPECT_THAT(message, HasSubstr("Refused to write"));
    EXPECT_THAT(message, HasSubstr(c.expected));
    EXPECT_THAT(message, HasSubstr("the log file stays where it is"));
    // The message itself is one line (shown line breaks are escaped), then the places.
    EXPECT_EQ(message.find('\n'), message.find("\n   at "));
    EXPECT_THAT(message, HasSubstr("(LogForAWStats::configure line 156)"));
    EXPECT_EQ(text, ConfigText{"LogFile=\"/old\"\n"});
  }

  // Ordinary values with blanks where blanks belong pass.
  Domain fine;
  fine.config.defaultDoc = "index.html default.htm";
  fine.source.path = "/vhosts/ws 1/logs/iis/web_2024-01-01#1 100%.log";
  ConfigText text;
  EXPECT_NO_THROW(fine.engine().configure(text, LogKind::Web));
}

TEST(AWStatsVersions, CompareAsDottedDecimalNumbers) {
  const struct {
    const char* a;
    const char* b;
    int expected;
  } cases[] = {{"7.8", "7.8", 0},   {"7.8", "7.10", -1},   {"7.10", "7.8", 1}, {"7.8", "7.8.1", -1},
               {"8", "7.99", 1},    {"7.8\r\n", "7.8", 0}, {"", "7.8", -1}};
  for (const auto& c : cases) EXPECT_EQ(compareVersions(c.a, c.b), c.expected) << "'" << c.a << "' vs '" << c.b << "'";
}
