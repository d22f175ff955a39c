#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <utility>

#include "platform/process_identity.h"
#include "platform/text.h"
#include "support/command_line.h"
#include "support/execution_context.h"
#include "support/format.h"
#include "support/logging.h"
#include "tests/common/syslog_receiver.h"
#include "tests/common/test_env.h"

namespace fs = std::filesystem;
using testenv::SyslogReceiver;

namespace {

struct Entry {
  std::string date;  // "2026/12/04"
  uint32_t pid = 0;
  uint32_t tid = 0;
  std::string text;
};

struct LogFile {
  std::string raw;  // the bytes as they are on disk
  std::vector<Entry> entries;
  std::vector<std::string> broken;  // pieces that are not whole entries
};

class Logging : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TARVO_LOCK_DIR", (dir / "locks").c_str(), 1);
    ::setenv("TARVO_SYSLOG_SOCKET", syslogPath().c_str(), 1);
    // In this process the console stays quiet (the console rule is tested in
    // a child process) and the event log takes what it takes by default
    // with debugging off.
    for (int level = Info; level <= Crash; ++level) {
      outputSwitches().setConsole(level, false);
      outputSwitches().setEventLog(level, level >= Error);
    }
    dropEventSource();
    fs::create_directories(logsDir());
    writeRegistry({});
    setDebug(false);
  }

  // Forgets an event source registered earlier: without a registry nothing
  // is written, and a held source fails to report and is dropped.
  void dropEventSource() {
    ::setenv("TARVO_REGISTRY", (dir / "none.reg").c_str(), 1);
    LogManager::instance().log(Error, "reset");
    ::setenv("TARVO_REGISTRY", registryPath().c_str(), 1);
  }

  std::string registryPath() const { return dir / "registry.reg"; }
  std::string syslogPath() const { return dir / "syslog.sock"; }
  std::string root() const { return dir / "root"; }
  std::string logsDir() const { return dir / "root/admin/logs"; }

  // The registry with PRODUCT_ROOT_D and the given value lines.
  void writeRegistry(const std::vector<std::string>& lines, bool withRoot = true) {
    std::string body = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvo\\ZUL Config\\Config]\n";
    if (withRoot) body += "\"PRODUCT_ROOT_D\"=\"" + root() + "\"\n";
    for (const auto& l : lines) body += l + "\n";
    testenv::writeFile(registryPath(), body);
    registryLines_ = lines;
  }
  void addRegistryLine(const std::string& line) {
    auto lines = registryLines_;
    lines.push_back(line);
    writeRegistry(lines);
  }

  // Sets "Debug" and makes sure the logger has read it again.
  void setDebug(bool on) {
    auto lines = registryLines_;
    std::erase_if(lines, [](const std::string& l) { return text::startsWith(l, "\"Debug\""); });
    if (on) lines.push_back("\"Debug\"=dword:00000001");
    writeRegistry(lines);
    for (int i = 0; i < 16; ++i) debuggingEnabled();
  }

  std::string channelFile(const std::string& channel) const {
    const platform::LocalTime t = platform::localTime();
    return logsDir() + "/tarvolog_" + channel + formatString("%04d%02d%02d", t.year, t.month, t.day) + ".log";
  }

  // The channel's daily files; a piece that is not a whole CR LF-ended entry is broken.
  LogFile readChannel(const std::string& channel) const {
    LogFile file;
    const std::regex fileName("tarvolog_" + channel + R"(\d{8}\.log)");
    for (const auto& item : fs::directory_iterator(logsDir()))
      if (item.is_regular_file() && std::regex_match(item.path().filename().string(), fileName))
        file.raw += testenv::readFile(item.path());
    const std::string decoded = text::fromUtf16le(text::startsWith(file.raw, "\xFF\xFE") ? file.raw.substr(2) : file.raw);
    static const std::regex entry(R"(^(\d{4}/\d{2}/\d{2}) \d{2}:\d{2}:\d{2}\.\d{3} (\d+) (\d+) ([\s\S]*)$)");
    for (size_t start = 0, end = 0; start < decoded.size(); start = end + 2) {
      end = decoded.find("\r\n", start);
      const std::string piece = decoded.substr(start, end - start);
      std::smatch m;
      if (end != std::string::npos && std::regex_match(piece, m, entry)) {
        file.entries.push_back(Entry{m[1], static_cast<uint32_t>(std::stoul(m[2])),
                                     static_cast<uint32_t>(std::stoul(m[3])), m[4]});
      } else {
        file.broken.push_back(piece);
      }
      if (end == std::string::npos) break;
    }
    return file;
  }

  std::vector<std::string> texts(const std::string& channel = "debug") const {
    std::vector<std::string> out;
    for (const auto& e : readChannel(channel).entries) out.push_back(e.text);
    return out;
  }

  testenv::TempDir dir;
  std::vector<std::string> registryLines_;
};

