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

// Texts no quoting produces, read as Windows reads them; what quoting produces
// is checked by the round trip below.
TEST(CommandLine, SplitsArgumentStringsByTheWindowsRules) {
  const struct {
    bool withProgram;  // the first token is the program name: it ends at a blank or its closing quote, no escapes
    std::string line;
    Args args;
  } cases[] = {
      {false, "   \t ", {}},
      {false, "a\\\\\\b d\"e f\"g h", {"a\\\\\\b", "de fg", "h"}},
      {false, "a\\\\\\\"b c d", {"a\\\"b", "c", "d"}},
      {false, "a\\\\\\\\\"b c\" d e", {"a\\\\b c", "d", "e"}},
      {false, "  lead\t\ttrail  ", {"lead", "trail"}},
      {false, "a\"b\"\" c d", {"ab\"", "c", "d"}},  // a doubled quote inside a quoted run ends the run
      {false, "\"unterminated quote", {"unterminated quote"}},
      {true, "", {}},
      {true, "/usr/bin/prog\\\" x", {"/usr/bin/prog\\\"", "x"}},
      {true, "\"C:\\dir\\\" rest", {"C:\\dir\\", "rest"}},
      {true, "\"prog\"arg", {"prog", "arg"}},
      {true, " x", {"", "x"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.withProgram ? splitProgramCommandLine(c.line) : splitCommandLine(c.line), c.args) << c.line;
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
    ASSERT_EQ(splitCommandLine(quoteCommandArgument(args[0])), Args{args[0]}) << quoteCommandArgument(args[0]);
    ASSERT_EQ(splitCommandLine(joinCommandLine(args)), args) << joinCommandLine(args);
    // A program path without double quotes survives the program-name rule too.
    args.insert(args.begin(), "/opt/web tools/prog");
    ASSERT_EQ(splitProgramCommandLine(joinCommandLine(args)), args) << joinCommandLine(args);
  }
}

TEST(CommandLine, MasksValuesOfPasswordLikeKeys) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"--password=", "\"--password=*\""},
      {"--db-password=s3cret", "\"--db-password=*\""},
      {"pwd=s3cret", "\"pwd=*\""},
      {"--user_pwd=a=b", "\"--user_pwd=*=*\""},  // one star per value
      {"\"my pwd=x y\" -login=admin", "\"my pwd=*\" \"-login=admin\""},
      {"--PWD=x --PASSWORD=x", "\"--PWD=x\" \"--PASSWORD=x\""},  // the key test is case-sensitive
      {"--password", "--password"},                              // no value to hide
      {"x=password=1", "\"x=password=1\""},  // only the part before the first "=" counts
      {"  a \t b  ", "a b"},
  };
  for (const auto& c : cases) EXPECT_EQ(maskPasswords(c.in), c.out) << c.in;
}

} // namespace
