// Running external programs: real children (tests/helpers/exec_probe and
// system programs), their streams, exit codes and what is logged of them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/command_line.h"
#include "support/errors.h"
#include "support/logging.h"
#include "support/process.h"
#include "tests/common/test_env.h"
#include "tests/common/test_installation.h"

namespace fs = std::filesystem;
using namespace testenv;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

std::string probe() { return testBinDir() + "/exec_probe"; }

std::string run(const std::string& arguments, uint32_t* code = nullptr) {
  uint32_t ignored = 0;
  return execExtUtil(probe(), arguments, true, code ? code : &ignored);
}

TEST(Process, ChildGetsTheArgvThatTheWindowsRulesMakeOfTheCommandLine) {
  // Blanks and tabs separate; quotes group; \" is a literal quote; backslashes
  // are literal except before a quote; nothing is interpreted by a shell.
  EXPECT_EQ(run("args a \"a b\"  c\t d \"\" c\\\"d a\\\\b \"e\\\\\" x=1 \"a&b\" ;"),
            "[" + probe() + "][a][a b][c][d][][c\"d][a\\\\b][e\\][x=1][a&b][;]");
  // Without an application the arguments are the whole command line; the
  // program is its first token, looked for in PATH when it has no "/".
  uint32_t code = 1;
  EXPECT_EQ(execExtUtil("", "\"" + probe() + "\" args \"p q\"", true, &code), "[" + probe() + "][p q]");
  EXPECT_EQ(execExtUtil("", "printf %s-%s a b", true, &code), "a-b");
  EXPECT_EQ(code, 0u);
}

TEST(Process, OutputFarBeyondAPipeIsCollectedWithStandardErrorMerged) {
  uint32_t code = 99;
  const std::string out = run("flood 1048576", &code);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(std::count(out.begin(), out.end(), 'o'), 1048576);
  EXPECT_EQ(std::count(out.begin(), out.end(), 'e'), 1048576);
  // The same without asking for the exit code: nothing waits, yet all is read.
  EXPECT_EQ(execExtUtil(probe(), "flood 300000", true, nullptr).size(), 600000u);
}

TEST(Process, MissingProgramFailsOnlyWhenAskedTo) {
  TempDir dir;
  const std::string missing = dir / "prog";
  uint32_t code = 77;
  EXPECT_EQ(execExtUtil("/nonexistent/prog", "x", false, &code), "");
  EXPECT_EQ(code, 77u);  // untouched
  EXPECT_EQ(execExtUtil("", "no-such-program-anywhere x", false, &code), "");
  // The system error of the start, then the place of execExtUtil; the
  // password appears in neither.
  const std::string full = failureOf([&] { execExtUtil(missing, "--password=secret -v", true, &code); });
  EXPECT_THAT(full, HasSubstr("(Error code 2) at CreateProcess '\"" + missing + "\" \"--password=*\" -v'"));
  EXPECT_THAT(full, HasSubstr("\n   at Execute " + missing + " \"--password=*\" -v(execExtUtil line "));
  EXPECT_THAT(full, Not(HasSubstr("secret")));
}

TEST(Process, CheckedRunReportsExitCodeAndOutput) {
  std::string output;
  EXPECT_EQ(failureOf([&] { execExtUtilChecked(probe(), "exit 1 word", output); }),
            "Execute " + probe() + " exit 1 word failed[1]: word\n   at (execExtUtilChecked line 138)");
  EXPECT_THAT(failureOf([&] { execExtUtilChecked(probe(), "exit 255 \"user_pwd=abc\"", output); }),
              StartsWith("Execute " + probe() + " exit 255 \"user_pwd=*\" failed[255]: user_pwd=abc\n"));
  execExtUtilChecked(probe(), "exit 0 fine", output);
  EXPECT_EQ(output, "fine");
  // A child ended by a signal (a crash among them) gives 128 + the signal, never success.
  for (const auto& [signal, code] : {std::pair{"SEGV", 139u}, {"KILL", 137u}, {"TERM", 143u}}) {
    const std::string arguments = std::string("-c \"ulimit -c 0; kill -") + signal + " $$\"";
    uint32_t got = 0;
    execExtUtil("/bin/sh", arguments, true, &got);
    EXPECT_EQ(got, code) << signal;
    EXPECT_THAT(failureOf([&] { execExtUtilChecked("/bin/sh", arguments, output); }),
                StartsWith("Execute /bin/sh " + maskPasswords(arguments) + " failed[" + std::to_string(code) + "]"));
  }
}

