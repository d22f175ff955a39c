#include "support/command_line.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using Args = std::vector<std::string>;

TEST(CommandLine, QuotesOnlyWhatTheSplitterOrShellWouldMisread) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain", "plain"},
      {"a\\b\\", "a\\b\\"},  // no reason to quote: backslashes stay as they are
      {"", "\"\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"dir with blank\\", "\"dir with blank\\\\\""},
      {"a\\\\\"b c", "\"a\\\\\\\\\\\"b c\""},  // a\\"b c: two backslashes before a quote become four, plus one
      {"caf\xC3\xA9", "caf\xC3\xA9"},
  };
  for (const auto& c : cases) EXPECT_EQ(quoteCommandArgument(c.in), c.out) << c.in;
  for (const char special : std::string("\"&<>()[]{}^=;!'+,`~|\n"))
    EXPECT_EQ(quoteCommandArgument(std::string("a") + special + "b").front(), '"') << special;
}

TEST(CommandLine, SplitsArgumentStringsByTheWindowsRules) {
  struct Split {
    std::string line;
    Args args;
  };
  const Split cases[] = {
      {"", {}},
      {"   \t ", {}},
      {"a\\\\\\b d\"e f\"g h", {"a\\\\\\b", "de fg", "h"}},
      {"a\\\\\\\"b c d", {"a\\\"b", "c", "d"}},
      {"a\\\\\\\\\"b c\" d e", {"a\\\\b c", "d", "e"}},
      {"  lead\t\ttrail  ", {"lead", "trail"}},
      {"\"\" \"\"", {"", ""}},
      {"a\"b\"\" c d", {"ab\"", "c", "d"}},  // a doubled quote inside a quoted run ends the run
      {"\"unterminated quote", {"unterminated quote"}},
  };
  for (const auto& c : cases) EXPECT_EQ(splitCommandLine(c.line), c.args) << c.line;

  // The first token of a whole command line is the program name.
  const Split programCases[] = {
      {"", {}},
      {"\"/opt/my tools/prog\" --a=1 \"b c\"", {"/opt/my tools/prog", "--a=1", "b c"}},
      {"/usr/bin/prog\\\" x", {"/usr/bin/prog\\\"", "x"}},  // no escapes in the program name
      {"\"C:\\dir\\\" rest", {"C:\\dir\\", "rest"}},
      {"\"prog\"arg", {"prog", "arg"}},
      {" x", {"", "x"}},
  };
  for (const auto& c : programCases) EXPECT_EQ(splitProgramCommandLine(c.line), c.args) << c.line;
}

// Random texts over the characters that matter to quoting and splitting.
std::string randomArgument(std::mt19937& rng) {
  static const std::vector<std::string> alphabet = {
      "\"", "\\", "\\", "\\", " ", "\t", "\n", "a", "Z", "0", "-", "=", "/", ".", "\xC3\xA9", "\xE6\x97\xA5",
      "\xE3\x80\x80",  // ideographic space
      "&", "<", ">", "(", ")", "[", "]", "{", "}", "^", ";", "!", "'", "+", ",", "`", "~", "|", "\xFF"};
  std::uniform_int_distribution<size_t> length(0, 12), pick(0, alphabet.size() - 1);
  std::string s;
  for (size_t n = length(rng); n > 0; --n) s += alphabet[pick(rng)];
  return s;
}

TEST(CommandLine, SplittingUndoesQuotingForAnyText) {
  std::mt19937 rng(20240101);
  for (int i = 0; i < 20000; ++i) {
    const std::string arg = randomArgument(rng);
    ASSERT_EQ(splitCommandLine(quoteCommandArgument(arg)), Args{arg}) << "[" << arg << "] quoted as ["
                                                                      << quoteCommandArgument(arg) << "]";
  }
  for (int i = 0; i < 3000; ++i) {
    Args args(std::uniform_int_distribution<size_t>(1, 6)(rng));
    for (auto& a : args) a = randomArgument(rng);
    const std::string line = joinCommandLine(args);
    ASSERT_EQ(splitCommandLine(line), args) << line;
    // A program path without double quotes survives the program-name rule too.
    Args withProgram = args;
    withProgram.insert(withProgram.begin(), "/opt/web tools/prog");
    ASSERT_EQ(splitProgramCommandLine(joinCommandLine(withProgram)), withProgram);
  }
}

TEST(CommandLine, MasksValuesOfPasswordLikeKeys) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"--password=", "\"--password=*\""},
      {"pwd=s3cret", "\"pwd=*\""},
      {"--user_pwd=a=b", "\"--user_pwd=*=*\""},  // one star per value
      {"\"my pwd=x y\" -login=admin", "\"my pwd=*\" \"-login=admin\""},
      {"--db-password=s3cret --PWD=x", "\"--db-password=*\" \"--PWD=x\""},  // case-sensitive
      {"--password", "--password"},  // no value to hide
      {"--PASSWORD=x", "\"--PASSWORD=x\""},  // the key test is case-sensitive
      {"x=password=1", "\"x=password=1\""},  // only the part before the first "=" counts
      {"\"--db-password=with blank\" --webspace-name=ws1", "\"--db-password=*\" \"--webspace-name=ws1\""},
      {"  a \t b  ", "a b"},
      {"/usr/bin/prog \"a b\"", "/usr/bin/prog \"a b\""},
  };
  for (const auto& c : cases) EXPECT_EQ(maskPasswords(c.in), c.out) << c.in;
}

} // namespace
