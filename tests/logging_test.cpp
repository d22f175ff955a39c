#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>

#include "platform/process_identity.h"
#include "platform/text.h"
#include "support/execution_context.h"
#include "support/format.h"
#include "support/logging.h"
#include "tests/common/hosting.h"
#include "tests/common/syslog_receiver.h"
#include "tests/common/test_env.h"

namespace fs = std::filesystem;
using testenv::SyslogReceiver;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Texts = std::vector<std::string>;

namespace {

struct Entry {
  std::string date;  // "20261204"
  uint32_t pid = 0, tid = 0;
  std::string text;
};

std::string writer() { return testenv::testBinDir() + "/log_writer"; }

class Logging : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TARVO_LOCK_DIR", (dir / "locks").c_str(), 1);
    ::setenv("TARVO_SYSLOG_SOCKET", syslogPath().c_str(), 1);
    // The console stays quiet here (a child shows the console rule); the
    // event log takes what it takes by default with debugging off.
    for (int level = Info; level <= Crash; ++level) {
      outputSwitches().setConsole(level, false);
      outputSwitches().setEventLog(level, level >= Error);
    }
    // An event source registered earlier is forgotten: without a registry
    // nothing is written, and a held source fails to report and is dropped.
    ::setenv("TARVO_REGISTRY", (dir / "none.reg").c_str(), 1);
    LogManager::instance().log(Error, "reset");
    ::setenv("TARVO_REGISTRY", registryPath().c_str(), 1);
    fs::create_directories(logsDir());
    writeRegistry({});
    settleDebug();
  }

  std::string registryPath() const { return dir / "registry.reg"; }
  std::string syslogPath() const { return dir / "syslog.sock"; }
  std::string logsDir() const { return dir / "root/admin/logs"; }

  // The registry with PRODUCT_ROOT_D and the given value lines.
  void writeRegistry(const Texts& lines) {
    std::string body = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvo\\ZUL Config\\Config]\n"
                       "\"PRODUCT_ROOT_D\"=\"" + dir / "root" + "\"\n";
    for (const auto& l : lines) body += l + "\n";
    testenv::writeFile(registryPath(), body);
  }
  // Makes sure the logger has read "Debug" again, however often it reads it.
  static void settleDebug() {
    for (int i = 0; i < 64; ++i) debuggingEnabled();
  }

  std::string channelFile(const std::string& channel) const {
    const platform::LocalTime t = platform::localTime();
    return logsDir() + "/tarvolog_" + channel + formatString("%04d%02d%02d", t.year, t.month, t.day) + ".log";
  }

  // The entries of the channel's daily files; a piece that is not a whole
  // CR LF-ended entry fails the test, and so does a file without its
  // byte-order mark or with a second one (it shows as a piece's start).
  std::vector<Entry> entries(const std::string& channel = "debug") const {
    std::string log;
    for (const auto& item : fs::directory_iterator(logsDir()))
      if (item.is_regular_file() && text::startsWith(item.path().filename().string(), "tarvolog_" + channel))
        log += text::fromUtf16le(testenv::readFile(item.path()).substr(2));  // after the byte-order mark
    static const std::regex entry(R"((\d{4})/(\d{2})/(\d{2}) \d{2}:\d{2}:\d{2}\.\d{3} (\d+) (\d+) ([\s\S]*))");
    std::vector<Entry> out;
    for (size_t start = 0, end = 0; start < log.size(); start = end + 2) {
      end = log.find("\r\n", start);
      const std::string piece = log.substr(start, end - start);
      std::smatch m;
      if (end == std::string::npos || !std::regex_match(piece, m, entry)) {
        ADD_FAILURE() << "not a whole entry: " << piece;
        break;
      }
      out.push_back({m[1].str() + m[2].str() + m[3].str(), static_cast<uint32_t>(std::stoul(m[4])),
                     static_cast<uint32_t>(std::stoul(m[5])), m[6]});
    }
    return out;
  }
  Texts texts(const std::string& channel = "debug") const {
    Texts out;
    for (const auto& e : entries(channel)) out.push_back(e.text);
    return out;
  }

  testenv::TempDir dir;
};

TEST_F(Logging, EntriesCarryLevelProcessThreadAndDateAfterOneByteOrderMark) {
  SyslogReceiver syslog(syslogPath());
  LogManager::instance().log(Error, "level %d", 3);
  LogManager::instance().log(Crash, "level %d", 5);
  EXPECT_EQ(texts(), (Texts{"Error: level 3", "Crash: level 5"}));
  for (const auto& e : entries()) {
    EXPECT_EQ(e.pid, platform::processId());
    EXPECT_EQ(e.tid, platform::threadId());
    EXPECT_THAT(channelFile("debug"), EndsWith(e.date + ".log"));
  }
  // The event log takes the high levels (as switched in SetUp), named by program and process.
  const std::string identity = " " + platform::programFileName() + "[" + std::to_string(platform::processId()) + "]: ";
  EXPECT_THAT(syslog.take(), ElementsAre(EndsWith(identity + "level 3"), EndsWith(identity + "level 5")));
}

