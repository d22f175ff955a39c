// Failures: the classes and texts of system errors, the guards, and the crash
// dumps of tests/helpers/crash_fault, run with a registry of the test's own.
// Real dumps are written by gdb and take seconds, so only one test makes them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <cxxabi.h>

#include <signal.h>

#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <typeinfo>

#include "platform/win_error.h"
#include "support/crash_dump.h"
#include "support/errors.h"
#include "support/format.h"
#include "support/guard.h"
#include "tests/common/hosting.h"

namespace fs = std::filesystem;
using namespace testenv;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

namespace {

const char* const kError = "C structured exception: 0xc0000005";

// The class, without its namespace, of what op raises.
template <class Base, class Op>
std::string raisedClass(Op op) {
  try {
    op();
  } catch (const Base& e) {
    const std::unique_ptr<char, decltype(&std::free)> name(
        abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, nullptr), &std::free);
    const std::string full = name.get();
    return full.substr(full.rfind(':') + 1);  // npos + 1 is 0
  }
  return "<nothing>";
}

TEST(Errors, EachSystemCodeRaisesItsClass) {
  const struct {
    uint32_t code;
    const char* os;       // from throwOsException
    const char* runtime;  // from throwRuntimeError, in namespace RunTime but for runtime_error
  } cases[] = {  // a sample; 6 and 1061 have no class of their own in throwOsException
      {2, "VFileNotFoundException", "PathNotFoundException"}, {3, "VPathNotFoundException", "PathNotFoundException"},
      {5, "VAccessDeniedException", "AccessDeniedException"}, {6, "vosexception", "InvalidHandleException"},
      {32, "VSharingViolationException", "SharingViolationException"}, {1061, "vosexception", "runtime_error"},
      {80, "VFileExistsException", "AlreadyExistsException"}, {1060, "VServiceDoesNotExistException", "runtime_error"},
      {183, "VAlreadyExistsException", "AlreadyExistsException"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(raisedClass<vosexception>([&] { throwOsException("op", c.code, Place{}); }), c.os) << c.code;
    EXPECT_EQ(raisedClass<std::runtime_error>([&] { throwRuntimeError("op", c.code); }), c.runtime) << c.code;
  }
}

TEST(Errors, MessagesNameTheSystemReasonAndTheCode) {
  EXPECT_EQ(formatSystemMessage(1061, ""), "Unknown error (Error code 1061)");
  // Code 5 stands for a read-only file system and for a refused permission:
  // the text is that of the errno it last came from.
  ASSERT_EQ(platform::winErrorFromErrno(EROFS), 5u);
  EXPECT_EQ(formatSystemMessage(5, "Open file '/x'"), "Read-only file system (Error code 5) at Open file '/x'");
  ASSERT_EQ(platform::winErrorFromErrno(EACCES), 5u);
  EXPECT_EQ(formatSystemMessage(5, ""), "Permission denied (Error code 5)");
  EXPECT_THAT([] { throwRuntimeError("Unable to duplicate handle", 5); },
              ThrowsMessage<std::runtime_error>("Unable to duplicate handle: (5) Permission denied"));
  EXPECT_THAT([] { throwRuntimeError("plain 100%%", 0); }, ThrowsMessage<std::runtime_error>("plain 100%"));
  EXPECT_THROW(formatString("no args %d"), ArgumentException);
}

TEST(Errors, GuardsAddOnePlaceEachAndConvertEveryKindOfFailure) {
  try {
    guardRethrow(Place{"outer", "A::a", 1}, [] {
      guardRethrow(Place{"inner", "C::c", 3}, [] { throwOsException("op", 5, Place{"", "op", 4}); });
    });
    FAIL() << "nothing was raised";
  } catch (const vexception& e) {
    EXPECT_EQ(typeid(e), typeid(vexception));  // the derived class is gone beyond the first guard
    EXPECT_EQ(e.fullMessage(), e.message() + "\n   at (op line 4)\n   at inner(C::c line 3)\n   at outer(A::a line 1)");
  }
  const auto messageOf = [](auto op) {
    auto failure = guardCapture(Place{"poke", "Test::poke", 7}, op);
    return failure ? failure->fullMessage() : std::string("<none>");
  };
  EXPECT_EQ(messageOf([] { throw std::runtime_error("std text"); }), "std text\n   at poke(Test::poke line 7)");
  EXPECT_EQ(messageOf([] { throw 42; }), "Unexpected error\n   at poke(Test::poke line 7)");
  EXPECT_EQ(messageOf([] {}), "<none>");
  // A processor fault, again and again: each is translated and the process goes on.
  for (int round = 0; round < 3; ++round)
    EXPECT_EQ(messageOf([] {
                volatile int* volatile nowhere = nullptr;  // both volatile, or the store is optimised away
                *nowhere = 1;
              }),
              std::string(kError) + "\n   at poke(Test::poke line 7)");
}

// Writes dir/registry.reg with configuration values given as "Name=value": a
// value of digits is a REG_DWORD, any other a REG_SZ in which "@" stands for dir.
void writeRegistry(const TempDir& dir, const std::vector<std::string>& values) {
  std::string out = "Windows Registry Editor Version 5.00\r\n\r\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvo\\ZUL Config\\Config]\r\n";
  for (const std::string& v : values) {
    const size_t eq = v.find('=');
    const std::string value = v[eq + 1] == '@' ? dir.path() + v.substr(eq + 2) : v.substr(eq + 1);
    out += "\"" + v.substr(0, eq) + "\"=" +
           (value.find_first_not_of("0123456789") == std::string::npos ? formatString("dword:%08lx", std::stoul(value))
                                                                        : "\"" + value + "\"") + "\r\n";
  }
  writeFile(dir / "registry.reg", out);
}

// A helper program in dir (where a kernel core would stay) with the registry
// of the values; env execs it, so the pid is the program's.
Child start(const TempDir& dir, const std::string& program, const std::string& arg,
            const std::vector<std::string>& values) {
  writeRegistry(dir, values);
  return Child("env -C " + shellQuote(dir.path()) + " TARVO_REGISTRY=registry.reg " +
                   shellQuote(testBinDir() + "/" + program) + " " + arg,
               dir / "child");
}

// crash_fault with a fault in a guarded operation: it is printed and the run
// goes on. Returns what the child wrote to standard error.
std::string faultReported(const TempDir& dir, const std::vector<std::string>& values) {
  const Ran run = start(dir, "crash_fault", "fault", values).wait(std::chrono::seconds(60));  // gdb writes a dump
  EXPECT_EQ(run.exitCode, 0) << run.err;  // the run went on
  EXPECT_THAT(run.out, HasSubstr(kError));
  return run.err;
}

std::vector<std::string> dumpsBelow(const std::string& root) {  // every "*.dmp" file
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file() && entry.path().extension() == ".dmp") found.push_back(entry.path().string());
  return found;
}

