// The XML reader: what it accepts, what it refuses and with which words, and
// that it never reads a file a document points at.
#include "config/xml_document.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "support/errors.h"
#include "tests/common/test_env.h"

namespace {

using testenv::TempDir;
using testenv::writeFile;

std::string loadError(const std::string& path) {
  try {
    vxmlLoad(path);
  } catch (const vexception& e) {
    EXPECT_EQ(e.places().size(), 1u);
    if (!e.places().empty()) {
      EXPECT_EQ(e.places()[0].function, "vxmlLoad");
      EXPECT_EQ(e.places()[0].line, 38);
    }
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

TEST(XmlDocument, MalformedOrUnreadableFilesFailWithTheParsersReasonAndThePath) {
  TempDir dir;
  const struct {
    const char* name;
    const char* content;  // nullptr: the file does not exist
  } cases[] = {
      {"unclosed.conf", "<root><domain name=\"a\"></root>"},
      {"garbage.conf", "this is not xml"},
      {"empty.conf", ""},
      {"two_roots.conf", "<a/><b/>"},
      {"bad_attr.conf", "<root><domain name=a/></root>"},
      {"missing.conf", nullptr},
  };
  for (const auto& c : cases) {
    const std::string path = dir / c.name;
    if (c.content != nullptr) writeFile(path, c.content);
    const std::string message = loadError(path);
    const std::string suffix = " at load " + path;
    ASSERT_GT(message.size(), suffix.size()) << c.name << ": " << message;
    EXPECT_EQ(message.substr(message.size() - suffix.size()), suffix) << c.name;
  }
  // The reason is libxml2's, with the line where it found the fault.
  writeFile(dir / "mismatch.conf", "<root>\n<domain>\n</root>");
  const std::string message = loadError(dir / "mismatch.conf");
  EXPECT_NE(message.find("mismatch"), std::string::npos) << message;
  EXPECT_NE(message.find("line 3"), std::string::npos) << message;
}

TEST(XmlDocument, AnInternalDoctypeValidatesTheDocument) {
  TempDir dir;
  const std::string dtd =
      "<!DOCTYPE root [\n"
      "<!ELEMENT root (domain)>\n"
      "<!ELEMENT domain EMPTY>\n"
      "<!ATTLIST domain name CDATA #REQUIRED kind CDATA \"web\">\n"
      "<!ENTITY site \"Site-One.example\">\n"
      "]>\n";
  writeFile(dir / "valid.conf", dtd + "<root><domain name=\"&site;\"/></root>");
  const XmlDocument valid = vxmlLoad(dir / "valid.conf");
  const auto domain = valid.documentElement().selectFirstElement("domain");
  ASSERT_TRUE(domain);
  EXPECT_EQ(domain->attribute("name"), "Site-One.example");  // internal entities expand
  EXPECT_EQ(domain->attribute("kind"), "web");               // a declared default counts as present

  const struct {
    const char* name;
    const char* body;
  } invalid[] = {
      {"missing_required.conf", "<root><domain/></root>"},
      {"undeclared_element.conf", "<root><domain name=\"a\"/><extra/></root>"},
      {"undeclared_attribute.conf", "<root><domain name=\"a\" other=\"1\"/></root>"},
  };
  for (const auto& c : invalid) {
    writeFile(dir / c.name, dtd + c.body);
    const std::string message = loadError(dir / c.name);
    EXPECT_NE(message.find(" at load " + (dir / c.name)), std::string::npos) << c.name << ": " << message;
  }
  // Without a DOCTYPE only well-formedness counts.
  writeFile(dir / "free.conf", "<anything><domain whatever=\"1\"/><extra/></anything>");
  EXPECT_EQ(vxmlLoad(dir / "free.conf").documentElement().name(), "anything");
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

TEST(XmlDocument, EntityExplosionsFailInsteadOfEatingMemory) {
  TempDir dir;
  std::string entities = "<!ENTITY lol \"lol\">\n";
  for (int i = 1; i <= 9; ++i) {
    std::string refs;
    for (int j = 0; j < 10; ++j) refs += "&lol" + (i == 1 ? std::string() : std::to_string(i - 1)) + ";";
    entities += "<!ENTITY lol" + std::to_string(i) + " \"" + refs + "\">\n";
  }
  const std::string doctype = "<!DOCTYPE root [\n<!ELEMENT root ANY>\n<!ELEMENT domain ANY>\n"
                              "<!ATTLIST domain name CDATA #IMPLIED>\n" + entities + "]>\n";
  const struct {
    const char* name;
    std::string body;
  } cases[] = {
      {"in_attribute.conf", "<root><domain name=\"&lol9;\"/></root>"},
      {"in_text.conf", "<root><domain>&lol9;</domain></root>"},
  };
  for (const auto& c : cases) {
    writeFile(dir / c.name, doctype + c.body);
    const std::string message = loadError(dir / c.name);
    EXPECT_NE(message.find("entity"), std::string::npos) << c.name << ": " << message;
    EXPECT_NE(message.find(" at load " + (dir / c.name)), std::string::npos) << message;
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
}

} // namespace
