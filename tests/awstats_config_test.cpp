// The per-domain AWStats configuration rewritten from the real model that
// scripts/setup-awstats lays out from Debian's package.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

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

const std::string kLogFormatLine =
    "LogFormat=\"date time s-sitename s-computername s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username "
    "c-ip cs-version cs(User-Agent) cs(Cookie) cs(Referer) cs-host sc-status sc-substatus sc-win32-status "
    "sc-bytes cs-bytes time-taken\"\r\n";

// The thirteen written lines for the Domain above, in table order.
std::vector<std::string> expectedLines(LogKind kind) {
  const bool web = kind == LogKind::Web;
  const std::string sub = web ? "webstat" : kind == LogKind::Ftp ? "ftpstat" : "anon_ftpstat";
  return {std::string("LogType=") + (web ? "W" : "F") + "\r\n",
          kLogFormatLine,
          "SiteDomain=\"site-one.example\"\r\n",
          "HostAliases=\"www.site-one.example REGEX[[^\\.]+\\.site-one\\.example$]\"\r\n",
          "DNSLookup=2\r\n",
          "DirData=\"/vhosts/ws1/.tarvo/statistics/site-one.example/" + sub + "\"\r\n",
          "DirCgi=\"AWStats/cgi-bin\"\r\n",
          "DirIcons=\"AWStats/icon\"\r\n",
          "SaveDatabaseFilesWithPermissionsForEveryone=0\r\n",
          "DefaultFile=\"index.html index.htm\"\r\n",
          "LogFile=\"/vhosts/ws1/logs/iis/web_20240101.log\"\r\n",
          std::string("LevelForRobotsDetection=") + (web ? "2" : "0") + "\r\n",
          "HTMLEndSection=\"\"\r\n"};
}

const char* const kKeys[] = {"LogType",  "LogFormat", "SiteDomain", "HostAliases", "DNSLookup",
                             "DirData",  "DirCgi",    "DirIcons",   "SaveDatabaseFilesWithPermissionsForEveryone",
                             "DefaultFile", "LogFile", "LevelForRobotsDetection", "HTMLEndSection"};

// Index of the key a line of the model sets (by AWStats' own reading), or -1.
int keyOfLine(const std::string& line) {
  for (int i = 0; i < 13; ++i) {
    if (configLineMatchesKey(line, kKeys[i])) return i;
  }
  return -1;
}

std::string joined(const ConfigText& text) {
  std::string all;
  for (const auto& line : text) all += line;
  return all;
}

std::string toCrLf(const std::string& lf) {
  std::string out;
  for (char c : lf) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

} // namespace

TEST(AWStatsConfig, RewritesEveryKeyOfTheRealModelInPlaceAndLeavesTheRestAlone) {
  for (LogKind kind : {LogKind::Web, LogKind::AnonymousFtp, LogKind::Ftp}) {
    SCOPED_TRACE(static_cast<int>(kind));
    Domain domain(kind);
    LogForAWStats engine = domain.engine();
    const ConfigText model = engine.sourceLines(modelPath());
    ASSERT_GT(model.size(), 1000u);
    EXPECT_EQ(joined(model), readFile(modelPath()));

    ConfigText text = model;
    engine.configure(text, kind);
    ASSERT_EQ(text.size(), model.size()) << "Debian's model holds all thirteen keys, nothing to append";

    const auto expected = expectedLines(kind);
    std::vector<int> seen(13, 0);
    for (size_t i = 0; i < model.size(); ++i) {
      const int key = keyOfLine(model[i]);
      if (key < 0) {
        EXPECT_EQ(text[i], model[i]) << "line " << i + 1;
      } else {
        EXPECT_EQ(text[i], expected[static_cast<size_t>(key)]) << "line " << i + 1;
        ++seen[static_cast<size_t>(key)];
      }
    }
    for (int key = 0; key < 13; ++key) EXPECT_EQ(seen[static_cast<size_t>(key)], 1) << kKeys[key];
  }
}

