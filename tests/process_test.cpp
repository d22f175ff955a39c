// Running external programs: their command lines as text (quoting, splitting
// by the Windows rules, masking), then real children (system programs and
// tests/helpers/exec_probe), their streams, exit codes and what is logged of them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "support/command_line.h"
#include "support/errors.h"
#include "support/logging.h"
#include "support/process.h"
#include "tests/common/hosting.h"

namespace fs = std::filesystem;
using namespace testenv;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

using Args = std::vector<std::string>;

TEST(CommandLine, QuotesOnlyWhatTheSplitterOrShellWouldMisread) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"}, {"", "\"\""}, {"caf\xC3\xA9", "caf\xC3\xA9"}, {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"dir with blank\\", "\"dir with blank\\\\\""},
      {"a\\b\\", "a\\b\\"},  // no reason to quote: backslashes stay as they are
      {"a\\\\\"b c", "\"a\\\\\\\\\\\"b c\""},  // a\\"b c: two backslashes before a quote become four, plus one
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(quoteCommandArgument(in), out) << in;
  for (const char special : std::string("\"&<>()[]{}^=;!'+,`~|\n"))
    EXPECT_EQ(quoteCommandArgument(std::string("a") + special + "b").front(), '"') << special;
}

// Texts no quoting produces, read as Windows reads them; what quoting produces
// is checked by the round trip below.
TEST(CommandLine, SplitsArgumentStringsByTheWindowsRules) {
  const std::pair<std::string, Args> plain[] = {
      {"   \t ", {}}, {"  lead\t\ttrail  ", {"lead", "trail"}}, {"\"unterminated quote", {"unterminated quote"}},
      {"a\\\\\\b d\"e f\"g h", {"a\\\\\\b", "de fg", "h"}}, {"a\\\\\\\"b c d", {"a\\\"b", "c", "d"}},
      {"a\\\\\\\\\"b c\" d e", {"a\\\\b c", "d", "e"}},
      {"a\"b\"\" c d", {"ab\"", "c", "d"}},  // a doubled quote inside a quoted run ends the run
  };
  // The first token is the program name: it ends at a blank or its closing quote, no escapes.
  const std::pair<std::string, Args> withProgram[] = {
      {"", {}}, {" x", {"", "x"}}, {"\"prog\"arg", {"prog", "arg"}}, {"\"C:\\dir\\\" rest", {"C:\\dir\\", "rest"}},
      {"/usr/bin/prog\\\" x", {"/usr/bin/prog\\\"", "x"}},
  };
  for (const auto& [line, args] : plain) EXPECT_EQ(splitCommandLine(line), args) << line;
  for (const auto& [line, args] : withProgram) EXPECT_EQ(splitProgramCommandLine(line), args) << line;
}

TEST(CommandLine, SplittingUndoesQuotingForAnyText) {
  // Random texts over the characters that matter to quoting and splitting.
  static const std::vector<std::string> alphabet = {
      "\"", "\\", "\\", "\\", " ", "\t", "\n", "a", "Z", "0", "-", "=", "/", ".", "\xC3\xA9", "\xE6\x97\xA5",
      "\xE3\x80\x80",  // ideographic space
      "&", "<", ">", "(", ")", "[", "]", "{", "}", "^", ";", "!", "'", "+", ",", "`", "~", "|", "\xFF"};
  std::mt19937 rng(20240101);
  std::uniform_int_distribution<size_t> length(0, 12), pick(0, alphabet.size() - 1), count(1, 6);
  const auto randomArgument = [&] {
    std::string s;
    for (size_t n = length(rng); n > 0; --n) s += alphabet[pick(rng)];
    return s;
  };
  for (int i = 0; i < 3000; ++i) {
    Args args(count(rng));
    for (auto& a : args) a = randomArgument();
    ASSERT_EQ(splitCommandLine(joinCommandLine(args)), args) << joinCommandLine(args);
    // A program path without double quotes survives the program-name rule too.
    args.insert(args.begin(), "/opt/web tools/prog");
    ASSERT_EQ(splitProgramCommandLine(joinCommandLine(args)), args) << joinCommandLine(args);
  }
}

