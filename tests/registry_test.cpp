#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <tuple>
#include <vector>

#include "config/registry.h"
#include "platform/text.h"
#include "tests/common/test_env.h"

namespace {

using namespace registry;
using testenv::failureOf;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kKey = "SOFTWARE\\Tarvo\\ZUL Config\\Config";
const std::string kHeader = "Windows Registry Editor Version 5.00\n\n";

class Registry : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("TARVO_REGISTRY", file().c_str(), 1); }
  std::string file() const { return dir / "registry.reg"; }
  void write(const std::string& body) { testenv::writeFile(file(), body); }

  testenv::TempDir dir;
};

uint32_t readText(const std::string& subkey, const std::string& name, std::string& value) {
  return lookup(HKEY_LOCAL_MACHINE, subkey, name, value, REG_SZ, View32);
}
uint32_t readNumber(const std::string& subkey, const std::string& name, uint32_t& value) {
  return lookup(HKEY_LOCAL_MACHINE, subkey, name, value, View32);
}

TEST_F(Registry, ReadsEveryTypeOfARegFileInEitherEncodingAndNoFileAsEmpty) {
  ::setenv("TARVO_R", "/opt/tarvo", 1);
  // "Expand" is "%TARVO_R%/bin:${TARVO_R}:%NO_SUCH%" as regedit writes a REG_EXPAND_SZ.
  const std::string body =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvo\\ZUL Config\\Config]\r\n"
      "\"PRODUCT_ROOT_D\"=\"/opt/tarvo\"\r\n"
      "\"Debug\"=dword:0000000a\r\n"
      "\"Expand\"=hex(2):25,00,54,00,41,00,52,00,56,00,4f,00,5f,00,52,00,25,00,2f,00,\\\r\n"
      "  62,00,69,00,6e,00,3a,00,24,00,7b,00,54,00,41,00,52,00,56,00,\\\r\n"
      "  4f,00,5f,00,52,00,7d,00,3a,00,25,00,4e,00,4f,00,5f,00,53,00,\\\r\n"
      "  55,00,43,00,48,00,25,00,00,00\r\n"
      "\"ZÜRICH\"=\"Grüße\"\r\n";
  const std::tuple<std::string, std::string, std::string, uint32_t> texts[] = {  // key, name, value, code
      {kKey, "PRODUCT_ROOT_D", "/opt/tarvo", 0},
      {"software\\TARVO\\zul config\\config", "product_root_d", "/opt/tarvo", 0},  // names ignore case
      {kKey, "Expand", "/opt/tarvo/bin:/opt/tarvo:%NO_SUCH%", 0},
      {kKey, "zürich", "Grüße", 0},  // beyond ASCII too
      // Missing values and keys answer 2 and leave the caller's value: that is how defaults work.
      {kKey, "zulpipe", "unchanged", 2}, {"SOFTWARE\\Nothing", "zulpipe", "unchanged", 2}};
  // As written by hand (UTF-8) and as regedit exports it (UTF-16 with a byte-order mark).
  for (const std::string& content : {body, "\xFF\xFE" + text::toUtf16le(body)}) {
    write(content);
    for (const auto& [subkey, name, expected, code] : texts) {
      std::string value = "unchanged";
      EXPECT_EQ(readText(subkey, name, value), code) << name;
      EXPECT_EQ(value, expected) << name;
    }
    uint32_t number = 0;
    EXPECT_EQ(readNumber(kKey, "Debug", number), 0u);
    EXPECT_EQ(readNumber(kKey, "log_debug_enabled", number), 2u);
    EXPECT_EQ(number, 10u);
    // A key exists when it or a key below it has a section.
    EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvo", View32));
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarv", View32));
  }
  // No file at all is an empty registry: a value is missing (code 2).
  std::filesystem::remove(file());
  EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kKey, View32));
  EXPECT_THAT(failureOf([] { getstr(HKEY_LOCAL_MACHINE, kKey, "PRODUCT_ROOT_D", View32); }),
              StartsWith("No such file or directory (Error code 2) at lookup subKey=" + std::string(kKey) +
                         " value=PRODUCT_ROOT_D\n"));
}

TEST_F(Registry, WrongTypeOrSizeIsRefused) {
  write(kHeader + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n\"Number\"=dword:00000001\n\"Text\"=\"x\"\n"
                  "\"Short\"=hex(4):01,00\n");
  std::string text = "kept";
  uint32_t number = 3;
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { readText("SOFTWARE\\T", "Number", text); }, "invalid type of 'SOFTWARE\\T\\Number'"},
      {[&] { readNumber("SOFTWARE\\T", "Text", number); }, "invalid type of 'SOFTWARE\\T\\Text'"},
      {[&] { readNumber("SOFTWARE\\T", "Short", number); }, "invalid size of 'SOFTWARE\\T\\Short'"},
  };
  for (const auto& [call, message] : cases)
    EXPECT_THAT(failureOf(call), StartsWith("RegQueryValueEx " + message + "\n   at (registry::lookup line "));
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(number, 3u);
}

