// Path names and name patterns: pure text, checked against tables.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>

#include "support/file_ops.h"

namespace {

TEST(FileName, PathFormsTable) {
  struct Case {
    const char* input;
    const char* longPath;
    const char* canonical;
    const char* fileSpecRemoved;
    const char* directory;
  };
  const Case cases[] = {
      {"/x/./y/../z", "/x/z", "/x/z", "/x", "/x/./y/.."},
      {"/a//b///c", "/a/b/c", "/a/b/c", "/a/b", "/a//b"},
      {"/a/b/", "/a/b/", "/a/b/", "/a/b", "/a/b"},
      {"/a", "/a", "/a", "/", "/"},
      {"/", "/", "/", "/", "/"},
      {"/..", "/", "/", "/", "/"},
      {"//?/srv/www", "/srv/www", "/srv/www", "/srv", "//?/srv"},
      {"rel/./x/../y", "rel/./x/../y", "rel/y", "rel", "rel/./x/.."},
      {"../up/x", "../up/x", "../up/x", "../up", "../up"},
      {"name", "name", "name", "", ""},
      // A backslash is part of a Linux file name, not a separator.
      {"/logs/a\\b.log", "/logs/a\\b.log", "/logs/a\\b.log", "/logs", "/logs"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(VFileName::toLongPath(c.input), c.longPath);
    EXPECT_EQ(VFileName::canonicalize(c.input), c.canonical);
    EXPECT_EQ(VFileName::removeFileSpec(c.input), c.fileSpecRemoved);
    EXPECT_EQ(directoryOf(c.input), c.directory);
  }
  // Paths from outside (the service, configuration values) come with "\".
  EXPECT_EQ(normalizeFilePath("C:\\x\\.\\y\\..\\z\\"), "C:/x/z/");
  EXPECT_EQ(normalizeFilePath("\\\\?\\srv\\www"), "/srv/www");
  EXPECT_EQ(appendBackslash(""), "/");
  EXPECT_EQ(appendBackslash("/a"), "/a/");
  EXPECT_EQ(appendBackslash("/a/"), "/a/");
}

TEST(FileName, CombineTable) {
  struct Case {
    const char* base;
    const char* more;
    const char* combined;
  };
  const Case cases[] = {
      {"/a", "/b", "/a/b"},          {"/a", "\\\\b", "/a/b"},         {"/a/", "b/c", "/a/b/c"},
      {"/a/./x/..", "b", "/a/b"},    {"/a", "../b", "/b"},            {"/a", "b/", "/a/b/"},
      {"/a", "", "/a"},              {"", "b", "b"},                  {"rel", "x", "rel/x"},
      {"/srv/www", "*.*", "/srv/www/*.*"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.base) + " + " + c.more);
    EXPECT_EQ(VFileName::combine(c.base, c.more), c.combined);
  }
  // Far beyond PATH_MAX (4096): 40 components of 200 characters.
  std::string base = "/srv";
  for (int i = 0; i < 40; ++i) base += "/" + std::string(200, static_cast<char>('a' + i % 26));
  ASSERT_GT(base.size(), 8000u);
  const std::string combined = VFileName::combine(base, "/web_stat_executor.conf");
  EXPECT_EQ(combined, base + "/web_stat_executor.conf");
  EXPECT_EQ(VFileName::combine(combined, "../other"), base + "/other");
  EXPECT_EQ(VFileName::toLongPath(base + "/./x/.."), base);
  EXPECT_EQ(VFileName::removeFileSpec(combined), base);
}

TEST(FileName, ExpandsBothVariableSpellings) {
  ::setenv("TARVO_FILE_NAME_TEST", "/opt/tarvo", 1);
  EXPECT_EQ(VFileName::expandEnvironmentStrings("${TARVO_FILE_NAME_TEST}/a:%TARVO_FILE_NAME_TEST%/b:%UNSET_X_Y%"),
            "/opt/tarvo/a:/opt/tarvo/b:%UNSET_X_Y%");
  ::unsetenv("TARVO_FILE_NAME_TEST");
}

TEST(FileName, PatternTable) {
  // The program takes the locale of its environment; case folding beyond
  // ASCII needs a UTF-8 one.
  std::setlocale(LC_ALL, "C.UTF-8");
  struct Case {
    const char* pattern;
    const char* name;
    bool matches;
  };
  const Case cases[] = {
      {"*.*", "README", true},          // every name, with or without a dot
      {"*.*", ".", true},
      {"*.conf", "web_stat_executor.CONF", true},
      {"WEB_STAT_EXECUTOR.conf", "web_stat_executor.conf", true},
      {"a?c", "abc", true},
      {"a?c", "ac", false},
      {"?.txt", "\xC3\xA9.txt", true},  // "?" is one character, not one byte
      {"\xC3\x89*", "\xC3\xA9" "cole", true},  // case folding beyond ASCII
      {"*a*b*c", "xaybzc", true},
      {"*a*b*c", "xaybzcx", false},
      {"log.*", "log", true},           // a final ".*" also takes no extension
      {"*.", "README", true},           // a final "." asks for no extension
      {"*.", "a.txt", false},
      {"*.dmp", "crash.dmp.zip", false},  // the pattern's end is the name's end
      {"", "", true},
      {"", "a", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " ~ " + c.name);
    EXPECT_EQ(matchFilePattern(c.pattern, c.name), c.matches);
  }
}

} // namespace