TEST_F(Logging, EntriesCarryLevelProcessThreadAndDate) {
  SyslogReceiver syslog(syslogPath());
  setDebug(true);
  for (int level = Info; level <= Crash; ++level)
    LogManager::instance().log(static_cast<LogLevel>(level), "level %d", level);
  LogManager::instance().dispatch(static_cast<LogLevel>(9), "odd");
  const LogFile file = readChannel("debug");
  EXPECT_TRUE(file.broken.empty());
  EXPECT_EQ(texts(), (std::vector<std::string>{"Info: level 0", "Warning: level 1", "Result: level 2", "Error: level 3",
                                               "Unexpected: level 4", "Crash: level 5", "Unknown level: odd"}));
  const std::string fileDate = fs::path(channelFile("debug")).filename().string().substr(14, 8);
  for (const auto& e : file.entries) {
    EXPECT_EQ(e.pid, platform::processId());
    EXPECT_EQ(e.tid, platform::threadId());
    EXPECT_EQ(e.date.substr(0, 4) + e.date.substr(5, 2) + e.date.substr(8, 2), fileDate);
  }
  // The event log takes the three high levels (as switched in SetUp), named by program and process.
  const auto events = syslog.take();
  ASSERT_EQ(events.size(), 3u);
  const std::string identity = " " + platform::programFileName() + "[" + std::to_string(platform::processId()) + "]: ";
  EXPECT_TRUE(text::startsWith(events[0], "<11>"));
  EXPECT_TRUE(text::endsWith(events[0], identity + "level 3")) << events[0];
  EXPECT_TRUE(text::endsWith(events[2], identity + "level 5")) << events[2];
}

TEST_F(Logging, DebugChangeTakesEffectWithinSixteenMessages) {
  // The switch is read on one query in every 16, so of 16 messages after a
  // change those from the re-reading on follow the new value.
  auto present = [&](const std::string& tag) {
    std::set<int> seen;
    for (const auto& t : texts())
      if (text::startsWith(t, "Info: " + tag)) seen.insert(std::stoi(t.substr(6 + tag.size())));
    return seen;
  };
  addRegistryLine("\"Debug\"=dword:00000001");
  for (int i = 0; i < 16; ++i) LogManager::instance().log(Info, "on %d", i);
  const std::set<int> on = present("on ");
  ASSERT_FALSE(on.empty());
  const int firstOn = *on.begin();
  for (int i = firstOn; i < 16; ++i) EXPECT_TRUE(on.count(i)) << i;

  setDebug(false);  // settles, then the same again the other way
  addRegistryLine("\"Debug\"=dword:00000001");
  for (int i = 0; i < 16; ++i) debuggingEnabled();
  addRegistryLine("\"Debug\"=dword:00000000");
  for (int i = 0; i < 16; ++i) LogManager::instance().log(Info, "off %d", i);
  const std::set<int> off = present("off ");
  EXPECT_LT(off.size(), 16u);
  for (int i = 0; i < static_cast<int>(off.size()); ++i) EXPECT_TRUE(off.count(i)) << i;
}

TEST_F(Logging, ByteOrderMarkOnlyWhenTheFileIsEmpty) {
  struct Case {
    bool exists;
    std::string before;
    std::string expectedStart;
  } cases[] = {
      {false, "", "\xFF\xFE"},
      {true, "", "\xFF\xFE"},
      {true, std::string("A\0\r\0\n\0", 6), std::string("A\0\r\0\n\0", 6)},
  };
  for (const auto& c : cases) {
    fs::remove_all(logsDir());
    fs::create_directories(logsDir());
    if (c.exists) testenv::writeFile(channelFile("debug"), c.before);
    LogManager::instance().log(Error, "one");
    LogManager::instance().log(Error, "two");
    const LogFile file = readChannel("debug");
    EXPECT_TRUE(text::startsWith(file.raw, c.expectedStart));
    EXPECT_EQ(file.raw.find("\xFF\xFE", 2), std::string::npos);
    ASSERT_GE(file.entries.size(), 2u);
    EXPECT_EQ(file.entries[file.entries.size() - 2].text, "Error: one");
    EXPECT_EQ(file.entries.back().text, "Error: two");
  }
}