std::string localStamp(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d_%H%M%S", &local);
  return buf;
}

// The single dump below dir: in the location, named after the program and a
// second of the run, for the owner only, and a core that gdb attributes to the program.
void expectOneDumpOf(const std::string& program, const std::string& dir, const std::string& location,
                     std::time_t started) {
  const std::time_t ended = std::time(nullptr);
  auto dumps = dumpsBelow(dir);
  ASSERT_EQ(dumps.size(), 1u);
  EXPECT_EQ(fs::path(dumps[0]).parent_path(), fs::path(location));
  const std::string name = fs::path(dumps[0]).filename().string();
  std::smatch m;
  ASSERT_TRUE(std::regex_match(name, m, std::regex(program + "([0-9]{8}_[0-9]{6})\\.dmp"))) << name;
  EXPECT_GE(m[1].str(), localStamp(started));
  EXPECT_LE(m[1].str(), localStamp(ended));
  EXPECT_EQ(fs::status(dumps[0]).permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
  const std::string programPath = testBinDir() + "/" + program;
  std::string gdb;
  shell("gdb -nx -batch -c " + shellQuote(dumps[0]) + " " + shellQuote(programPath), &gdb);
  EXPECT_NE(gdb.find("Core was generated by `" + programPath), std::string::npos) << gdb;
}

// A guarded fault is reported and the run goes on; a corrupted heap ends the
// process by abort. Each leaves one dump, in a location made at start (the
// second in the default one, three levels down).
TEST(CrashDump, FaultInGuardedOperationAndHeapCorruptionLeaveOneDumpEach) {
  TempDir fault, heap;
  std::time_t started = std::time(nullptr);
  faultReported(fault, {"PRODUCT_ROOT_D=@", "CrashDumpsLocation=@/dumps"});
  expectOneDumpOf("crash_fault", fault.path(), fault / "dumps", started);

  started = std::time(nullptr);
  const Ran run = start(heap, "crash_fault", "heap", {"PRODUCT_ROOT_D=@/root"}).wait(std::chrono::seconds(60));
  EXPECT_EQ(run.exitCode, 128 + SIGABRT) << run.out << run.err;
  EXPECT_THAT(run.err, HasSubstr("double free"));
  expectOneDumpOf("crash_fault", heap.path(), heap / "root/etc/crashdumps", started);
}

// Without dumps, and with a dump that cannot be written, the fault is
// reported exactly as with one, and nothing else is said.
TEST(CrashDump, FaultIsReportedTheSameWhenNoDumpIsWritten) {
  const struct {
    const char* what;
    std::vector<std::string> values;
    const char* absentDir;  // must not be created
  } cases[] = {
      {"dumps turned off", {"CrashDumpsEnabled=0", "PRODUCT_ROOT_D=@", "CrashDumpsLocation=@/dumps"}, "dumps"},
      {"no installation root", {"CrashDumpsLocation=@/dumps"}, "dumps"},
      {"location below a plain file", {"PRODUCT_ROOT_D=@", "CrashDumpsLocation=@/plain/dumps"}, "plain/dumps"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    writeFile(dir / "plain", "not a directory");
    EXPECT_EQ(faultReported(dir, c.values), "");
    EXPECT_TRUE(dumpsBelow(dir.path()).empty());
    EXPECT_EQ(readFile(dir / "plain"), "not a directory");
    EXPECT_FALSE(fs::exists(dir / c.absentDir));
  }
}

// Dumps with last-write times that do not follow their names; at exit only
// the newest ones are left, and ".zip" files, directories and other names are
// never counted or touched.
TEST(CrashDump, AtExitOnlyTheNewestDumpsAreKept) {
  const struct {
    const char* setting;  // added to the registry, or nullptr
    int dumps, kept;
  } cases[] = {{"CrashDumpsMaxCount=3", 5, 3}, {nullptr, 12, 10}, {"CrashDumpsMaxCount=0", 5, 0},
               {"CrashDumpsMaxCount=8", 5, 5}, {"CrashDumpsEnabled=0", 5, 5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting ? c.setting : "the default count");
    TempDir dir;
    const auto now = fs::file_time_type::clock::now();
    fs::create_directories(dir / "dumps/old.dmp");  // a directory, not a dump
    const auto writeAged = [&](const std::string& name, int hours) {
      const std::string path = dir / "dumps/" + name;
      if (!fs::is_directory(path)) writeFile(path, "core");
      fs::last_write_time(path, now - std::chrono::hours(hours));
    };
    // Dump i is (i * 7 % dumps) + 1 hours old: the age order differs from the name order.
    std::vector<std::string> newestFirst(c.dumps);
    for (int i = 0; i < c.dumps; ++i) {
      newestFirst[i * 7 % c.dumps] = formatString("crash_fault202001%02d_120000.dmp", i + 1);
      writeAged(newestFirst[i * 7 % c.dumps], i * 7 % c.dumps + 1);
    }
    std::set<std::string> expected(newestFirst.begin(), newestFirst.begin() + c.kept);
    for (const char* name : {"ancient.zip", "crash_fault20000101_000000.dmp.zip", "notes.txt", "old.dmp"}) {
      writeAged(name, 1000);
      expected.insert(name);
    }
    std::vector<std::string> values{"PRODUCT_ROOT_D=@", "CrashDumpsLocation=@/dumps"};
    if (c.setting) values.push_back(c.setting);
    const Ran run = start(dir, "crash_fault", "", values).wait(std::chrono::seconds(10));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(namesIn(dir / "dumps"), std::vector<std::string>(expected.begin(), expected.end()));
  }
}

} // namespace
