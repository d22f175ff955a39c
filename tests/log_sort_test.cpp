// The sort command, the removal of the sort keys and the preparation of a
// chunk with the real system sort and with stand-ins that fail.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "support/errors.h"
#include "tests/common/test_env.h"
#include "webalizer/log_preparation.h"

namespace fs = std::filesystem;
using testenv::TempDir;

namespace {

// Points the system directory somewhere else for the life of the object.
class SystemDir {
 public:
  explicit SystemDir(const std::string& dir) {
    if (const char* old = std::getenv("TARVO_SYSTEM_DIR")) old_ = old;
    setenv("TARVO_SYSTEM_DIR", dir.c_str(), 1);
  }
  ~SystemDir() {
    if (old_.empty()) unsetenv("TARVO_SYSTEM_DIR");
    else setenv("TARVO_SYSTEM_DIR", old_.c_str(), 1);
  }

 private:
  std::string old_;
};

void writeScript(const std::string& path, const std::string& body) {
  testenv::writeFile(path, "#!/bin/sh\n" + body + "\n");
  chmod(path.c_str(), 0755);
}

std::string placesOf(const vexception& e) { return e.fullMessage(); }

TEST(SortCommand, RunsTheSystemSortBytewiseWithQuotedPaths) {
  TempDir temp;
  fs::create_directories(temp / "sys tem");
  SystemDir dir(temp / "sys tem");
  const SortCommand plain = makeSortCommand("/logs/web.log.sort1", "/logs/web.log.sort2");
  EXPECT_EQ(plain.program, temp / "sys tem/sort");
  EXPECT_EQ(plain.arguments, "/logs/web.log.sort1 -o /logs/web.log.sort2");

  const SortCommand spaced = makeSortCommand("/my logs/a&b.log", "/my logs/out\\");
  EXPECT_EQ(spaced.arguments, "\"/my logs/a&b.log\" -o \"/my logs/out\\\\\"");

  int lcAll = 0;
  for (const std::string& entry : spaced.environment) {
    if (entry.rfind("LC_ALL=", 0) == 0) {
      ++lcAll;
      EXPECT_EQ(entry, "LC_ALL=C");
    }
  }
  EXPECT_EQ(lcAll, 1);
}

TEST(RemoveTimestampField, CutsFifteenBytesOfEveryLineAndKeepsEveryLine) {
  struct Case {
    const char* name;
    std::string sorted;
    std::string expected;
  } cases[] = {
      {"LF", "20240301080000 first\n20240301080001 second\n", "first\r\nsecond\r\n"},
      {"CR LF gives the same", "20240301080000 first\r\n20240301080001 second\r\n", "first\r\nsecond\r\n"},
      {"CR inside a line disappears", "20240301080000 fi\rrst\n", "first\r\n"},
      {"last line without line end", "20240301080000 first\n20240301080001 last", "first\r\nlast\r\n"},
      {"15 bytes give an empty line, 16 their last byte", "20240301080000 \n20240301080000 x\nshort\n",
       "\r\nx\r\n\r\n"},
      {"lines after an empty line are kept", "20240301080000 a\n\n20240301080002 b\n", "a\r\n\r\nb\r\n"},
      {"empty file", "", ""},
      {"8-bit bytes pass unchanged", "20240301080000 \xff\xfe caf\xc3\xa9\n", "\xff\xfe caf\xc3\xa9\r\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    testenv::writeFile(dir / "sorted", c.sorted);
    removeTimestampField(LogSource{LogKind::Web, dir / "web.log"}, dir / "sorted");
    EXPECT_EQ(testenv::readFile(dir / "web.log"), c.expected) << c.name;
  }
}

TEST(RemoveTimestampField, NeverWritesOverAnExistingLog) {
  TempDir dir;
  testenv::writeFile(dir / "sorted", "20240301080000 new\n");
  testenv::writeFile(dir / "web.log", "records that arrived meanwhile\n");
  EXPECT_THROW(removeTimestampField(LogSource{LogKind::Web, dir / "web.log"}, dir / "sorted"), vexception);
  EXPECT_EQ(testenv::readFile(dir / "web.log"), "records that arrived meanwhile\n");
}

TEST(PrepareLog, SortsBytewiseRemovesTheKeysAndLeavesOnlyTheChunkAndItsMarker) {
  TempDir dir;
  const std::string chunk = dir / "web_20240301.log";
  testenv::writeFile(chunk,
                     "20240301100000 c\r\n20240301080000 a\r\n20240301090000 B\n20240301090000 a\n");
  prepareLogForWebalizer(LogSource{LogKind::Web, chunk});
  // Bytewise: "B" (0x42) before "a" (0x61) for the same key.
  EXPECT_EQ(testenv::readFile(chunk), "a\r\nB\r\na\r\nc\r\n");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path())) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"web_20240301.log", "web_20240301.log.prepared"}));
}

TEST(PrepareLog, AFailingSortPutsTheUnsortedRecordsBack) {
  TempDir dir;
  writeScript(dir / "sort", "echo 'sort: cannot read' >&2; exit 1");
  SystemDir system(dir.path());
  const std::string chunk = dir / "web.log";
  const std::string records = "20240301100000 b\n20240301080000 a\n";
  testenv::writeFile(chunk, records);

  try {
    prepareLogForWebalizer(LogSource{LogKind::Web, chunk});
    FAIL() << "the sort failed, the preparation must fail";
  } catch (const vexception& e) {
    EXPECT_NE(placesOf(e).find("Sort webalizer log file"), std::string::npos) << placesOf(e);
    EXPECT_NE(placesOf(e).find("cannot read"), std::string::npos) << placesOf(e);
  }
  EXPECT_EQ(testenv::readFile(chunk), records);
  EXPECT_FALSE(fs::exists(chunk + ".sort1"));
  EXPECT_FALSE(fs::exists(chunk + ".sort2"));
  EXPECT_FALSE(fs::exists(chunk + ".prepared"));
}

TEST(PrepareLog, AFailingCopyPutsTheUnsortedRecordsBack) {
  TempDir dir;
  // A sort that "succeeds" without writing its output: the copy finds nothing.
  writeScript(dir / "sort", "exit 0");
  SystemDir system(dir.path());
  const std::string chunk = dir / "ftp.log";
  const std::string records = "20240301100000 b\n20240301080000 a\n";
  testenv::writeFile(chunk, records);

  try {
    prepareLogForWebalizer(LogSource{LogKind::Ftp, chunk});
    FAIL() << "the copy failed, the preparation must fail";
  } catch (const vexception& e) {
    EXPECT_NE(placesOf(e).find("removeTimestampField(" + chunk + ".sort2)"), std::string::npos) << placesOf(e);
  }
  EXPECT_EQ(testenv::readFile(chunk), records);
  EXPECT_FALSE(fs::exists(chunk + ".sort1"));
  EXPECT_FALSE(fs::exists(chunk + ".prepared"));
}

TEST(PrepareLog, ALeftOverSortFileStopsThePreparationWithoutTouchingTheChunk) {
  TempDir dir;
  const std::string chunk = dir / "web.log";
  testenv::writeFile(chunk, "20240301080000 new\n");
  testenv::writeFile(chunk + ".sort1", "20240301070000 old\n");
  EXPECT_THROW(prepareLogForWebalizer(LogSource{LogKind::Web, chunk}), vexception);
  EXPECT_EQ(testenv::readFile(chunk), "20240301080000 new\n");
  EXPECT_EQ(testenv::readFile(chunk + ".sort1"), "20240301070000 old\n");
}

} // namespace
