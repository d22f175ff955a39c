// Crash dumps: the helper programs crash_fault and crash_heap set dumps up as
// the program's entry does and run as child processes with a registry file of
// the test's own. Real dumps are written by gdb and take seconds, so only two
// tests make one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/crash_dump.h"
#include "support/errors.h"
#include "tests/common/test_env.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

const char* const kError = "C structured exception: 0xc0000005";

struct RegValue {
  std::string name;
  std::string text;      // REG_SZ, when isNumber is false
  uint32_t number = 0;   // REG_DWORD
  bool isNumber = false;
};
RegValue text(std::string name, std::string value) { return {std::move(name), std::move(value), 0, false}; }
RegValue number(std::string name, uint32_t value) { return {std::move(name), {}, value, true}; }

std::string registryFile(const std::vector<RegValue>& values) {
  std::string out = "Windows Registry Editor Version 5.00\r\n\r\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvo\\ZUL Config\\Config]\r\n";
  for (const auto& v : values) {
    out += "\"" + v.name + "\"=";
    if (v.isNumber) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "%08x", v.number);
      out += std::string("dword:") + hex;
    } else {
      std::string escaped;
      for (char c : v.text) {
        if (c == '\\' || c == '"') escaped += '\\';
        escaped += c;
      }
      out += "\"" + escaped + "\"";
    }
    out += "\r\n";
  }
  return out;
}

struct ChildRun {
  int status = -1;
  std::string out;
  std::string err;
  bool exitedWith(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
  bool killedBy(int sig) const { return WIFSIGNALED(status) && WTERMSIG(status) == sig; }
};

// Runs a helper program with the registry file and waits for it; the child's
// working directory is the test's directory, so a kernel core stays there.
ChildRun runHelper(const testenv::TempDir& dir, const std::string& program, const std::vector<std::string>& args,
              const std::string& registry) {
  testenv::writeFile(dir / "registry.reg", registry);
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("TARVO_REGISTRY=", 0) != 0) env.emplace_back(*e);
  env.push_back("TARVO_REGISTRY=" + (dir / "registry.reg"));
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  const std::string path = testenv::testBinDir() + "/" + program;
  std::vector<std::string> argStore{path};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  const std::string outFile = dir / "child.out", errFile = dir / "child.err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&actions, dir.path().c_str());
  pid_t pid = 0;
  ChildRun run;
  if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0)
    waitpid(pid, &run.status, 0);
  posix_spawn_file_actions_destroy(&actions);
  run.out = testenv::readFile(outFile);
  run.err = testenv::readFile(errFile);
  fs::remove(outFile);
  fs::remove(errFile);
  return run;
}

// Every file below root whose name ends in ".dmp".
std::vector<std::string> dumpsBelow(const std::string& root) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file() && entry.path().extension() == ".dmp") found.push_back(entry.path().string());
  return found;
}

std::set<std::string> namesIn(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

std::string localStamp(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d_%H%M%S", &local);
  return buf;
}

std::string commandOutput(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    pclose(pipe);
  }
  return out;
}

// The single dump in dir, checked for the program's name pattern, a time
// within the run and a core that gdb attributes to the program.
void expectOneDumpOf(const std::string& program, const std::string& dir, std::time_t started,
                     std::time_t ended) {
  auto dumps = dumpsBelow(dir);
  ASSERT_EQ(dumps.size(), 1u);
  const std::string name = fs::path(dumps[0]).filename().string();
  std::smatch m;
  ASSERT_TRUE(std::regex_match(name, m, std::regex(program + "([0-9]{8}_[0-9]{6})\\.dmp"))) << name;
  EXPECT_GE(m[1].str(), localStamp(started));
  EXPECT_LE(m[1].str(), localStamp(ended));
  EXPECT_EQ(fs::path(dumps[0]).parent_path(), fs::path(dir));
  // A core holds the process's memory: only its owner may read it.
  EXPECT_EQ(fs::status(dumps[0]).permissions() & (fs::perms::group_all | fs::perms::others_all),
            fs::perms::none);
  const std::string programPath = testenv::testBinDir() + "/" + program;
  const std::string gdb = commandOutput("gdb -nx -batch -c '" + dumps[0] + "' '" + programPath + "'");
  EXPECT_NE(gdb.find("Core was generated by `" + programPath), std::string::npos) << gdb;
}

TEST(CrashDump, FaultInGuardedOperationLeavesOneDumpAndTheRunGoesOn) {
  testenv::TempDir dir;
  const std::string location = dir / "dumps";
  const std::time_t started = std::time(nullptr);
  ChildRun run = runHelper(dir, "crash_fault", {"fault"},
                      registryFile({text("PRODUCT_ROOT_D", dir.path()), text("CrashDumpsLocation", location)}));
  const std::time_t ended = std::time(nullptr);

  EXPECT_TRUE(run.exitedWith(0)) << run.status << "\n" << run.err;
  EXPECT_NE(run.out.find(kError), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("run goes on"), std::string::npos) << run.out;
  expectOneDumpOf("crash_fault", location, started, ended);
}