// Keys holding "pwd", values with "=" and quoted blanks: LogsShowMaskedArgumentsAndTheResult.
TEST(CommandLine, MasksValuesOfPasswordLikeKeys) {
  const std::pair<std::string, std::string> cases[] = {
      {"--password=", "\"--password=*\""},
      {"--PWD=x --PASSWORD=x", "\"--PWD=x\" \"--PASSWORD=x\""},  // the key test is case-sensitive
      {"--password", "--password"},                              // no value to hide
      {"x=password=1", "\"x=password=1\""},  // only the part before the first "=" counts
      {"  a \t b  ", "a b"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(maskPasswords(in), out) << in;
}

std::string probe() { return testBinDir() + "/exec_probe"; }

std::string run(const std::string& application, const std::string& arguments, uint32_t* code = nullptr) {
  uint32_t ignored = 0;
  return execExtUtil(application, arguments, true, code ? code : &ignored);
}

TEST(Process, ChildGetsTheArgvThatTheWindowsRulesMakeOfTheCommandLine) {
  // Blanks and tabs separate; quotes group; \" is a literal quote; backslashes
  // are literal except before a quote; nothing is interpreted by a shell.
  EXPECT_EQ(run(probe(), "a \"a b\"  c\t d \"\" c\\\"d a\\\\b \"e\\\\\" x=1 \"a&b\" ;"),
            "[" + probe() + "][a][a b][c][d][][c\"d][a\\\\b][e\\][x=1][a&b][;]");
  // Without an application the arguments are the whole command line; the
  // program is its first token, looked for in PATH when it has no "/".
  uint32_t code = 1;
  EXPECT_EQ(execExtUtil("", "\"" + probe() + "\" \"p q\"", true, &code), "[" + probe() + "][p q]");
  EXPECT_EQ(execExtUtil("", "printf %s-%s a b", true, &code), "a-b");
  EXPECT_EQ(code, 0u);
}

TEST(Process, OutputFarBeyondAPipeIsCollectedWithStandardErrorMerged) {
  uint32_t code = 99;
  const std::string out = run("/bin/sh", "-c \"yes o | head -c 2097152; yes e | head -c 2097152 >&2\"", &code);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(std::count(out.begin(), out.end(), 'o'), 1048576);
  EXPECT_EQ(std::count(out.begin(), out.end(), 'e'), 1048576);
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
  EXPECT_EQ(failureOf([&] { execExtUtil(missing, "--password=secret -v", true, &code); }),
            formatSystemMessage(2, "CreateProcess '\"" + missing + "\" \"--password=*\" -v'") +
                "\n   at (vexecutil::start line 186)\n   at Execute " + missing +
                " \"--password=*\" -v(execExtUtil line 87)");
}

TEST(Process, CheckedRunFailsOnEveryExitButZero) {
  std::string output;
  // sh's $0 is the argument after the script: the output shows it, the command masks it.
  EXPECT_EQ(failureOf([&] { execExtUtilChecked("/bin/sh", "-c \"printf $0; exit 1\" user_pwd=abc", output); }),
            "Execute /bin/sh -c \"printf $0; exit 1\" \"user_pwd=*\" failed[1]: user_pwd=abc\n"
            "   at (execExtUtilChecked line 138)");
  execExtUtilChecked("/usr/bin/printf", "fine", output);
  EXPECT_EQ(output, "fine");
  // A child ended by a signal (a crash among them) gives 128 + the signal, never success.
  for (const auto& [signal, code] : {std::pair{"SEGV", "139"}, {"KILL", "137"}, {"TERM", "143"}}) {
    const std::string arguments = std::string("-c \"ulimit -c 0; kill -") + signal + " $$\"";
    EXPECT_THAT(failureOf([&] { execExtUtilChecked("/bin/sh", arguments, output); }),
                StartsWith("Execute /bin/sh " + maskPasswords(arguments) + " failed[" + code + "]"));
  }
}

TEST(Process, ChildGetsItsDirectoryAndEnvironmentButNoneOfOurFiles) {
  TempDir dir;
  const std::string before = fs::current_path();
  vexecutil held;  // a child with open pipes while the probe starts
  held.application = "/bin/sh";
  held.arguments = "-c pwd";
  held.workingDirectory = dir.path();
  held.stdoutToPipe = true;
  held.start();
  // Pipes and files of this program must not leak into children (Webalizer
  // would otherwise keep our pipes open for as long as it runs).
  EXPECT_EQ(run(probe(), "fds"), "0 1 2");
  EXPECT_EQ(held.readOutput(), fs::canonical(dir.path()).string() + "\n");
  EXPECT_TRUE(held.waitForExit());
  EXPECT_EQ(fs::current_path().string(), before);

  const std::vector<std::string> environment = environmentWith("LC_ALL", "C");
  uint32_t code = 1;
  EXPECT_EQ(execExtUtil("/usr/bin/printenv", "LC_ALL PATH", true, &code, {}, {}, &environment),
            "C\n" + std::string(std::getenv("PATH")) + "\n");
}

// The utility-execution log's own format and masking are logging_test's;
// here what a run writes there and to the daily log.
TEST(Process, LogsShowMaskedArgumentsAndTheResult) {
  TestInstallation::Options options;
  options.startService = false;
  TestInstallation inst(options);
  inst.setRegistryDword("log_util_exec_enabled", 1);
  // The switch is re-read every 16 queries; earlier tests ran without it.
  for (int i = 0; i < 16 && !debuggingEnabled(); ++i) continue;
  const std::string arguments = "-login=admin --db-password=s3cret pwd=a=b \"my pwd=x y\"";
  EXPECT_EQ(run(probe(), arguments), "[" + probe() + "][-login=admin][--db-password=s3cret][pwd=a=b][my pwd=x y]");
  // The program's own output may show the secret; the arguments as logged never do.
  const std::string masked = "\"-login=admin\" \"--db-password=*\" \"pwd=*=*\" \"my pwd=*\"";
  const std::string debug = inst.dailyLog();
  EXPECT_THAT(debug, HasSubstr("Info: Execute " + probe() + " " + masked + "\r\n"));
  EXPECT_THAT(debug, HasSubstr("Info: Execute " + probe() + " " + masked + " result: [" + probe() + "][-login=admin]"));
  EXPECT_THAT(debug.substr(0, debug.find(" result: ")), Not(HasSubstr("s3cret")));
  const std::string utilLog = inst.dailyLog("util_exec");
  EXPECT_EQ(occurrences(utilLog, "\t" + probe() + "\t" + masked + "\t"), 2u) << utilLog;  // its start and its end
}

} // namespace
