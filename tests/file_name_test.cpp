// Path names and name patterns: pure text, checked against tables.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <optional>
#include <string>
#include <tuple>

#include "platform/text.h"
#include "support/file_ops.h"
#include "tests/common/test_env.h"

namespace {

TEST(FileName, PathFormsAndCombinationsTable) {
  const struct {
    const char *input, *longPath, *canonical, *fileSpecRemoved, *directory;
  } cases[] = {
      {"/x/./y/../z", "/x/z", "/x/z", "/x", "/x/./y/.."},
      {"/a//b///c", "/a/b/c", "/a/b/c", "/a/b", "/a//b"},
      {"/a/b/", "/a/b/", "/a/b/", "/a/b", "/a/b"},
      {"/a", "/a", "/a", "/", "/"},
      {"/..", "/", "/", "/", "/"},
      {"rel/./x/../y", "rel/./x/../y", "rel/y", "rel", "rel/./x/.."},
      {"name", "name", "name", "", ""},
      // A backslash is part of a Linux file name, not a separator.
      {"/logs/a\\b.log", "/logs/a\\b.log", "/logs/a\\b.log", "/logs", "/logs"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(VFileName::toLongPath(c.input), c.longPath);
    EXPECT_EQ(VFileName::canonicalize(c.input), c.canonical);
    EXPECT_EQ(VFileName::removeFileSpec(c.input), c.fileSpecRemoved);
    EXPECT_EQ(directoryOf(c.input), c.directory);
  }
  // Paths from outside (the service, configuration values) come with "\".
  EXPECT_EQ(normalizeFilePath("C:\\x\\.\\y\\..\\z\\"), "C:/x/z/");
  EXPECT_EQ(normalizeFilePath("\\\\?\\srv\\www"), "/srv/www");
  for (const auto& [path, ended] : {std::pair{"", "/"}, {"/a", "/a/"}, {"/a/", "/a/"}})
    EXPECT_EQ(appendBackslash(path), ended);

  const std::tuple<const char*, const char*, const char*> combinations[] = {  // base, more, combined
      {"/a", "/b", "/a/b"}, {"/a", "\\\\b", "/a/b"}, {"/a/./x/..", "b/", "/a/b/"}, {"/a", "../b", "/b"},
      {"/a", "", "/a"},     {"", "b", "b"},          {"/srv/www", "*.*", "/srv/www/*.*"},
  };
  for (const auto& [base, more, combined] : combinations)
    EXPECT_EQ(VFileName::combine(base, more), combined) << base << " + " << more;
}

// The same answers under the locales a scheduler may start the program with:
// C, C.UTF-8 and a Turkish one (whose "I" lowers to a dotless "ı"), built
// into a temporary directory.
TEST(FileName, CaseAndPatternsAreTheSameUnderEveryLocale) {
  const struct {
    const char *pattern, *name;
    bool matches;
  } patterns[] = {
      {"*.*", "README", true}, {"*.*", ".", true},  // every name, with or without a dot
      {"*.conf", "web_stat_executor.CONF", true},
      {"a?c", "abc", true}, {"a?c", "ac", false},
      {"?.txt", "\xC3\xA9.txt", true},            // "?" is one character, not one byte
      {"\xC3\x89*", "\xC3\xA9" "cole", true},     // case folding beyond ASCII
      {"*a*b*c", "xaybzc", true}, {"*a*b*c", "xaybzcx", false},
      {"*.", "README", true}, {"*.", "a.txt", false},  // a final "." asks for no extension
      {"*.dmp", "crash.dmp.zip", false},           // the pattern's end is the name's end
  };
  testenv::TempDir dir;
  const bool built = std::system(("localedef -i tr_TR -f UTF-8 " + testenv::shellQuote(dir / "tr_TR.UTF-8") +
                                  " >/dev/null 2>&1").c_str()) == 0;
  for (const std::string locale : {"C", "C.UTF-8", "tr_TR.UTF-8"}) {
    SCOPED_TRACE(locale);
    const bool turkish = locale == "tr_TR.UTF-8";
    if (turkish && !built) break;
    std::optional<testenv::ScopedEnv> path;
    if (turkish) path.emplace("LOCPATH", dir.path());
    ASSERT_TRUE(std::setlocale(LC_ALL, locale.c_str())) << "locale " << locale << " cannot be set";
    EXPECT_EQ(text::toLower("M\xC3\x9CNCHEN-INFO.example"), "m\xC3\xBCnchen-info.example");
    EXPECT_TRUE(text::equalsNoCase("WEBALIZER", "webalizer"));  // an engine's type in a configuration
    EXPECT_LT(text::compareNoCase("a", "B"), 0);
    // Simple mappings: one code point for one, whatever the language.
    EXPECT_EQ(text::toLower("\xC4\xB0"), "i");                         // İ
    EXPECT_EQ(text::toLower("\xF0\x90\x90\x80"), "\xF0\x90\x90\xA8");  // beyond U+FFFF
    // Ideographic space, no-break space, line separator.
    EXPECT_EQ(text::trim("\xE3\x80\x80\xC2\xA0 site\t\xE2\x80\xA8"), "site");
    for (const auto& c : patterns)
      EXPECT_EQ(matchFilePattern(c.pattern, c.name), c.matches) << c.pattern << " ~ " << c.name;
  }
  std::setlocale(LC_ALL, "C");
  if (!built) GTEST_SKIP() << "C and C.UTF-8 checked; no tr_TR locale could be built with localedef (package locales)";
}

} // namespace