TEST_F(Logging, DebugChangeTakesEffectWithinSixteenMessages) {
  // The switch is read again on one query in every 16: of 16 messages after
  // a change, those from the reading on follow the new value. Changed twice
  // in a row, each change must be seen within its own 16.
  writeRegistry({"\"Debug\"=dword:00000001"});
  for (int i = 0; i < 16; ++i) LogManager::instance().log(Info, "on %d", i);
  writeRegistry({"\"Debug\"=dword:0"});  // another size, or the change might go unseen
  for (int i = 0; i < 16; ++i) LogManager::instance().log(Info, "off %d", i);
  std::map<std::string, std::vector<int>> seen;
  for (const auto& t : texts()) seen[t.substr(6, t.find(' ', 6) - 6)].push_back(std::stoi(t.substr(t.rfind(' '))));
  ASSERT_FALSE(seen["on"].empty()) << "Debug 1 not read within 16 messages";
  for (size_t i = 0; i < seen["on"].size(); ++i) EXPECT_EQ(seen["on"][i], static_cast<int>(16 - seen["on"].size() + i));
  EXPECT_LT(seen["off"].size(), 16u) << "Debug 0 not read within 16 messages";
  for (size_t i = 0; i < seen["off"].size(); ++i) EXPECT_EQ(seen["off"][i], static_cast<int>(i));
}

TEST_F(Logging, UtilityRunsGoToTheirOwnChannelWhenAsked) {
  writeToUtilExecLog(true, "/usr/bin/webalizer", "-c conf", 0);
  EXPECT_FALSE(fs::exists(channelFile("util_exec")));  // off unless switched on

  writeRegistry({"\"log_util_exec_enabled\"=dword:00000001"});
  writeToUtilExecLog(true, "/usr/bin/webalizer", "-c conf --password=secret", 0);
  writeToUtilExecLog(false, "/usr/bin/webalizer", "-c conf --password=secret", 1234);
  const std::string start = "\t" + platform::programPath() + "\t/usr/bin/webalizer\t-c conf \"--password=*\"\t";
  EXPECT_EQ(texts("util_exec"), (Texts{"execUtil(Start)" + start + "\n", "execUtil(End)" + start + "1234\n"}));
  EXPECT_TRUE(texts().empty());  // nothing in the debug channel

  // A failure is logged at level Info with the guard's place, never raised.
  writeRegistry({"\"log_util_exec_enabled\"=dword:00000001", "\"Debug\"=dword:00000001"});
  settleDebug();
  fs::remove(channelFile("util_exec"));
  fs::create_directory(channelFile("util_exec"));
  writeToUtilExecLog(true, "/usr/bin/perl", "", 0);
  const auto debug = texts();
  ASSERT_EQ(debug.size(), 1u);
  EXPECT_THAT(debug[0], AllOf(StartsWith("Info: "), HasSubstr("at Write to file '" + channelFile("util_exec") + "'"),
                              HasSubstr("\n   at writeToUtilExecLog(writeToUtilExecLog line ")));
}

// ---------------------------------------------------------------- other processes

TEST_F(Logging, FourProcessesWriteWholeEntriesAndOneMark) {
  ::setenv("TARVO_SYSLOG_SOCKET", (dir / "nobody-listens").c_str(), 1);
  std::string command;
  for (int w = 0; w < 4; ++w) command += writer() + " entries 500 w" + std::to_string(w) + " >/dev/null & ";
  ASSERT_EQ(testenv::shell(command + "wait"), 0);  // within the deadline of shell()

  const std::vector<Entry> all = entries();
  ASSERT_EQ(all.size(), 2000u);
  std::map<std::string, int> next;  // per writer, entries arrive in order: with the total, none is lost
  std::set<uint32_t> pids;
  static const std::regex text(R"(Error: (w\d) entry (\d+))");
  for (const auto& e : all) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(e.text, m, text)) << e.text;
    EXPECT_EQ(std::stoi(m[2]), next[m[1]]++);
    pids.insert(e.pid);
  }
  EXPECT_EQ(pids.size(), 4u);
  // The panel's programs share the file's lock; no other account may hold it.
  EXPECT_EQ(fs::status(dir / "locks/tarvolog_debug_mutex.lock").permissions() & fs::perms::all, fs::perms(0660));
}

TEST_F(Logging, OutputDefaultsFollowTheDebugSwitchAtStart) {
  const struct {
    Texts registry, file, events;
  } cases[] = {
      {{}, {"Error: level Error", "Unexpected: level Unexpected", "Crash: level Crash"}, {"<11>", "<11>", "<11>"}},
      {{"\"Debug\"=dword:00000001"},
       {"Info: level Info", "Warning: level Warning", "Result: level Result", "Error: level Error",
        "Unexpected: level Unexpected", "Crash: level Crash"},
       {"<14>", "<12>", "<13>", "<11>", "<11>", "<11>"}},
  };
  for (const auto& c : cases) {
    fs::remove_all(logsDir());
    fs::create_directories(logsDir());
    writeRegistry(c.registry);
    SyslogReceiver syslog(syslogPath());
    std::string console;
    ASSERT_EQ(testenv::shell(writer() + " levels", &console), 0);
    // The console shows Result and above, each message a line.
    EXPECT_EQ(console, "level Result\nlevel Error\nlevel Unexpected\nlevel Crash\n");
    EXPECT_EQ(texts(), c.file);
    const auto events = syslog.take();
    ASSERT_EQ(events.size(), c.events.size());
    for (size_t i = 0; i < events.size(); ++i)
      EXPECT_THAT(events[i], AllOf(StartsWith(c.events[i]), HasSubstr(" log_writer[")));
  }
}

} // namespace