TEST_F(Registry, WritesChangeOnlyTheirOwnLines) {
  // As regedit exports a file: UTF-16LE, CR LF; with the operator's comments.
  const auto asFile = [](const std::string& lines) { return "\xFF\xFE" + text::toUtf16le(lines); };
  const std::string start = "; the operator's notes\r\nWindows Registry Editor Version 5.00\r\n\r\n"
                            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Tarvo]\r\n"
                            "; kept small\r\n";
  write(asFile(start + "\"MaxSize\"=dword:00000001\r\n\"Other\"=\"kept\"\r\n\r\n; the end\r\n"));
  const std::string tarvo = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Tarvo";
  Key key, source;
  create(HKEY_LOCAL_MACHINE, tarvo, key, KeyAllAccess);
  set(key, "maxsize", 9u);  // the file's spelling stays
  set(key, "Retention", 0u);
  set(key, "Umlaut", "Grüße 日本");
  create(HKEY_LOCAL_MACHINE, tarvo + "\\Source", source, KeyAllAccess);
  set(source, "TypesSupported", 7u);
  const std::string content = testenv::readFile(file());
  EXPECT_EQ(content, asFile(start + "\"MaxSize\"=dword:00000009\r\n\"Other\"=\"kept\"\r\n"
                                    "\"Retention\"=dword:00000000\r\n\"Umlaut\"=\"Grüße 日本\"\r\n\r\n; the end\r\n\r\n"
                                    "[HKEY_LOCAL_MACHINE\\" + tarvo + "\\Source]\r\n\"TypesSupported\"=dword:00000007\r\n"));

  // Creating an existing key, or setting a value as it is, does not rewrite the file.
  set(key, "Retention", 0u);
  create(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog", key, KeyAllAccess);
  EXPECT_EQ(testenv::readFile(file()), content);
}

TEST_F(Registry, MalformedFileNamesFileAndLineAndIsKeptAsItIs) {
  const std::string key = kHeader + "[HKEY_LOCAL_MACHINE\\A]\n";
  const std::tuple<std::string, int, std::string> cases[] = {  // the file, the line named, the reason
      {"[HKEY_LOCAL_MACHINE\\A]\n", 1, "the file must begin with the line"},
      {kHeader + "[HKEY_LOCAL_MACHINE\\A\n", 3, "a key line must end with \"]\""},
      {kHeader + "\"x\"=\"y\"\n", 3, "before the first [key] line"},
      {kHeader + "[HKEY_SOMEWHERE\\A]\n", 3, "does not begin with a root key"},
      {key + "\"x\"=\"C:\\Perl\"\n", 4, "unknown escape \\P"}, {key + "\"x\"=\"open\n", 4, "without its closing quote"},
      {key + "\"x\"=dword:123456789\n", 4, "1 to 8 hexadecimal digits"},
      {key + "\"x\"=hex:01,\\\n  02,zz\n", 5, "\"zz\" is not a hexadecimal byte"},
      {key + "x=1\n", 4, "unexpected text"}};
  for (const auto& [body, line, what] : cases) {
    write(body);
    std::string value;
    EXPECT_THAT(failureOf([&] { readText("A", "x", value); }),
                AllOf(StartsWith("Malformed registry file '" + file() + "', line " + std::to_string(line) + ": "),
                      HasSubstr(what)));
    // A write must not replace what the operator has to repair.
    Key created;
    EXPECT_THAT(failureOf([&] { create(HKEY_LOCAL_MACHINE, "SOFTWARE\\New", created, KeyAllAccess); }),
                HasSubstr("at (registry::create line "));
    EXPECT_EQ(testenv::readFile(file()), body);
  }
}

TEST_F(Registry, ConcurrentWritersLoseNothingAndReadersNeverSeeAHalfFile) {
  std::atomic<bool> done{false};
  auto reader = std::async(std::launch::async, [&] {
    int failures = 0;
    for (std::string value; !done;) failures += !failureOf([&] { readText("SOFTWARE\\W0", "v0", value); }).empty();
    return failures;
  });
  std::vector<std::future<std::string>> writers;
  for (int w = 0; w < 6; ++w) {
    writers.push_back(std::async(std::launch::async, [w] {
      return failureOf([w] {
        Key key;
        create(HKEY_LOCAL_MACHINE, "SOFTWARE\\W" + std::to_string(w), key, KeyWrite);
        for (int i = 0; i < 20; ++i) set(key, "v" + std::to_string(i), std::to_string(w * 1000 + i));
      });
    }));
  }
  for (auto& writer : writers) {
    if (writer.wait_for(testenv::kWaitDeadline) != std::future_status::ready) {
      std::fprintf(stderr, "A registry writer did not finish within 30 s: is the lock held?\n");
      std::_Exit(1);  // a thread cannot be stopped from outside
    }
    EXPECT_EQ(writer.get(), "");
  }
  done = true;
  EXPECT_EQ(reader.get(), 0);
  for (int w = 0; w < 6; ++w)
    for (int i = 0; i < 20; ++i)
      EXPECT_EQ(getstr(HKEY_LOCAL_MACHINE, "SOFTWARE\\W" + std::to_string(w), "v" + std::to_string(i), View32),
                std::to_string(w * 1000 + i));
}

} // namespace
