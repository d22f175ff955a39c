// Moving index.html aside: the backup name and what happens when it is taken.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>

#include "platform/process_identity.h"
#include "support/errors.h"
#include "support/format.h"
#include "tests/common/test_env.h"
#include "webalizer/log_for_webalizer.h"

namespace fs = std::filesystem;
using namespace testenv;
using ::testing::HasSubstr;

namespace {

std::string backupName(const std::string& path, int64_t seconds) {
  return path + formatString("%d%d", static_cast<int>(platform::threadId()), static_cast<int32_t>(seconds));
}

TEST(BackupFile, WaitsForAFreeNameAndNeverReplacesATakenOne) {
  TempDir dir;
  const std::string index = dir / "index.html";
  writeFile(index, "report");
  // The names of this second and the next two are taken.
  const int64_t now = std::time(nullptr);
  for (int64_t t = now; t < now + 3; ++t) writeFile(backupName(index, t), "taken");

  const std::string backup = backupFile(index);
  EXPECT_FALSE(fs::exists(index));
  EXPECT_EQ(readFile(backup), "report");
  EXPECT_EQ(backup.rfind(index + std::to_string(platform::threadId()), 0), 0u) << backup;
  for (int64_t t = now; t < now + 3; ++t) {
    EXPECT_NE(backup, backupName(index, t));
    EXPECT_EQ(readFile(backupName(index, t)), "taken");
  }
}

TEST(BackupFile, AMissingFileFailsAtOnceWithThePath) {
  TempDir dir;
  const std::string failure = failureOf([&] { backupFile(dir / "index.html"); });
  EXPECT_THAT(failure, HasSubstr("Can't create backup file: " + (dir / "index.html")));
  EXPECT_THAT(failure, HasSubstr("(backupFile line 204)"));
}

} // namespace