TEST(Process, ChildSeesOnlyItsThreeStreams) {
  // Pipes and files of this program must not leak into children (Webalizer
  // would otherwise keep our pipes open for as long as it runs).
  vexecutil held;  // a second child with open pipes while the probe starts
  held.application = probe();
  held.arguments = "cat";
  held.stdinFromPipe = held.stdoutToPipe = true;
  held.start();
  EXPECT_EQ(run("fds"), "0 1 2");
  held.closeInput();
  EXPECT_TRUE(held.waitForExit());
}

TEST(Process, WorkingDirectoryAndEnvironment) {
  TempDir dir;
  const std::string before = fs::current_path();
  vexecutil util;
  util.application = probe();
  util.arguments = "cwd";
  util.workingDirectory = dir.path();
  util.stdoutToPipe = true;
  util.start();
  EXPECT_EQ(fs::path(util.readOutput()), fs::canonical(dir.path()));
  EXPECT_TRUE(util.waitForExit());
  EXPECT_EQ(fs::current_path().string(), before);

  const std::vector<std::string> environment = environmentWith("LC_ALL", "C");
  uint32_t code = 1;
  const std::string out = execExtUtil(probe(), "env LC_ALL PATH", true, &code, {}, {}, &environment);
  EXPECT_EQ(out.substr(0, out.find('\n')), "LC_ALL=C");
  EXPECT_THAT(out, HasSubstr("PATH=" + std::string(std::getenv("PATH"))));
}

TEST(Process, WaitTerminateResume) {
  vexecutil sleeper;
  sleeper.application = "/bin/sleep";
  sleeper.arguments = "30";
  sleeper.start();
  EXPECT_FALSE(sleeper.waitForExit(10));
  EXPECT_EQ(sleeper.exitCode(), vexecutil::kStillActive);
  sleeper.terminate(7);
  EXPECT_TRUE(sleeper.waitForExit());
  EXPECT_EQ(sleeper.exitCode(), 7u);  // the code given to terminate, as Windows reports it

  // A suspended child does nothing until it is resumed.
  TempDir dir;
  vexecutil suspended;
  suspended.application = probe();
  suspended.arguments = "touch " + dir / "made";
  suspended.suspended = true;
  suspended.start();
  EXPECT_FALSE(suspended.waitForExit(100));
  EXPECT_FALSE(fs::exists(dir / "made"));
  suspended.resume();
  EXPECT_TRUE(suspended.waitForExit());
  EXPECT_EQ(suspended.exitCode(), 0u);
  EXPECT_TRUE(fs::exists(dir / "made"));
  vexecutil never;
  EXPECT_THROW(never.waitForExit(), vosexception);
  EXPECT_THROW(never.exitCode(), vosexception);
}

// The utility-execution log's own format and masking are logging_test's;
// here what a run writes there and to the daily log.
TEST(Process, LogsShowMaskedArgumentsAndTheResult) {
  TestInstallation::Options options;
  options.startService = false;
  TestInstallation inst(options);
  inst.setRegistryDword("log_util_exec_enabled", 1);
  // The switch is re-read every 16 queries; earlier tests ran without it.
  for (int i = 0; i < 16 && !debuggingEnabled(); ++i) {
  }
  uint32_t code = 1;
  const std::string arguments = "args -login=admin --db-password=s3cret pwd=a=b \"my pwd=x y\"";
  EXPECT_EQ(execExtUtil(probe(), arguments, true, &code),
            "[" + probe() + "][-login=admin][--db-password=s3cret][pwd=a=b][my pwd=x y]");
  // The program's own output may show the secret; the arguments as logged never do.
  const std::string masked = "args \"-login=admin\" \"--db-password=*\" \"pwd=*=*\" \"my pwd=*\"";
  const std::string debug = inst.dailyLog();
  EXPECT_THAT(debug, HasSubstr("Info: Execute " + probe() + " " + masked + "\r\n"));
  EXPECT_THAT(debug, HasSubstr("Info: Execute " + probe() + " " + masked + " result: [" + probe() + "][-login=admin]"));
  EXPECT_THAT(debug.substr(0, debug.find(" result: ")), Not(HasSubstr("s3cret")));
  const std::string utilLog = inst.dailyLog("util_exec");
  EXPECT_THAT(utilLog, HasSubstr("execUtil(Start)\t"));
  EXPECT_THAT(utilLog, HasSubstr("execUtil(End)\t"));
  EXPECT_THAT(utilLog, HasSubstr("\t" + probe() + "\t" + masked + "\t"));
  EXPECT_THAT(utilLog, Not(HasSubstr("s3cret")));
}

} // namespace
