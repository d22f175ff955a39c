// The XML reader: what it accepts, what it refuses and with which words, and
// that it never reads a file a document points at.
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
class OpenWatch {
 public:
  explicit OpenWatch(const std::string& path) : fd_(inotify_init1(IN_NONBLOCK)) {
    EXPECT_GE(fd_, 0);
    EXPECT_GE(inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_ACCESS), 0);
  }
  ~OpenWatch() { close(fd_); }
  bool opened() const {
    char buffer[4096];
    return read(fd_, buffer, sizeof buffer) > 0;
  }

 private:
  int fd_;
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
  EXPECT_FALSE(domain->selectFirstElement("webstat"));

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

  writeFile(dir / "free.conf", "<anything><domain whatever=\"1\"/><extra/></anything>");
  EXPECT_EQ(vxmlLoad(dir / "free.conf").documentElement().name(), "anything");
}

} // namespace
