// The sort command, the removal of the sort keys and the preparation of a
// chunk with the real system sort and with stand-ins that fail; a night's
// logs gathered into one and a gathering killed at each step.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <sys/stat.h>

#include "support/errors.h"
#include "support/format.h"
#include "support/log_gathering.h"
#include "tests/common/test_env.h"
#include "webalizer/log_for_webalizer.h"
#include "webalizer/log_preparation.h"

namespace fs = std::filesystem;
using namespace testenv;
using ::testing::AllOf;
using ::testing::HasSubstr;
using Names = std::vector<std::string>;

namespace {

TEST(RemoveTimestampField, CutsFifteenBytesOfEveryLineAndKeepsEveryLine) {
  const struct {
    const char* name;
    std::string sorted, expected;
  } cases[] = {
      {"LF and CR LF", "20240301080000 first\r\n20240301080001 second\n", "first\nsecond\n"},
      {"last line without line end", "20240301080000 first\n20240301080001 last", "first\nlast\n"},
      {"15 bytes give an empty line, 16 their last byte", "20240301080000 \n20240301080000 x\nshort\n", "\nx\n\n"},
      {"lines after an empty line are kept", "20240301080000 a\n\n20240301080002 b\n", "a\n\nb\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    writeFile(dir / "sorted", c.sorted);
    removeTimestampField(LogSource{LogKind::Web, dir / "web.log"}, dir / "sorted");
    EXPECT_EQ(readFile(dir / "web.log"), c.expected) << c.name;
  }
  // Records that arrived at the log's path meanwhile are never written over.
  TempDir dir;
  writeFile(dir / "sorted", "20240301080000 new\n");
  writeFile(dir / "web.log", "records that arrived meanwhile\n");
  EXPECT_THROW(removeTimestampField(LogSource{LogKind::Web, dir / "web.log"}, dir / "sorted"), vexception);
  EXPECT_EQ(readFile(dir / "web.log"), "records that arrived meanwhile\n");
}

TEST(PrepareLog, SortsBytewiseRemovesTheKeysAndLeavesOnlyTheChunkAndItsMarker) {
  TempDir dir;
  const std::string chunk = dir / "web_20240301.log";
  // A byte-order mark before the first record costs it nothing.
  writeFile(chunk, "\xEF\xBB\xBF" "20240301100000 c\r\n20240301080000 a\r\n20240301090000 B\n20240301090000 a\n");
  ScopedEnv locale("LC_ALL", "de_DE.UTF-8");
  prepareLogForWebalizer(LogSource{LogKind::Web, chunk});
  // Bytewise: "B" (0x42) before "a" (0x61) for the same key.
  EXPECT_EQ(readFile(chunk), "a\nB\na\nc\n");
  EXPECT_EQ(namesIn(dir.path()), (Names{"web_20240301.log", "web_20240301.log.prepared"}));
  // Whatever the shell's locale (a machine without it sorts bytewise anyway), the sort gets the C locale alone.
  const Names env = makeSortCommand(chunk + ".sort1", chunk + ".sort2").environment;
  EXPECT_EQ(std::count_if(env.begin(), env.end(), [](const std::string& e) { return e.starts_with("LC_ALL="); }), 1);
  EXPECT_EQ(std::count(env.begin(), env.end(), "LC_ALL=C"), 1);
}

TEST(PrepareLog, AFailingSortOrCopyPutsTheUnsortedRecordsBack) {
  const struct {
    const char* sort;  // the stand-in's body
    LogKind kind;
    const char* reason;
  } cases[] = {
      {"echo 'sort: cannot read' >&2; exit 1", LogKind::Web, "cannot read"},
      // A sort that "succeeds" without writing all of its output.
      {"head -c 5; exit 0", LogKind::Ftp, "The sort wrote 5 bytes of the 34"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sort);
    TempDir dir;
    writeScript(dir / "sort", std::string("#!/bin/sh\n") + c.sort + "\n");
    ScopedEnv system("TARVO_SYSTEM_DIR", dir.path());
    const std::string records = "20240301100000 b\n20240301080000 a\n";
    writeFile(dir / "web.log", records);
    const std::string failure = failureOf([&] { prepareLogForWebalizer(LogSource{c.kind, dir / "web.log"}); });
    EXPECT_THAT(failure, AllOf(HasSubstr("Sort webalizer log file"), HasSubstr(c.reason)));
    EXPECT_EQ(readFile(dir / "web.log"), records);
    EXPECT_EQ(namesIn(dir.path()), (Names{"sort", "web.log"}));
  }
}

TEST(PrepareLog, ALeftOverSortFileNeverCostsTheChunkBesideIt) {
  // What a killed run left in .sort1, and what stands at the chunk's path.
  const std::string unsorted = "20240301070500 older\n20240301070000 old\n";
  const struct {
    const char* name;
    std::string atChunk;
    Names names;
  } cases[] = {
      {"a newer chunk of the same name", "20240301080000 new\n", {"web.log", "web.log.1"}},
      {"the unfinished copy, cut inside a line", "old\r\nold", {"web.log"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string chunk = dir / "web.log";
    writeFile(chunk, c.atChunk);
    writeFile(chunk + ".sort1", unsorted);
    // The preparation never starts over the leftover.
    EXPECT_THROW(prepareLogForWebalizer(LogSource{LogKind::Web, chunk}), vexception);
    EXPECT_EQ(readFile(chunk), c.atChunk);
    LogForWebalizer::recoverInterruptedPreparation(dir.path());
    EXPECT_EQ(namesIn(dir.path()), c.names);
    EXPECT_EQ(readFile(chunk), unsorted);
    if (c.names.size() > 1) {
      EXPECT_EQ(readFile(chunk + ".1"), c.atChunk);
    }
  }
}

TEST(Gathering, LogsOfAKindThatFollowEachOtherBecomeOneInTheirFieldsWithoutAByteOrderMark) {
  TempDir dir;
  writeFile(dir / "ftp_1.log", "ftp record\n");
  writeFile(dir / "web_1.log", "\xEF\xBB\xBF#Fields: time c-ip\r\n08:00:00 10.0.0.1\r\n");
  writeFile(dir / "web_2.log", "08:00:00 10.0.0.2");
  writeFile(dir / "web_3.log", "refused before\n");
  writeFile(dir / "web_4.log", "later\n");
  std::vector<LogSource> logs;
  for (const char* name : {"ftp_1.log", "web_1.log", "web_2.log", "web_3.log", "web_4.log"})
    logs.push_back(LogSource{name[0] == 'f' ? LogKind::Ftp : LogKind::Web, dir / name});
  const std::vector<LogSource> left = gatherLogsOfEachKind(
      dir.path(), logs, [](const LogSource& s) { return s.path.find("web_3") == std::string::npos; }, "#Fields: fixed");
  Names paths;
  for (const LogSource& s : left) paths.push_back(s.path);
  EXPECT_EQ(paths, (Names{dir / "ftp_1.log", dir / "web_1.log", dir / "web_3.log", dir / "web_4.log"}));
  EXPECT_EQ(readFile(dir / "web_1.log"), "#Fields: time c-ip\n08:00:00 10.0.0.1\n#Fields: fixed\n08:00:00 10.0.0.2\n");
  EXPECT_EQ(namesIn(dir.path()), (Names{"ftp_1.log", "web_1.log", "web_3.log", "web_4.log"}));
}

// The list a gathering writes before its first log goes (see log_gathering.h).
std::string gatheredList(const std::string& directory, const Names& names, const std::string& copy) {
  struct stat c {};
  ::stat(copy.c_str(), &c);
  std::string list = formatString("copy\t%llu\t%lld\n", (unsigned long long)c.st_ino, (long long)c.st_size);
  for (const std::string& name : names) {
    struct stat s {};
    ::stat((directory + "/" + name).c_str(), &s);
    list += formatString("%llu\t%lld\t%lld\t%s\n", (unsigned long long)s.st_ino, (long long)s.st_size,
                         (long long)s.st_mtim.tv_sec * 1000000000LL + s.st_mtim.tv_nsec, name);
  }
  return list + formatString("end\t%zu\n", names.size());
}

TEST(Gathering, AKilledGatheringIsFinishedOrUndoneAndEveryRecordStaysOnce) {
  const std::string first = "one\n", second = "two\n", copy = first + second;
  enum Step { CopyUnfinished, Listed, FirstRemoved, CopyRenamed, ListSpoiled };
  for (const Step step : {CopyUnfinished, Listed, FirstRemoved, CopyRenamed, ListSpoiled}) {
    SCOPED_TRACE(step);
    TempDir dir;
    const std::string one = dir / "web_1.log", two = dir / "web_2.log";
    writeFile(one, first);
    writeFile(two, second);
    writeFile(one + ".gathering", step == CopyUnfinished ? first : copy);
    if (step != CopyUnfinished)
      writeFile(one + ".gathered", gatheredList(dir.path(), {"web_1.log", "web_2.log"}, one + ".gathering"));
    if (step == FirstRemoved || step == CopyRenamed) fs::remove(one);
    if (step == CopyRenamed) {
      fs::remove(two);
      fs::rename(one + ".gathering", one);
    }
    if (step == ListSpoiled) writeFile(one + ".gathered", readFile(one + ".gathered").substr(0, 30));

    recoverInterruptedGathering(dir.path());
    const bool undone = step == CopyUnfinished || step == ListSpoiled;
    EXPECT_EQ(namesIn(dir.path()), (undone ? Names{"web_1.log", "web_2.log"} : Names{"web_1.log"}));
    EXPECT_EQ(readFile(one) + (undone ? readFile(two) : ""), copy);
  }
}

} // namespace