TEST(AWStatsConfig, KeepsCrLfOfTheModelAndWritesFilesByteForByte) {
  TempDir dir;
  const std::string crlfModel = dir / "awstats.model.conf";
  writeFile(crlfModel, toCrLf(readFile(modelPath())) + "# last line without end");

  Domain domain;
  LogForAWStats engine = domain.engine();
  ConfigText text = engine.sourceLines(crlfModel);
  EXPECT_EQ(text.back(), "# last line without end");
  engine.configure(text, LogKind::Web);
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    ASSERT_GE(text[i].size(), 2u);
    EXPECT_EQ(text[i].substr(text[i].size() - 2), "\r\n") << "line " << i + 1 << ": " << text[i];
  }
  engine.writeConfig(dir / "out.conf", text);
  EXPECT_EQ(readFile(dir / "out.conf"), joined(text));

  // An existing file is replaced whole.
  engine.writeConfig(dir / "out.conf", {"x\n"});
  EXPECT_EQ(readFile(dir / "out.conf"), "x\n");
}

TEST(AWStatsConfig, ReplacesEveryOccurrenceAndAppendsMissingKeysInTableOrder) {
  Domain domain;
  LogForAWStats engine = domain.engine();
  const auto expected = expectedLines(LogKind::Web);

  // A model without any of the keys: unchanged, then all thirteen.
  ConfigText text = {"# comment\n", "LogSeparator=\" \"\r\n"};
  engine.configure(text, LogKind::Web);
  ASSERT_EQ(text.size(), 15u);
  EXPECT_EQ(text[0], "# comment\n");
  EXPECT_EQ(text[1], "LogSeparator=\" \"\r\n");
  for (size_t i = 0; i < 13; ++i) EXPECT_EQ(text[i + 2], expected[i]);

  // A last line without line end: the first appended line follows it directly.
  text = {"Lang=\"auto\""};
  engine.configure(text, LogKind::Web);
  EXPECT_EQ(joined(text).substr(0, 11 + expected[0].size()), "Lang=\"auto\"" + expected[0]);

  // A key on a last line without line end is replaced by a full line.
  text = {"a=1\n", "LogType=W"};
  engine.configure(text, LogKind::Ftp);
  EXPECT_EQ(text[1], "LogType=F\r\n");
  EXPECT_EQ(text.size(), 14u);

  // Every occurrence is replaced, written with the key as in the table.
  text = {"LogFile=\"/a\"\n", "  logtype  =  W\n", "# LogFile=\"/c\"\n", "LogFile=\"/b\"\r\n"};
  engine.configure(text, LogKind::Web);
  EXPECT_EQ(text[0], expected[10]);
  EXPECT_EQ(text[1], expected[0]);
  EXPECT_EQ(text[2], "# LogFile=\"/c\"\n");
  EXPECT_EQ(text[3], expected[10]);
  EXPECT_EQ(text.size(), 4u + 11u);  // LogType and LogFile were found
}

TEST(AWStatsConfig, MatchesKeysByAWStatsReadingRules) {
  struct Case {
    const char* line;
    bool matches;
  } cases[] = {
      {"LogFile=\"/x\"\n", true},
      {"logfile=/x\n", true},
      {"LogFile\n", true},
      {"   LogFile\t= /x\n", true},
      {"\tLOGFILE =x\r\n", true},
      {"LogFileX=/x\n", false},
      {"LogFile2=/x\n", false},
      {"#LogFile=/x\n", false},
      {"   # LogFile=/x\n", false},
      {"LogFile", false},  // the very last bytes of a file, no line end
      {"Log File=x\n", false},
      {"", false},
      {"   \n", false},
  };
  for (const Case& c : cases) EXPECT_EQ(configLineMatchesKey(c.line, "LogFile"), c.matches) << c.line;

  // A longer key name stays, and the key is appended.
  Domain domain;
  LogForAWStats engine = domain.engine();
  ConfigText text = {"DirCgiExtra=\"/x\"\n", "#DirCgi=\"/y\"\n"};
  engine.configure(text, LogKind::Web);
  EXPECT_EQ(text[0], "DirCgiExtra=\"/x\"\n");
  EXPECT_EQ(text[1], "#DirCgi=\"/y\"\n");
  EXPECT_EQ(text[2 + 6], "DirCgi=\"AWStats/cgi-bin\"\r\n");
}

TEST(AWStatsConfig, HostAliasesTurnWildcardsIntoRegexRules) {
  EXPECT_EQ(hostAliasesValue({}), "\"\"");
  EXPECT_EQ(hostAliasesValue({"a.example"}), "\"a.example\"");
  EXPECT_EQ(hostAliasesValue({"a.example", "_.example.com"}), "\"a.example REGEX[[^\\.]+\\.example\\.com$]\"");
  EXPECT_EQ(hostAliasesValue({"_."}), "\"REGEX[[^\\.]+\\.$]\"");
  EXPECT_EQ(hostAliasesValue({"x_.a", "_.a", "_.a"}), "\"x_.a REGEX[[^\\.]+\\.a$] REGEX[[^\\.]+\\.a$]\"");
}