TEST_F(Logging, AFailingOutputLeavesTheOthers) {
  struct Case {
    std::string what;
    std::vector<std::string> registry;
    bool withRoot;
    bool removeLogsDir;
    size_t inFile;  // of 16 messages
    size_t inEventLog;
  } cases[] = {
      {"logs directory missing (made again)", {}, true, true, 16, 16},
      // Read as 0, and said once in the process: one more entry.
      {"Debug of the wrong type", {"\"Debug\"=\"1\""}, true, false, 17, 17},
      {"channel switch of the wrong size", {"\"log_debug_enabled\"=hex(4):01"}, true, false, 0, 16},
      {"PRODUCT_ROOT_D missing", {}, false, false, 0, 16},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    dropEventSource();
    fs::remove_all(logsDir());
    if (!c.removeLogsDir) fs::create_directories(logsDir());
    writeRegistry(c.registry, c.withRoot);
    SyslogReceiver syslog(syslogPath());
    for (int i = 0; i < 16; ++i) LogManager::instance().log(Error, "survives %s", c.what);
    fs::create_directories(logsDir());
    EXPECT_EQ(texts().size(), c.inFile);
    EXPECT_EQ(syslog.take().size(), c.inEventLog);
  }
}

TEST_F(Logging, SystemLogReportsResumeAfterAFailure) {
  // The registry cannot be written: the event source does not register, the file still gets the entry.
  fs::create_directory(registryPath() + ".lock");
  LogManager::instance().log(Error, "a");
  fs::remove(registryPath() + ".lock");
  // Now it registers, but nobody takes the event: the source is dropped and registered again next time.
  LogManager::instance().log(Error, "b");
  SyslogReceiver syslog(syslogPath());
  LogManager::instance().log(Error, "c");
  LogManager::instance().log(Unexpected, "d");
  const auto events = syslog.take();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_TRUE(text::endsWith(events[0], "]: c"));
  EXPECT_TRUE(text::endsWith(events[1], "]: d"));
  EXPECT_EQ(texts(), (std::vector<std::string>{"Error: a", "Error: b", "Error: c", "Unexpected: d"}));
}

TEST_F(Logging, AFormatThatFailsLogsNothing) {
  SyslogReceiver syslog(syslogPath());
  LogManager::instance().log(Error, "%lc", static_cast<wint_t>(0xD800));  // no character: the counting step fails
  LogManager::instance().log(Error, "50% done");                          // a conversion without its argument
  EXPECT_TRUE(fs::is_empty(logsDir()));
  EXPECT_TRUE(syslog.take().empty());
}

TEST_F(Logging, UtilityRunsGoToTheirOwnChannelWhenAsked) {
  writeToUtilExecLog(true, "/usr/bin/webalizer", "-c conf", 0);
  EXPECT_FALSE(fs::exists(channelFile("util_exec")));  // off unless switched on

  addRegistryLine("\"log_util_exec_enabled\"=dword:00000001");
  writeToUtilExecLog(true, "/usr/bin/webalizer", "-c conf --password=secret", 0);
  writeToUtilExecLog(false, "/usr/bin/webalizer", "-c conf --password=secret", 1234);
  const LogFile file = readChannel("util_exec");
  ASSERT_EQ(file.entries.size(), 2u);
  const std::string program = platform::programPath();
  const std::string masked = maskPasswords("-c conf --password=secret");
  EXPECT_EQ(masked.find("secret"), std::string::npos);
  EXPECT_EQ(file.entries[0].text, "execUtil(Start)\t" + program + "\t/usr/bin/webalizer\t" + masked + "\t\n");
  EXPECT_EQ(file.entries[1].text, "execUtil(End)\t" + program + "\t/usr/bin/webalizer\t" + masked + "\t1234\n");
  EXPECT_TRUE(text::endsWith(text::fromUtf16le(file.raw.substr(2)), "1234\n\r\n"));
  EXPECT_TRUE(texts().empty());  // nothing in the debug channel

  // A failure is logged at level Info with the guard's place, never raised.
  setDebug(true);
  fs::remove(channelFile("util_exec"));
  fs::create_directory(channelFile("util_exec"));
  writeToUtilExecLog(true, "/usr/bin/perl", "", 0);
  const auto debug = texts();
  ASSERT_EQ(debug.size(), 1u);
  EXPECT_TRUE(text::startsWith(debug[0], "Info: ")) << debug[0];
  EXPECT_NE(debug[0].find("at Write to file '" + channelFile("util_exec") + "'"), std::string::npos) << debug[0];
  EXPECT_TRUE(text::endsWith(debug[0], "\n   at writeToUtilExecLog(writeToUtilExecLog line 36)")) << debug[0];
}

