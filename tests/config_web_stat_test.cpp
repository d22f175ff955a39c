// Reading web_stat_executor.conf into its record, and listing the logs beside it.
#include "config/web_stat_config.h"

#include <gtest/gtest.h>

#include "support/errors.h"
#include "tests/common/test_env.h"

namespace {

using testenv::TempDir;
using testenv::writeFile;

std::string conf(const std::string& domainAttributes, const std::string& children) {
  return "<config><domain " + domainAttributes + ">" + children + "</domain></config>";
}

TEST(WebStatConfig, ReadsEveryFieldOfTheRecord) {
  TempDir dir;
  const std::string path = dir / "web_stat_executor.conf";
  writeFile(path, conf("name=\"Site-One.Example\" webspaceName=\"WS1\" default_doc=\"index.html&#10;index.htm&#13;x&#10;&#10;\"",
                       "<alias name=\"Alias-Two\"/><alias name=\"alias-two\"/><alias/>"
                       "<webstat type=\"AWSTATS\"/><webstat type=\"webalizer\"/>"));
  WebStatConfig config;
  config.aliases = {"left over"};
  ASSERT_TRUE(loadWebStatConfig(path, config));
  EXPECT_EQ(config.domainName, "site-one.example");
  EXPECT_EQ(config.webspaceName, "WS1");
  EXPECT_EQ(config.type, "AWSTATS");  // as written; the driver compares ignoring case
  EXPECT_EQ(config.configDir, dir.path());
  EXPECT_EQ(config.defaultDoc, "index.html index.htm\rx  ");
  EXPECT_EQ(config.aliases, (std::vector<std::string>{"alias-two", "alias-two", ""}));
}

TEST(WebStatConfig, FilesWithoutDomainOrWebstatAreInvalidButNotErrors) {
  TempDir dir;
  const struct {
    const char* name;
    std::string content;
    bool accepted;
    std::string domainName;  // what the record holds afterwards
  } cases[] = {
      {"domain_is_root", "<domain name=\"a\" webspaceName=\"w\"><webstat type=\"webalizer\"/></domain>", false, ""},
      {"no_webstat", conf("name=\"b\" webspaceName=\"w\"", "<alias name=\"x\"/>"), false, "b"},
      {"webstat_beside_domain",
       "<c><domain name=\"c\" webspaceName=\"w\"/><webstat type=\"webalizer\"/></c>", false, "c"},
      {"webstat_nested_deeper", conf("name=\"d\" webspaceName=\"w\"", "<x><webstat type=\"webalizer\"/></x>"), false,
       "d"},
      {"webstat_without_type", conf("name=\"e\" webspaceName=\"w\"", "<webstat/>"), true, "e"},
      {"two_domains",
       "<c><domain name=\"first\" webspaceName=\"w\"><webstat/></domain><domain name=\"second\" "
       "webspaceName=\"w\"><webstat/></domain></c>",
       true, "first"},
  };
  for (const auto& c : cases) {
    const std::string path = dir / c.name;
    writeFile(path, c.content);
    WebStatConfig config;
    config.type = "stale";
    EXPECT_EQ(loadWebStatConfig(path, config), c.accepted) << c.name;
    EXPECT_EQ(config.domainName, c.domainName) << c.name;
    EXPECT_EQ(config.type, "") << c.name;
  }
}

TEST(WebStatConfig, RefusesNamesThatLeadOutOfTheVirtualHostsTree) {
  TempDir dir;
  const struct {
    std::string webspace, domain, shownValue;
  } cases[] = {
      {"..", "site.example", "'..'"},
      {".", "site.example", "'.'"},
      {"", "site.example", "''"},
      {"ws1/../../etc", "site.example", "'ws1/../../etc'"},
      {"ws1\\..", "site.example", "'ws1\\..'"},
      {"ws&#9;1", "site.example", "'ws\\x091'"},
      {"ws1", "..", "'..'"},
  };
  for (const auto& c : cases) {
    const std::string path = dir / "web_stat_executor.conf";
    writeFile(path, conf("name=\"" + c.domain + "\" webspaceName=\"" + c.webspace + "\"", "<webstat type=\"webalizer\"/>"));
    WebStatConfig config;
    try {
      ASSERT_TRUE(loadWebStatConfig(path, config));
      requirePlainNames(config, path);
      ADD_FAILURE() << "accepted webspace [" << c.webspace << "] domain [" << c.domain << "]";
    } catch (const vexception& e) {
      EXPECT_NE(e.message().find(c.shownValue), std::string::npos) << e.message();
      EXPECT_NE(e.message().find("'" + path + "'"), std::string::npos) << e.message();
      EXPECT_NE(e.message().find("outside the virtual-hosts directory"), std::string::npos) << e.message();
    }
  }
  // A record made some other way is refused by statisticsDir before it asks
  // for the virtual-hosts root.
  WebStatConfig made;
  made.webspaceName = "ws1";
  made.domainName = "../escape";
  made.configDir = dir.path();
  EXPECT_THROW(statisticsDir(made), vexception);
}

TEST(WebStatConfig, ListsTheLogsBesideTheConfigurationSortedByName) {
  TempDir dir;
  for (const char* name : {"web_stat_executor.conf", "webstat_20240101.log", "ftp_x.log", "anon_y.log", "Web_z.log",
                           "web_stat_executor.CONF", "other.log", "we", "ftp", "webb"})
    writeFile(dir / name, "x");
  // A directory named like a log is listed (and refused when processed),
  // unless it is another domain's, with a configuration of its own.
  writeFile(dir / "web_old/web_inside.log", "x");
  writeFile(dir / "webshop.example/web_stat_executor.conf", "x");
  const std::vector<LogSource> sources = findLogSources(dir.path());
  const std::vector<std::pair<LogKind, std::string>> expected = {
      {LogKind::AnonymousFtp, "anon_y.log"}, {LogKind::Ftp, "ftp"},  {LogKind::Ftp, "ftp_x.log"},
      {LogKind::Web, "web_old"},             {LogKind::Web, "webb"}, {LogKind::Web, "webstat_20240101.log"},
  };
  ASSERT_EQ(sources.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(sources[i].kind, expected[i].first) << i;
    EXPECT_EQ(sources[i].path, dir / expected[i].second) << i;
  }
  EXPECT_TRUE(findLogSources(dir / "does_not_exist").empty());
}

} // namespace
