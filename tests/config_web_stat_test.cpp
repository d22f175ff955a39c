// The XML reader (what it accepts, what it refuses and with which words, and
// that it never reads a file a document points at), and web_stat_executor.conf
// read through it into its record, with the logs listed beside it.
#include "config/web_stat_config.h"
#include "config/xml_document.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <optional>

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

TEST(XmlDocument, RefusedDocumentsFailWithTheParsersReasonAndThePath) {
  TempDir dir;
  // A billion laughs: nine levels of ten references each.
  std::string laughs = "<!DOCTYPE root [<!ELEMENT root ANY><!ELEMENT domain ANY><!ATTLIST domain name CDATA #IMPLIED>"
                       "<!ENTITY lol0 \"lol\">";
  for (int i = 1; i <= 9; ++i) {
    std::string refs;
    for (int j = 0; j < 10; ++j) refs += "&lol" + std::to_string(i - 1) + ";";
    laughs += "<!ENTITY lol" + std::to_string(i) + " \"" + refs + "\">";
  }
  laughs += "]>";
  const struct {
    const char* name;
    std::optional<std::string> content;  // none: the file does not exist
    const char* reason;                  // a part of the reason
  } cases[] = {
      {"garbage.conf", "this is not xml", ""},
      {"empty.conf", "", ""},
      {"missing.conf", std::nullopt, ""},
      {"mismatch.conf", "<root>\n<domain>\n</root>", "line 3"},  // libxml2's reason, with the line of the fault
      // An internal DOCTYPE validates the document.
      {"missing_required.conf", kDoctype + "<root><domain/></root>", ""},
      {"undeclared_attribute.conf", kDoctype + "<root><domain name=\"a\" other=\"1\"/></root>", ""},
      // Entity explosions fail instead of eating memory.
      {"laughs_in_attribute.conf", laughs + "<root><domain name=\"&lol9;\"/></root>", "entity"},
      {"laughs_in_text.conf", laughs + "<root><domain>&lol9;</domain></root>", "entity"},
  };
  for (const auto& c : cases) {
    const std::string path = dir / c.name;
    if (c.content) writeFile(path, *c.content);
    const std::string message = loadError(path);
    EXPECT_TRUE(text::endsWith(message, " at load " + path)) << c.name << ": " << message;
    EXPECT_NE(message.find(c.reason), std::string::npos) << c.name << ": " << message;
  }
}

TEST(XmlDocument, NeverReadsAFileTheDocumentPointsAt) {
  TempDir outside, tree;
  const std::string secret = outside / "secret.txt";
  writeFile(secret, "<!ELEMENT root ANY>");
  const std::string uri = "file://" + secret;
  const struct {
    const char* name;
    std::string content;
    bool loads;  // whether the document itself is still accepted
  } cases[] = {
      {"external_dtd.conf", "<!DOCTYPE root SYSTEM \"" + secret + "\"><root><domain name=\"a\"/></root>", true},
      {"external_dtd_uri.conf", "<!DOCTYPE root SYSTEM \"" + uri + "\"><root/>", true},
      {"public_dtd.conf", "<!DOCTYPE root PUBLIC \"-//X//Y//EN\" \"" + secret + "\" [<!ELEMENT root ANY>]><root/>",
       true},
      {"entity_in_text.conf",
       "<!DOCTYPE root [<!ELEMENT root ANY><!ENTITY xxe SYSTEM \"" + uri + "\">]><root>&xxe;</root>", true},
      {"parameter_entity.conf",
       "<!DOCTYPE root [<!ENTITY % p SYSTEM \"" + secret + "\"> %p; <!ELEMENT root ANY>]><root/>", true},
      {"entity_in_attribute.conf",
       "<!DOCTYPE root [<!ENTITY xxe SYSTEM \"" + uri + "\">]><root><domain name=\"&xxe;\"/></root>", false},
      {"xinclude.conf",
       "<root xmlns:xi=\"http://www.w3.org/2001/XInclude\"><xi:include href=\"" + secret + "\"/></root>", true},
  };
  for (const auto& c : cases) {
    writeFile(tree / c.name, c.content);
    OpenWatch watch(secret);
    if (c.loads) {
      EXPECT_NO_THROW(vxmlLoad(tree / c.name)) << c.name << ": " << loadError(tree / c.name);
    } else {
      EXPECT_NE(loadError(tree / c.name), "") << c.name;
    }
    EXPECT_FALSE(watch.opened()) << c.name << " made the parser open " << secret;
  }
}

TEST(XmlDocument, SelectsChildElementsAndTellsAbsentFromEmptyAttributes) {
  TempDir dir;
  writeFile(dir / "c.conf",
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
            "<root><domain name=\"\" note=\"caf\xE9\"><alias name=\"x\"/><!-- c --><alias/><other/>"
            "<inner><alias name=\"deep\"/></inner></domain><domain name=\"second\"/></root>");
  const XmlDocument doc = vxmlLoad(dir / "c.conf");
  const auto domain = doc.documentElement().selectFirstElement("domain");
  ASSERT_TRUE(domain);
  EXPECT_EQ(domain->attribute("name"), std::optional<std::string>(""));
  EXPECT_EQ(domain->attribute("missing"), std::nullopt);
  EXPECT_EQ(domain->attribute("note"), "caf\xC3\xA9");  // any encoding the parser knows, read as UTF-8
  const auto aliases = domain->selectElements("./alias");
  ASSERT_EQ(aliases.size(), 2u);  // children only, in document order
  EXPECT_EQ(aliases[0].attributeOrEmpty("name"), "x");
  EXPECT_EQ(aliases[1].attribute("name"), std::nullopt);

  // What a DOCTYPE declares counts; without one only well-formedness does.
  writeFile(dir / "valid.conf", kDoctype + "<root><domain name=\"&site;\"/></root>");
  const XmlDocument validDoc = vxmlLoad(dir / "valid.conf");  // elements live as long as their document
  const auto declared = validDoc.documentElement().selectFirstElement("domain");
  ASSERT_TRUE(declared);
  EXPECT_EQ(declared->attribute("name"), "Site-One.example");  // internal entities expand
  EXPECT_EQ(declared->attribute("kind"), "web");               // a declared default counts as present
  // An attribute that expands beyond 1 MiB (within the parser's own amplification
  // limit) is refused when it is read, not built.
  const std::string big(300000, 'x');
  writeFile(dir / "big.conf",
            "<!DOCTYPE root [<!ELEMENT root ANY><!ELEMENT domain EMPTY><!ATTLIST domain name CDATA #IMPLIED>"
            "<!ENTITY big \"" + big + "\">]><root><domain name=\"&big;&big;&big;&big;\"/></root>");
  const XmlDocument bigDoc = vxmlLoad(dir / "big.conf");
  const auto bigDomain = bigDoc.documentElement().selectFirstElement("domain");
  ASSERT_TRUE(bigDomain);
  try {
    bigDomain->attribute("name");
    ADD_FAILURE() << "a 1.2 MB attribute was read";
  } catch (const XmlError& e) {
    EXPECT_EQ(e.message(), "The attribute 'name' expands to more than 1048576 characters");
  }
}

// ---------------------------------------------------------------- web_stat_executor.conf

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
    const std::string message = testenv::failureOf([&] {
      ASSERT_TRUE(loadWebStatConfig(path, config));
      requirePlainNames(config, path);
    });
    for (const std::string& part : {c.shownValue, "'" + path + "'", std::string("outside the virtual-hosts directory")})
      EXPECT_NE(message.find(part), std::string::npos) << "webspace [" << c.webspace << "] domain [" << c.domain
                                                       << "]: " << message;
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