// ---------------------------------------------------------------- other processes

std::string writer() { return testenv::testBinDir() + "/log_writer"; }

int run(const std::string& command) { return std::system(command.c_str()); }

TEST_F(Logging, FourProcessesWriteWholeEntriesAndOneMark) {
  ::setenv("TARVO_SYSLOG_SOCKET", (dir / "nobody-listens").c_str(), 1);
  std::string command;
  for (int w = 0; w < 4; ++w) command += writer() + " entries 500 w" + std::to_string(w) + " >/dev/null & ";
  ASSERT_EQ(run(command + "wait"), 0);

  const LogFile file = readChannel("debug");
  EXPECT_TRUE(text::startsWith(file.raw, "\xFF\xFE"));
  EXPECT_EQ(file.raw.find("\xFF\xFE", 2), std::string::npos);
  EXPECT_TRUE(file.broken.empty()) << file.broken.size() << " broken, first: " << file.broken.front();
  ASSERT_EQ(file.entries.size(), 2000u);
  std::map<std::string, int> next;  // per writer, entries arrive in order
  std::set<uint32_t> pids;
  static const std::regex text(R"(Error: (w\d) entry (\d+))");
  for (const auto& e : file.entries) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(e.text, m, text)) << e.text;
    EXPECT_EQ(std::stoi(m[2]), next[m[1]]++);
    pids.insert(e.pid);
  }
  EXPECT_EQ(pids.size(), 4u);
  for (const auto& [w, count] : next) EXPECT_EQ(count, 500) << w;
  // The panel's programs share the file's lock; no other account may hold it.
  EXPECT_EQ(fs::status(dir / "locks/tarvolog_debug_mutex.lock").permissions() & fs::perms::all, fs::perms(0660));
}

TEST_F(Logging, ConsolePrintsEachMessageAsALine) {
  ASSERT_EQ(run(writer() + " console > " + (dir / "out.txt")), 0);
  EXPECT_EQ(testenv::readFile(dir / "out.txt"), "first\nsecond\nthird \xC3\xBC\n");
}

TEST_F(Logging, OutputDefaultsFollowTheDebugSwitchAtStart) {
  struct Case {
    std::vector<std::string> registry;
    std::vector<std::string> file;
    std::vector<std::string> events;
  } cases[] = {
      {{}, {"Error: level Error", "Unexpected: level Unexpected", "Crash: level Crash"},
       {"<11>", "<11>", "<11>"}},
      {{"\"Debug\"=dword:00000001"},
       {"Info: level Info", "Warning: level Warning", "Result: level Result", "Error: level Error",
        "Unexpected: level Unexpected", "Crash: level Crash"},
       {"<14>", "<12>", "<13>", "<11>", "<11>", "<11>"}},
      {{"\"Debug\"=dword:00000001", "\"log_debug_enabled\"=dword:00000000"}, {},
       {"<14>", "<12>", "<13>", "<11>", "<11>", "<11>"}},
  };
  for (const auto& c : cases) {
    fs::remove_all(logsDir());
    fs::create_directories(logsDir());
    writeRegistry(c.registry);
    SyslogReceiver syslog(syslogPath());
    ASSERT_EQ(run(writer() + " levels > " + (dir / "out.txt")), 0);
    EXPECT_EQ(testenv::readFile(dir / "out.txt"), "level Result\nlevel Error\nlevel Unexpected\nlevel Crash\n");
    EXPECT_EQ(texts(), c.file);
    const auto events = syslog.take();
    ASSERT_EQ(events.size(), c.events.size());
    for (size_t i = 0; i < events.size(); ++i) {
      EXPECT_TRUE(text::startsWith(events[i], c.events[i])) << events[i];
      EXPECT_NE(events[i].find(" log_writer["), std::string::npos) << events[i];
    }
  }
}

} // namespace
