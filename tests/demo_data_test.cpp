// The demo tree generator: counts that match what lies on disk exactly (the
// fault runs hold the engines' totals against them) and a day appended later
// equal to that day of a longer layout.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/common/test_env.h"
#include "tools/demo_data/demo_tree.h"

namespace {

using namespace demo;
using testenv::readFile;

const UnixTime kStart = fromCivilDay(2026, 10, 30);
constexpr UnixTime kDay = 86400;

std::string logOf(const std::string& root, const KindCount& c, UnixTime day) {
  return readFile(configDir(root, *c.domain) + "/" + logFileName(c.kind, day));
}

TEST(DemoTree, CountsMatchTheFilesAndAnAppendedDayIsThatDayOfALongerLayout) {
  testenv::TempDir tmp;
  const TreeSettings settings{.seed = 11, .webRecordsPerDay = 120};
  const Counts counts = layOut(tmp / "a", settings, kStart, 2);
  ASSERT_EQ(counts.size(), demoDomains().size() * 3);
  for (const KindCount& c : counts) {
    SCOPED_TRACE(c.domain->name + " " + kindPrefix(c.kind));
    std::string text;
    for (UnixTime day : {kStart, kStart + kDay}) text += logOf(tmp / "a", c, day);
    std::int64_t lines = std::count(text.begin(), text.end(), '\n'), crlf = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) ++crlf;
    EXPECT_EQ(c.files, 2);
    EXPECT_GT(c.records, 0);
    EXPECT_EQ(c.records, lines);
    EXPECT_EQ(crlf, lines);
  }

  EXPECT_THROW(appendDay(tmp / "a", kStart + kDay), NoDayLeft);  // the third day lies after "today"
  layOut(tmp / "b", settings, kStart, 3);
  for (const KindCount& c : appendDay(tmp / "a", kStart + 2 * kDay)) {
    EXPECT_EQ(c.files, 1);
    EXPECT_EQ(logOf(tmp / "a", c, kStart + 2 * kDay), logOf(tmp / "b", c, kStart + 2 * kDay)) << c.domain->name;
  }
  EXPECT_THAT(readFile(stateFilePath(tmp / "a")), ::testing::HasSubstr("last_day=" + formatDay(kStart + 2 * kDay)));
}

} // namespace
