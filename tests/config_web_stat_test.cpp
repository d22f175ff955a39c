// The XML reader (what it accepts, what it refuses and with which words, and
// that it never reads a file a document points at), and web_stat_executor.conf
// read through it into its record, with the logs listed beside it.
#include "config/web_stat_config.h"
#include "config/xml_document.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <optional>
#include <tuple>

#include "platform/text.h"
#include "support/errors.h"
#include "support/xml_error.h"
#include "tests/common/test_env.h"

namespace {

using testenv::TempDir;
using testenv::writeFile;

// The message of the load's failure; "" when the document loads.
std::string loadError(const std::string& path) {
  try {
    vxmlLoad(path);
  } catch (const vexception& e) {
    return e.message();
  }
  return "";
}

// Watches a file for being opened, the only way to be sure a parser did not
// peek at it.
struct OpenWatch {
  explicit OpenWatch(const std::string& path) : fd(inotify_init1(IN_NONBLOCK)) {
    EXPECT_GE(inotify_add_watch(fd, path.c_str(), IN_OPEN | IN_ACCESS), 0) << path;
  }
  ~OpenWatch() { close(fd); }
  bool opened() const {
    char buffer[4096];
    return read(fd, buffer, sizeof buffer) > 0;
  }
  int fd;
};

const std::string kDoctype =
    "<!DOCTYPE root [\n"
    "<!ELEMENT root (domain)>\n"
    "<!ELEMENT domain EMPTY>\n"
    "<!ATTLIST domain name CDATA #REQUIRED kind CDATA \"web\">\n"
    "<!ENTITY site \"Site-One.example\">\n"
    "]>\n";

// Refused documents fail with the parser's reason and the path; none makes
// the parser open a file it points at.
TEST(XmlDocument, RefusedDocumentsNameTheirReasonAndNoneIsFollowedOutside) {
  TempDir outside, tree;
  const std::string secret = outside / "secret.txt", uri = "file://" + secret;
  writeFile(secret, "<!ELEMENT root ANY>");
  // A billion laughs: nine levels of ten references each.
  std::string laughs = "<!DOCTYPE root [<!ELEMENT root ANY><!ELEMENT domain ANY><!ATTLIST domain name CDATA #IMPLIED>"
                       "<!ENTITY lol0 \"lol\">";
  for (int i = 1; i <= 9; ++i) {
    std::string refs;
    for (int j = 0; j < 10; ++j) refs += "&lol" + std::to_string(i - 1) + ";";
    laughs += "<!ENTITY lol" + std::to_string(i) + " \"" + refs + "\">";
  }
  laughs += "]>";
  // Name, content (none: the file does not exist), a part of the reason (none: it loads).
  const std::tuple<const char*, std::optional<std::string>, const char*> cases[] = {
      {"garbage.conf", "this is not xml", ""},
      {"missing.conf", std::nullopt, ""},
      {"mismatch.conf", "<root>\n<domain>\n</root>", "line 3"},  // libxml2's reason, with the line of the fault
      {"missing_required.conf", kDoctype + "<root><domain/></root>", ""},  // an internal DOCTYPE validates
      // An entity explosion fails instead of eating memory.
      {"laughs_in_attribute.conf", laughs + "<root><domain name=\"&lol9;\"/></root>", "entity"},
      // What lies outside is never read, whether the document loads or not; a
      // DOCTYPE with both an outside and an inner part is checked against the inner one.
      {"external_dtd.conf", "<!DOCTYPE root SYSTEM \"" + secret + "\"><root><domain name=\"a\"/></root>", nullptr},
      {"public_dtd.conf", "<!DOCTYPE root PUBLIC \"-//X//Y//EN\" \"" + secret + "\" [<!ELEMENT root ANY>]><root/>",
       nullptr},
      {"entity_in_text.conf",
       "<!DOCTYPE root [<!ELEMENT root ANY><!ENTITY xxe SYSTEM \"" + uri + "\">]><root>&xxe;</root>", nullptr},
      {"parameter_entity.conf",
       "<!DOCTYPE root [<!ENTITY % p SYSTEM \"" + secret + "\"> %p; <!ELEMENT root ANY>]><root/>", nullptr},
      {"entity_in_attribute.conf",
       "<!DOCTYPE root [<!ENTITY xxe SYSTEM \"" + uri + "\">]><root><domain name=\"&xxe;\"/></root>", ""},
      {"xinclude.conf",
       "<root xmlns:xi=\"http://www.w3.org/2001/XInclude\"><xi:include href=\"" + secret + "\"/></root>", nullptr},
  };
  for (const auto& [name, content, reason] : cases) {
    const std::string path = tree / name;
    if (content) writeFile(path, *content);
    OpenWatch watch(secret);
    const std::string message = loadError(path);
    if (!reason) EXPECT_EQ(message, "") << name;
    else {
      EXPECT_TRUE(text::endsWith(message, " at load " + path)) << name << ": " << message;
      EXPECT_NE(message.find(reason), std::string::npos) << name << ": " << message;
    }
    EXPECT_FALSE(watch.opened()) << name << " made the parser open " << secret;
  }
}

// The attribute of the document's first <domain> as the configuration reads
// it, or the XmlError's message.
std::string domainAttribute(const std::string& path, const char* name) {
  const XmlDocument doc = vxmlLoad(path);  // elements live as long as their document
  try {
    return doc.documentElement().selectFirstElement("domain")->attributeOrEmpty(name);
  } catch (const XmlError& e) {
    return e.message();
  }
}

// Internal entities expand; an attribute that expands beyond 1 MiB (within the parser's own
// amplification limit) is refused when it is read, not built.
TEST(XmlDocument, AttributesExpandInternalEntitiesButNotBeyondOneMebibyte) {
  TempDir dir;
  writeFile(dir / "valid.conf", kDoctype + "<root><domain name=\"&site;\"/></root>");
  EXPECT_EQ(domainAttribute(dir / "valid.conf", "name"), "Site-One.example");  // internal entities expand
  const std::string big(300000, 'x');
  writeFile(dir / "big.conf",
            "<!DOCTYPE root [<!ELEMENT root ANY><!ELEMENT domain EMPTY><!ATTLIST domain name CDATA #IMPLIED>"
            "<!ENTITY big \"" + big + "\">]><root><domain name=\"&big;&big;&big;&big;\"/></root>");
  EXPECT_EQ(domainAttribute(dir / "big.conf", "name"), "The attribute 'name' expands to more than 1048576 characters");
}

// ---------------------------------------------------------------- web_stat_executor.conf

std::string conf(const std::string& domainAttributes, const std::string& children) {
  return "<config><domain " + domainAttributes + ">" + children + "</domain></config>";
}

TEST(WebStatConfig, ReadsEveryFieldOfTheRecordOrFindsTheFileInvalid) {
  TempDir dir;
  const std::string path = dir / "web_stat_executor.conf";
  writeFile(path, conf("name=\"Site-One.Example\" webspaceName=\"WS1\" "
                       "default_doc=\"index.html&#10;index.htm&#13;x&#10;&#10;\"",
                       "<alias name=\"Alias-Two\"/><alias name=\"alias-two\"/><!-- c --><alias/>"
                       "<x><alias name=\"deep\"/></x>"
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

  // Files without a domain or its webstat are invalid but no errors. Name,
  // content, accepted, the domain name the record holds afterwards.
  const std::tuple<const char*, std::string, bool, std::string> cases[] = {
      {"domain_is_root", "<domain name=\"a\" webspaceName=\"w\"><webstat type=\"webalizer\"/></domain>", false, ""},
      {"no_webstat", conf("name=\"b\" webspaceName=\"w\"", "<alias name=\"x\"/>"), false, "b"},
      {"webstat_beside_domain", "<c><domain name=\"c\" webspaceName=\"w\"/><webstat type=\"x\"/></c>", false, "c"},
      {"webstat_without_type", conf("name=\"e\" webspaceName=\"w\"", "<webstat/>"), true, "e"},
      {"two_domains", "<c><domain name=\"first\" webspaceName=\"w\"><webstat/></domain><domain name=\"second\" "
                      "webspaceName=\"w\"><webstat/></domain></c>", true, "first"}};
  for (const auto& [name, content, accepted, domainName] : cases) {
    writeFile(dir / name, content);
    WebStatConfig record;
    record.type = "stale";
    EXPECT_EQ(loadWebStatConfig(dir / name, record), accepted) << name;
    EXPECT_EQ(record.domainName, domainName) << name;
    EXPECT_EQ(record.type, "") << name;
  }
}

TEST(WebStatConfig, RefusesNamesThatLeadOutOfTheVirtualHostsTree) {
  TempDir dir;
  const std::tuple<std::string, std::string, std::string> cases[] = {  // webspace, domain, as shown
      {"..", "site.example", "'..'"}, {".", "site.example", "'.'"}, {"", "site.example", "''"},
      {"ws1/../../etc", "site.example", "'ws1/../../etc'"}, {"ws1\\..", "site.example", "'ws1\\..'"},
      {"ws&#9;1", "site.example", "'ws\\x091'"},          {"ws1", "..", "'..'"}};
  for (const auto& [webspace, domain, shown] : cases) {
    const std::string path = dir / "web_stat_executor.conf";
    writeFile(path, conf("name=\"" + domain + "\" webspaceName=\"" + webspace + "\"", "<webstat type=\"webalizer\"/>"));
    WebStatConfig config;
    const std::string message = testenv::failureOf([&] {
      ASSERT_TRUE(loadWebStatConfig(path, config));
      requirePlainNames(config, path);
    });
    for (const std::string& part : {shown, "'" + path + "'", std::string("outside the virtual-hosts directory")})
      EXPECT_NE(message.find(part), std::string::npos) << "webspace [" << webspace << "] domain [" << domain << "]: "
                                                       << message;
  }
  // A record made some other way is refused by statisticsDir before it asks
  // for the virtual-hosts root.
  EXPECT_THROW(statisticsDir(WebStatConfig{"../escape", "ws1", "", dir.path(), "", {}}), vexception);
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
  std::vector<std::pair<int, std::string>> found;  // kind as a number: shown readably
  for (const LogSource& source : findLogSources(dir.path())) found.emplace_back(int(source.kind), source.path);
  EXPECT_EQ(found, (std::vector<std::pair<int, std::string>>{
                       {int(LogKind::AnonymousFtp), dir / "anon_y.log"}, {int(LogKind::Ftp), dir / "ftp"},
                       {int(LogKind::Ftp), dir / "ftp_x.log"}, {int(LogKind::Web), dir / "web_old"},
                       {int(LogKind::Web), dir / "webb"}, {int(LogKind::Web), dir / "webstat_20240101.log"}}));
  EXPECT_TRUE(findLogSources(dir / "does_not_exist").empty());
}

} // namespace