TEST(CrashDump, HeapCorruptionLeavesADumpAndTheProcessEndsByAbort) {
  testenv::TempDir dir;
  const std::time_t started = std::time(nullptr);
  // The default location: the installation root's etc/crashdumps.
  ChildRun run = runHelper(dir, "crash_heap", {}, registryFile({text("PRODUCT_ROOT_D", dir / "root")}));
  const std::time_t ended = std::time(nullptr);

  EXPECT_TRUE(run.killedBy(SIGABRT)) << run.status << "\n" << run.out << run.err;
  EXPECT_NE(run.err.find("double free"), std::string::npos) << run.err;
  EXPECT_EQ(run.out.find("unnoticed"), std::string::npos);
  expectOneDumpOf("crash_heap", dir / "root/etc/crashdumps", started, ended);
}

// Without dumps, and with a dump that cannot be written, the fault is
// reported exactly as with one, and nothing else is said.
TEST(CrashDump, FaultIsReportedTheSameWhenNoDumpIsWritten) {
  struct Case {
    const char* what;
    std::vector<RegValue> (*values)(const testenv::TempDir&);
    const char* absentDir;  // must not be created
  };
  const Case cases[] = {
      {"dumps turned off",
       [](const testenv::TempDir& d) {
         return std::vector<RegValue>{number("CrashDumpsEnabled", 0), text("PRODUCT_ROOT_D", d.path()),
                                      text("CrashDumpsLocation", d / "dumps")};
       },
       "dumps"},
      {"no installation root",
       [](const testenv::TempDir& d) { return std::vector<RegValue>{text("CrashDumpsLocation", d / "dumps")}; },
       "dumps"},
      {"location below a plain file",
       [](const testenv::TempDir& d) {
         return std::vector<RegValue>{text("PRODUCT_ROOT_D", d.path()),
                                      text("CrashDumpsLocation", d / "plain/dumps")};
       },
       "plain/dumps"},
      {"location is a plain file",
       [](const testenv::TempDir& d) {
         return std::vector<RegValue>{text("PRODUCT_ROOT_D", d.path()), text("CrashDumpsLocation", d / "plain")};
       },
       nullptr},
      {"a number where text belongs",
       [](const testenv::TempDir& d) {
         return std::vector<RegValue>{text("PRODUCT_ROOT_D", d.path()), number("CrashDumpsLocation", 7)};
       },
       "etc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testenv::TempDir dir;
    testenv::writeFile(dir / "plain", "not a directory");
    ChildRun run = runHelper(dir, "crash_fault", {"fault"}, registryFile(c.values(dir)));

    EXPECT_TRUE(run.exitedWith(0)) << run.status << "\n" << run.err;
    EXPECT_NE(run.out.find(kError), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("run goes on"), std::string::npos);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(dumpsBelow(dir.path()).empty());
    EXPECT_EQ(testenv::readFile(dir / "plain"), "not a directory");
    if (c.absentDir) {
      EXPECT_FALSE(fs::exists(dir / c.absentDir));
    }
  }
}

TEST(CrashDump, MissingLocationIsCreatedAtStart) {
  struct Case {
    const char* what;
    bool locationGiven;
    const char* expected;
  };
  const Case cases[] = {
      {"given location, three levels missing", true, "a/b/c"},
      {"default below the installation root", false, "root/etc/crashdumps"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testenv::TempDir dir;
    std::vector<RegValue> values{text("PRODUCT_ROOT_D", dir / "root")};
    if (c.locationGiven) values.push_back(text("CrashDumpsLocation", dir / c.expected));
    ChildRun run = runHelper(dir, "crash_fault", {}, registryFile(values));
    EXPECT_TRUE(run.exitedWith(0)) << run.err;
    EXPECT_TRUE(fs::is_directory(dir / c.expected));
    EXPECT_EQ(run.err, "");
  }
}

// Five or twelve dumps with last-write times that do not follow their names;
// at exit only the newest ones are left, and ".zip" files, directories and
// other names are never counted or touched.
TEST(CrashDump, AtExitOnlyTheNewestDumpsAreKept) {
  struct Case {
    const char* what;
    bool countGiven;
    uint32_t maxCount;
    int dumps;
    int kept;
    bool enabled;
  };
  const Case cases[] = {
      {"three of five", true, 3, 5, 3, true},
      {"ten of twelve without a count", false, 0, 12, 10, true},
      {"count 0 removes all", true, 0, 5, 0, true},
      {"more allowed than present", true, 8, 5, 5, true},
      {"dumps off: nothing removed", true, 1, 5, 5, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testenv::TempDir dir;
    const std::string location = dir / "dumps";
    const auto now = fs::file_time_type::clock::now();
    // Ages in hours: dump i is written (i * 7 % dumps) + 1 hours ago, so the
    // age order differs from the name order.
    std::map<int, std::string> byAge;
    for (int i = 0; i < c.dumps; ++i) {
      char name[64];
      std::snprintf(name, sizeof name, "crash_fault202001%02d_120000.dmp", i + 1);
      const std::string path = location + "/" + name;
      testenv::writeFile(path, "core");
      const int age = i * 7 % c.dumps + 1;
      fs::last_write_time(path, now - std::chrono::hours(age));
      byAge[age] = name;
    }
    const std::set<std::string> others{"ancient.zip", "crash_fault20000101_000000.dmp.zip", "old.dmp", "notes.txt"};
    for (const auto& name : others) {
      if (name == "old.dmp") {
        fs::create_directories(location + "/" + name);  // a directory, not a dump
      } else {
        testenv::writeFile(location + "/" + name, "keep");
      }
      fs::last_write_time(location + "/" + name, now - std::chrono::hours(1000));
    }

    std::vector<RegValue> values{text("PRODUCT_ROOT_D", dir.path()), text("CrashDumpsLocation", location)};
    if (c.countGiven) values.push_back(number("CrashDumpsMaxCount", c.maxCount));
    if (!c.enabled) values.push_back(number("CrashDumpsEnabled", 0));
    ChildRun run = runHelper(dir, "crash_fault", {}, registryFile(values));
    EXPECT_TRUE(run.exitedWith(0)) << run.err;

    std::set<std::string> expected = others;
    int kept = 0;
    for (const auto& [age, name] : byAge)
      if (kept++ < c.kept) expected.insert(name);
    EXPECT_EQ(namesIn(location), expected);
  }
}

// The fault path formats local time without the C library; it must agree
// with it, across daylight-saving changes and in zones off the full hour.
TEST(CrashDump, SignalSafeClockAgreesWithLocalTime) {
  const char* saved = std::getenv("TZ");
  const std::string savedTz = saved ? saved : "";
  for (const char* zone : {"UTC", "Europe/Berlin", "America/St_Johns", "Asia/Kolkata", "Australia/Lord_Howe"}) {
    SCOPED_TRACE(zone);
    setenv("TZ", zone, 1);
    tzset();
    SignalSafeLocalClock clock;
    const std::time_t now = std::time(nullptr);
    // Every 40 minutes through the coming year: that crosses each change.
    for (std::time_t t = now; t < now + 365 * 86400; t += 2400) {
      char formatted[20];
      clock.format(t, formatted);
      ASSERT_EQ(std::string(formatted), localStamp(t)) << "at " << t;
    }
  }
  if (saved) {
    setenv("TZ", savedTz.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST(CrashDump, NoDumpNameAndNoDumpWhenDumpsAreOff) {
  testenv::TempDir dir;
  testenv::writeFile(dir / "registry.reg", registryFile({number("CrashDumpsEnabled", 0)}));
  setenv("TARVO_REGISTRY", (dir / "registry.reg").c_str(), 1);
  {
    CrashDumpInfo info;
    EXPECT_FALSE(info.enabled());
    try {
      info.getFileName();
      ADD_FAILURE() << "a name without dumps";
    } catch (const vexception& e) {
      EXPECT_EQ(e.message(), "Crash dumping does not enabled");
      ASSERT_EQ(e.places().size(), 1u);
      EXPECT_EQ(e.places()[0].function, "CrashDumpInfo::getFileName");
      EXPECT_EQ(e.places()[0].line, 653);
    }
    const CrashExceptionRecord record{0xc0000005u};
    writeCrashDump(&record, info);
  }
  unsetenv("TARVO_REGISTRY");
  EXPECT_TRUE(dumpsBelow(dir.path()).empty());
}

TEST(CrashDump, DumpIntoAMissingDirectoryRaisesTheSystemError) {
  testenv::TempDir dir;
  const std::string path = dir / "missing/x.dmp";
  try {
    internalDumpMiniDump(path, nullptr, dump_type::Crash);
    ADD_FAILURE() << "a dump into a missing directory";
  } catch (const vosexception& e) {
    EXPECT_EQ(e.errorCode(), 3u);
    EXPECT_NE(e.message().find(" at Unable to generate dump file"), std::string::npos) << e.message();
    ASSERT_EQ(e.places().size(), 1u);
    EXPECT_EQ(e.places()[0].function, "internalDumpMiniDump");
    EXPECT_EQ(e.places()[0].line, 702);
  }
  EXPECT_FALSE(fs::exists(path));
}

} // namespace