TEST(AWStatsConfig, DomainCopyDiffersInTheFirstDirIconsLineOnly) {
  Domain domain;
  LogForAWStats engine = domain.engine();
  ConfigText working = {"a=1\n", "DirIcons=\"/first\"\n", "b=2\n", "DirIcons=\"/second\"\n"};
  engine.configure(working, LogKind::Web);
  ConfigText copy = working;
  engine.configure_CustomDate(copy);
  working[1] = "DirIcons=\"../icon\"\r\n";
  EXPECT_EQ(copy, working);
  ConfigText none = {"a=1\n"};
  engine.configure_CustomDate(none);
  EXPECT_EQ(none, (ConfigText{"a=1\n", "DirIcons=\"../icon\"\r\n"}));
}

TEST(AWStatsConfig, MissingModelFailsWithItsPlace) {
  Domain domain;
  LogForAWStats engine = domain.engine();
  TempDir dir;
  EXPECT_THAT(failureOf([&] { engine.sourceLines(dir / "missing.conf"); }),
              HasSubstr("site-one.example: read awstats.model.conf(LogForAWStats::sourceLines line 77)"));
  EXPECT_THAT(failureOf([&] { engine.writeConfig(dir / "no/such/dir/x.conf", {"a\n"}); }),
              HasSubstr("site-one.example: write AWStats.conf(LogForAWStats::writeConfig line 95)"));
}

TEST(AWStatsConfig, RefusesValuesThatWouldChangeWhatAWStatsReads) {
  struct Case {
    const char* what;
    std::string domain;
    std::vector<std::string> aliases;
    std::string logName;
    std::string defaultDoc;
    const char* expected;  // a piece of the message
  } cases[] = {
      {"domain with a line break", "evil.example\nLogFile=/etc/shadow", {}, "web.log", "", "SiteDomain="},
      {"domain with a double quote", "evil\".example", {}, "web.log", "", "a double quote"},
      {"domain with a blank", "evil.example -update", {}, "web.log", "", "unquoted into the AWStats command lines"},
      {"domain with a slash", "../evil", {}, "web.log", "", "path separator"},
      {"alias with a line break", "ok.example", {"a.example\r\nLogFile=\"x\""}, "web.log", "", "alias"},
      {"alias with a double quote", "ok.example", {"a\"b"}, "web.log", "", "a double quote"},
      {"alias with a comment", "ok.example", {"a #b"}, "web.log", "", "comment"},
      {"log file ending in a pipe", "ok.example", {}, "web_x.log|", "", "as a command"},
      {"log file with a line break", "ok.example", {}, "web_x\nDirData=/tmp", "", "a line break"},
      {"log file with a double quote", "ok.example", {}, "web\".log", "", "a double quote"},
      {"log file with trailing blank", "ok.example", {}, "web.log ", "", "two-argument open"},
      {"log file with a date tag", "ok.example", {}, "web_%YYYY.log", "", "date tag"},
      {"log file with an environment name", "ok.example", {}, "web__HOME__.log", "", "environment variable"},
      {"default document with a line break", "ok.example", {}, "web.log", "a.html\nLogFile=/x", "default documents"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
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
  LogForAWStats engine = fine.engine();
  ConfigText text;
  EXPECT_NO_THROW(engine.configure(text, LogKind::Web));
}

TEST(AWStatsVersions, CompareAsDottedDecimalNumbers) {
  struct Case {
    const char* a;
    const char* b;
    int expected;
  } cases[] = {
      {"7.8", "7.8", 0},       {"7.8", "7.10", -1},    {"7.10", "7.8", 1},     {"7.8", "7.8\n", 0},
      {"7.8", "7.8.1", -1},    {"7.8.1", "7.8", 1},    {"7.7", "7.8", -1},     {"8", "7.99", 1},
      {"", "", 0},             {"abc", "0", 0},        {"", "7.8", -1},        {" 7.8", "7.8", 0},
      {"7.8\r\n", "7.8", 0},   {"07.008", "7.8", 0},   {"7.8 (build 1)", "7.8", 0}, {"-1", "0", -1},
      {"7..8", "7.0.8", 0},    {"7.", "7", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(compareVersions(c.a, c.b), c.expected) << "'" << c.a << "' vs '" << c.b << "'";
  }
}
