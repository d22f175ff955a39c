#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "config/registry.h"
#include "platform/environment.h"
#include "platform/registry_file.h"
#include "platform/text.h"
#include "support/errors.h"
#include "tests/common/test_env.h"

namespace {

using namespace registry;

constexpr const char* kKey = "SOFTWARE\\Tarvo\\ZUL Config\\Config";

class Registry : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("TARVO_REGISTRY", file().c_str(), 1); }
  std::string file() const { return dir / "registry.reg"; }
  void write(const std::string& body) { testenv::writeFile(file(), body); }

  testenv::TempDir dir;
};

// The bytes of a REG_EXPAND_SZ as regedit writes them.
std::string hexUtf16(const std::string& s) {
  std::string bytes = text::toUtf16le(s);
  bytes.append(2, '\0');
  std::string out;
  char buf[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out += ",";
    if (i > 0 && i % 20 == 0) out += "\\\r\n  ";  // continued lines, as regedit wraps them
    std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(bytes[i]));
    out += buf;
  }
  return out;
}

template <class F>
vexception raised(F&& f) {
  try {
    f();
  } catch (const vexception& e) {
    return e;
  }
  ADD_FAILURE() << "nothing was raised";
  return vexception("");
}

TEST_F(Registry, ReadsEveryTypeOfARegFileInEitherEncoding) {
  ::setenv("TARVO_TEST_ROOT", "/opt/tarvo", 1);
  const std::string body =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "; installation values\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvo\\ZUL Config\\Config]\r\n"
      "\"PRODUCT_ROOT_D\"=\"/opt/tarvo\"\r\n"
      "\"Quoted\"=\"a \\\"b\\\" c:\\\\d\"\r\n"
      "\"Debug\"=dword:0000000a\r\n"
      "\"Expand\"=hex(2):" + hexUtf16("%TARVO_TEST_ROOT%/bin:${TARVO_TEST_ROOT}/lib:%NOT_SET_ANYWHERE%") + "\r\n"
      "\"Blob\"=hex:01,02,ff\r\n"
      "\"Umlaut\"=\"Grüße\"\r\n"
      "@=\"the default\"\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvo\\Installer\\CorvanitePerl]\r\n"
      "\"INSTALLDIR\"=\"/usr\"\r\n";
  struct TextCase {
    std::string subkey, name, expected;
  } texts[] = {
      {kKey, "PRODUCT_ROOT_D", "/opt/tarvo"},
      {"software\\TARVO\\zul config\\config", "product_root_d", "/opt/tarvo"},  // names ignore case
      {kKey, "Quoted", "a \"b\" c:\\d"},
      {kKey, "Expand", "/opt/tarvo/bin:/opt/tarvo/lib:%NOT_SET_ANYWHERE%"},
      {kKey, "Umlaut", "Grüße"},
      {kKey, "", "the default"},
      {"SOFTWARE\\Tarvo\\Installer\\CorvanitePerl", "INSTALLDIR", "/usr"},
  };
  // As written by hand (UTF-8) and as regedit exports it (UTF-16 with a byte-order mark).
  for (const std::string& content : {body, "\xFF\xFE" + text::toUtf16le(body)}) {
    write(content);
    for (const auto& c : texts) {
      std::string value = "unchanged";
      EXPECT_EQ(lookup(HKEY_LOCAL_MACHINE, c.subkey, c.name, value, REG_SZ, View32), 0u) << c.name;
      EXPECT_EQ(value, c.expected) << c.name;
    }
    uint32_t number = 0;
    EXPECT_EQ(lookup(HKEY_LOCAL_MACHINE, kKey, "Debug", number, View32), 0u);
    EXPECT_EQ(number, 10u);
    EXPECT_EQ(getstr(HKEY_LOCAL_MACHINE, kKey, "PRODUCT_ROOT_D", View64), "/opt/tarvo");

    // Missing values and keys answer 2 and leave the caller's value: that is how defaults work.
    std::string value = "zulpipe";
    EXPECT_EQ(lookup(HKEY_LOCAL_MACHINE, kKey, "zulpipe", value, REG_SZ, View32), 2u);
    EXPECT_EQ(lookup(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nothing", "zulpipe", value, REG_SZ, View32), 2u);
    EXPECT_EQ(value, "zulpipe");
    number = 7;
    EXPECT_EQ(lookup(HKEY_LOCAL_MACHINE, kKey, "log_debug_enabled", number, View32), 2u);
    EXPECT_EQ(number, 7u);

    // A key exists when it or a key below it has a section.
    EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvo", View32));
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarv", View32));

    Key key;
    open(HKEY_LOCAL_MACHINE, kKey, key, KeyRead);
    EXPECT_EQ(lookup(key, "Expand", value), 0u);
    EXPECT_EQ(value, "/opt/tarvo/bin:/opt/tarvo/lib:%NOT_SET_ANYWHERE%");
    EXPECT_EQ(lookup(key, "Missing", number), 2u);
  }
}

TEST_F(Registry, MissingFileIsAnEmptyRegistry) {
  std::string value = "default";
  EXPECT_EQ(lookup(HKEY_LOCAL_MACHINE, kKey, "zulpipe", value, REG_SZ, View32), 2u);
  EXPECT_EQ(value, "default");
  EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kKey, View32));
  EXPECT_EQ(raised([] { getstr(HKEY_LOCAL_MACHINE, kKey, "PRODUCT_ROOT_D", View32); }).message(),
            "No such file or directory (Error code 2) at lookup subKey=" + std::string(kKey) + " value=PRODUCT_ROOT_D");
  Key key;
  EXPECT_THROW(open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", key, KeyRead), VFileNotFoundException);
  EXPECT_FALSE(key.isOpen());
}

TEST_F(Registry, WrongTypeOrSizeIsRefused) {
  write("Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n"
        "\"Number\"=dword:00000001\n"
        "\"Text\"=\"x\"\n"
        "\"Short\"=hex(4):01,00\n"
        "\"Blob\"=hex:00,00\n");
  Key key;
  open(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", key, KeyRead);
  std::string text = "kept";
  uint32_t number = 3;
  const struct {
    std::function<void()> call;
    std::string message;
  } cases[] = {
      {[&] { lookup(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "Number", text, REG_SZ, View32); },
       "RegQueryValueEx invalid type of 'SOFTWARE\\T\\Number'"},
      {[&] { lookup(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "Blob", text, REG_EXPAND_SZ, View32); },
       "RegQueryValueEx invalid type of 'SOFTWARE\\T\\Blob'"},
      {[&] { lookup(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "Text", number, View32); },
       "RegQueryValueEx invalid type of 'SOFTWARE\\T\\Text'"},
      {[&] { lookup(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "Short", number, View32); },
       "RegQueryValueEx invalid size of 'SOFTWARE\\T\\Short'"},
      {[&] { lookup(key, "Number", text); }, "RegQueryValueEx invalid type of 'Number'"},
      {[&] { lookup(key, "Text", number); }, "RegQueryValueEx invalid type of 'Text'"},
      {[&] { lookup(key, "Short", number); }, "RegQueryValueEx invalid size of 'Short'"},
  };
  for (const auto& c : cases) {
    const vexception e = raised(c.call);
    EXPECT_EQ(e.message(), c.message);
    EXPECT_EQ(e.places().back().function, "registry::lookup");
  }
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(number, 3u);
  // A binary value asked for as binary is fine.
  EXPECT_EQ(lookup(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "Blob", text, REG_BINARY, View32), 0u);
}

TEST_F(Registry, WritesChangeOnlyTheirOwnLinesAndReadBack) {
  // As regedit exports a file: UTF-16LE, CR LF; with the operator's comments.
  const auto asFile = [](const std::string& lines) { return "\xFF\xFE" + text::toUtf16le(lines); };
  const std::string tarvo = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Tarvo]\r\n";
  write(asFile("; the operator's notes\r\nWindows Registry Editor Version 5.00\r\n\r\n" + tarvo +
               "; kept small\r\n\"MaxSize\"=dword:00000001\r\n\"Other\"=\"kept\"\r\n\r\n; the end\r\n"));
  Key key;
  create(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Tarvo", key, KeyAllAccess);
  set(key, "maxsize", 9u);  // the file's spelling stays
  set(key, "Retention", 0u);
  set(key, "Odd \"name\" \\", "a\nb");  // not representable as "text": stored as hex(1)
  set(key, "Umlaut", "Grüße 日本");
  Key source;
  create(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Tarvo\\Source", source, KeyAllAccess);
  set(source, "TypesSupported", 7u);

  const std::string content = testenv::readFile(file());
  EXPECT_EQ(content, asFile("; the operator's notes\r\nWindows Registry Editor Version 5.00\r\n\r\n" + tarvo +
                            "; kept small\r\n\"MaxSize\"=dword:00000009\r\n\"Other\"=\"kept\"\r\n"
                            "\"Retention\"=dword:00000000\r\n\"Odd \\\"name\\\" \\\\\"=hex(1):61,00,0a,00,62,00,00,00\r\n"
                            "\"Umlaut\"=\"Grüße 日本\"\r\n\r\n; the end\r\n\r\n"
                            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Tarvo\\Source]\r\n"
                            "\"TypesSupported\"=dword:00000007\r\n"));

  // Another spelling of the key is the same key.
  Key again;
  open(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\EventLog\\TARVO", again, KeyRead);
  uint32_t number = 0;
  std::string value;
  EXPECT_EQ(lookup(again, "MAXSIZE", number), 0u);
  EXPECT_EQ(number, 9u);
  EXPECT_EQ(lookup(again, "Odd \"name\" \\", value), 0u);
  EXPECT_EQ(value, "a\nb");
  EXPECT_EQ(lookup(again, "Umlaut", value), 0u);
  EXPECT_EQ(value, "Grüße 日本");

  // A key opened for reading refuses writes.
  EXPECT_THROW(set(again, "Retention", 1u), VAccessDeniedException);

  // Creating an existing key, or setting a value as it is, does not rewrite the file.
  set(key, "Retention", 0u);
  create(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog", key, KeyAllAccess);
  EXPECT_EQ(testenv::readFile(file()), content);
}

TEST_F(Registry, ValuesReadTogetherComeFromOneVersionAndOwnWritesShow) {
  const std::string header = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n";
  write(header + "\"A\"=dword:00000001\n");
  uint32_t a = 0;
  {
    const OneReading together;
    EXPECT_EQ(lookup(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "A", a, View32), 0u);
    // Another program replaces the file: the values read together stay as they were.
    write(header + "\"A\"=dword:00000002\n\"B\"=dword:00000003\n");
    uint32_t b = 7;
    EXPECT_EQ(lookup(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "A", a, View32), 0u);
    EXPECT_EQ(lookup(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "B", b, View32), 2u);
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(b, 7u);

    // A write from this thread goes to the file as it is now (nothing of the
    // other program's is lost) and is read back at once.
    Key key;
    create(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", key, KeyAllAccess);
    set(key, "C", 4u);
    EXPECT_EQ(lookup(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "B", b, View32), 0u);
    EXPECT_EQ(b, 3u);
  }
  // Afterwards every read looks at the file again.
  write(header + "\"A\"=dword:00000005\n");
  EXPECT_EQ(lookup(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "A", a, View32), 0u);
  EXPECT_EQ(a, 5u);
}

TEST_F(Registry, MalformedFileNamesFileAndLineAndIsKeptAsItIs) {
  const std::string header = "Windows Registry Editor Version 5.00\n\n";
  struct Case {
    std::string body;
    int line;
    std::string what;
  } cases[] = {
      {"[HKEY_LOCAL_MACHINE\\A]\n", 1, "the file must begin with the line"},
      {header + "[HKEY_LOCAL_MACHINE\\A\n", 3, "a key line must end with \"]\""},
      {header + "\"x\"=\"y\"\n", 3, "before the first [key] line"},
      {header + "[HKEY_SOMEWHERE\\A]\n", 3, "does not begin with a root key"},
      {header + "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"C:\\Perl\"\n", 4, "unknown escape \\P"},
      {header + "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"open\n", 4, "without its closing quote"},
      {header + "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:123456789\n", 4, "1 to 8 hexadecimal digits"},
      {header + "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:01,\\\n  02,zz\n", 5, "\"zz\" is not a hexadecimal byte"},
      {header + "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:01,\\\n", 4, "continued past the end"},
      {header + "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:01,\\\n\n\"y\"=\"z\"\n", 5, "continued onto an empty line"},
      {header + "[HKEY_LOCAL_MACHINE\\A]\n\"x\" \"y\"\n", 4, "expected \"=\""},
      {header + "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=qword:1\n", 4, "unknown value"},
      {header + "[HKEY_LOCAL_MACHINE\\A]\nx=1\n", 4, "unexpected text"},
  };
  for (const auto& c : cases) {
    write(c.body);
    const std::string prefix = "Malformed registry file '" + file() + "', line " + std::to_string(c.line) + ": ";
    std::string value = "kept";
    const vexception e = raised([&] { lookup(HKEY_LOCAL_MACHINE, "A", "x", value, REG_SZ, View32); });
    EXPECT_TRUE(text::startsWith(e.message(), prefix)) << e.message() << "\nexpected: " << prefix;
    EXPECT_NE(e.message().find(c.what), std::string::npos) << e.message();
    EXPECT_EQ(value, "kept");

    // A write must not replace what the operator has to repair.
    Key key;
    const vexception w = raised([&] { create(HKEY_LOCAL_MACHINE, "SOFTWARE\\New", key, KeyAllAccess); });
    EXPECT_EQ(w.places().back().function, "registry::create");
    EXPECT_EQ(testenv::readFile(file()), c.body);
  }
}

TEST_F(Registry, ConcurrentWritersLoseNothingAndReadersNeverSeeAHalfFile) {
  constexpr int kWriters = 6, kValuesEach = 20;
  std::atomic<bool> done{false};
  std::atomic<int> readerFailures{0};
  std::thread reader([&] {
    while (!done) {
      try {
        std::string value;
        lookup(HKEY_LOCAL_MACHINE, "SOFTWARE\\W0", "v0", value, REG_SZ, View32);
      } catch (...) {
        ++readerFailures;
      }
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([w] {
      Key key;
      create(HKEY_LOCAL_MACHINE, "SOFTWARE\\W" + std::to_string(w), key, KeyWrite);
      for (int i = 0; i < kValuesEach; ++i) set(key, "v" + std::to_string(i), std::to_string(w * 1000 + i));
    });
  }
  for (auto& t : writers) t.join();
  done = true;
  reader.join();
  EXPECT_EQ(readerFailures, 0);
  for (int w = 0; w < kWriters; ++w)
    for (int i = 0; i < kValuesEach; ++i)
      EXPECT_EQ(getstr(HKEY_LOCAL_MACHINE, "SOFTWARE\\W" + std::to_string(w), "v" + std::to_string(i), View32),
                std::to_string(w * 1000 + i));
}

TEST(EnvironmentExpansion, BothSpellingsAndUnsetNamesStay) {
  ::setenv("TARVO_X", "ex", 1);
  ::unsetenv("TARVO_UNSET");
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"%TARVO_X%/a", "ex/a"},          {"${TARVO_X}/a", "ex/a"},       {"%TARVO_UNSET%", "%TARVO_UNSET%"},
      {"${TARVO_UNSET}", "${TARVO_UNSET}"}, {"100% of %TARVO_X%", "100% of ex"}, {"$TARVO_X %%", "$TARVO_X %%"},
      {"%TARVO_X%%TARVO_X%", "exex"},   {"${TARVO_X", "${TARVO_X"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::expandEnvironmentStrings(c.in), c.out) << c.in;
}

} // namespace
