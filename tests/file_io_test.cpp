// File handles and the line reader against real files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "support/errors.h"
#include "support/file_ops.h"
#include "tests/common/test_env.h"

namespace {

namespace stdfs = std::filesystem;
using namespace testenv;
using namespace file_open;
using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(FileIo, DispositionsTable) {
  TempDir tmp;
  struct Case {
    const char* name;
    uint32_t disposition;
    bool exists;
    uint32_t failure;       // 0: opens
    const char* afterOpen;  // the content right after opening
  };
  const Case cases[] = {
      {"create-new", CreateNew, false, 0, ""},
      {"create-new-existing", CreateNew, true, 80, "old"},
      {"create-always", CreateAlways, true, 0, ""},
      {"open-existing", OpenExisting, true, 0, "old"},
      {"open-existing-missing", OpenExisting, false, 2, nullptr},
      {"open-always", OpenAlways, true, 0, "old"},
      {"open-always-missing", OpenAlways, false, 0, ""},
      {"truncate-existing", TruncateExisting, true, 0, ""},
      {"bad-disposition", 9, true, 87, "old"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = tmp / c.name;
    if (c.exists) writeFile(path, "old");
    VFile file;
    if (c.failure) {
      expectOsFailure([&] { file.open(path, GenericRead | GenericWrite, 0, c.disposition); }, c.failure,
                      "Open file '" + path + "'", "VFile::open", 104);
      EXPECT_FALSE(file.isOpen());
    } else {
      file.open(path, GenericRead | GenericWrite, ShareRead, c.disposition);
      EXPECT_EQ(file.name(), path);
    }
    if (c.afterOpen) EXPECT_EQ(readFile(path), c.afterOpen);
    else EXPECT_FALSE(std::filesystem::exists(path));
  }
  // A directory is no file unless asked for with backup semantics.
  expectOsFailure([&] { VFile().open(tmp.path(), GenericRead, 0, OpenExisting); }, 5,
                  "Open file '" + tmp.path() + "'", "VFile::open", 104);
  VFile directory;
  directory.open(tmp.path(), GenericRead, 0, OpenExisting, BackupSemantics);
  EXPECT_TRUE(directory.isOpen());
}

TEST(FileIo, ReadWriteSeekAndTheirFailures) {
  TempDir tmp;
  VFile file;
  file.open(tmp / "data", GenericRead | GenericWrite, 0, CreateAlways);
  EXPECT_EQ(file.write("0123456789", 10), 10u);
  EXPECT_EQ(file.seek(-4, VFile::End), 6u);
  char buf[16] = {};
  EXPECT_EQ(file.read(buf, sizeof buf), 4u);
  EXPECT_EQ(std::string(buf, 4), "6789");
  EXPECT_EQ(file.read(buf, sizeof buf), 0u);  // the end is an answer, not a failure
  expectOsFailure([&] { file.seek(-1, VFile::Begin); }, 87, "Unable seek in file '" + (tmp / "data") + "'",
                  "VFile::seek", 180);
  VFile moved = std::move(file);
  EXPECT_FALSE(file.isOpen());
  EXPECT_EQ(moved.seek(0, VFile::Current), 10u);
  VFile writeOnly;
  writeOnly.open(tmp / "data", GenericWrite, 0, OpenExisting);
  expectOsFailure([&] { writeOnly.read(buf, 1); }, 6, "Read from file '" + (tmp / "data") + "'", "VFile::read", 112);
}

// A write cut short carries the count, what got through and the system's
// reason for the rest.
TEST(FileIo, ShortWriteRaisesWithTheByteCountAndTheReason) {
  TempDir tmp;
  // The file-size limit lets the first 10 bytes through and refuses the rest.
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto* previous = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 10;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string path = tmp / "limited.log";
  VFile file;
  file.open(path, GenericWrite, 0, CreateAlways);
  const std::string record(100, 'r');
  const std::string shortWrite = failureOf([&] { file.write(record.data(), record.size(), true); });
  const std::string pastLimit = failureOf([&] { file.write(record.data(), record.size(), false); });
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_THAT(shortWrite, StartsWith("File too large (Error code "));
  EXPECT_THAT(shortWrite, HasSubstr(" at Unable to write 100 bytes into file '" + path + "' (10 written)\n"));
  EXPECT_THAT(shortWrite, HasSubstr("(VFile::write line 132)"));
  EXPECT_THAT(pastLimit, HasSubstr("Write to file '" + path + "'"));  // nothing at all written
  EXPECT_EQ(readFile(path), std::string(10, 'r'));

  // A disk with 16 KiB: what fits is written, then there is no space left.
  const std::string disk = tmp / "disk";
  stdfs::create_directory(disk);
  if (std::system(("mount -t tmpfs -o size=16k tmpfs " + shellQuote(disk) + " 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "a full disk needs a tmpfs, and mounting one needs root";
  struct Unmount {
    std::string dir;
    ~Unmount() { (void)!std::system(("umount " + shellQuote(dir)).c_str()); }
  } unmount{disk};
  const std::string big(64 * 1024, 'r');
  VFile full;
  full.open(disk + "/chunk.log", GenericWrite, 0, CreateAlways);
  uint32_t code = 0;
  std::string message;
  try {
    full.write(big.data(), big.size(), true);
  } catch (const vosexception& e) {
    code = e.errorCode();
    message = e.message();
  }
  EXPECT_EQ(code, 112u);
  EXPECT_THAT(message, StartsWith("No space left on device (Error code 112) at Unable to write 65536 bytes into file '" +
                                  disk + "/chunk.log' ("));
}

std::vector<std::string> linesOf(const std::string& path) {
  VFile file;
  file.open(path, GenericRead, ShareRead, OpenExisting, SequentialScan);
  BufferedFileReader reader(file);
  std::vector<std::string> lines;
  std::string line = "untouched";
  while (reader.readLine(line)) lines.push_back(line);
  EXPECT_EQ(line, "");  // past the end: an empty line and false
  EXPECT_FALSE(reader.readLine(line));
  return lines;
}

TEST(FileIo, ReadLineTable) {
  TempDir tmp;
  const size_t buffer = BufferedFileReader::kBufferSize;
  const std::string longLine(3 * buffer + 5, 'L');  // spans four refills
  const std::string nearBoundary(buffer - 1, 'x');  // its CR is the buffer's last byte, the LF the next one's first
  struct Case {
    std::string bytes;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"a\r\nb", {"a", "b"}},
      {"\n\n", {"", ""}},
      {"a\rb\r\r\n", {"ab"}},
      {longLine + "\n" + "short", {longLine, "short"}},
      {nearBoundary + "\r\n" + "y", {nearBoundary, "y"}},
      {std::string(buffer, 'z') + "\n", {std::string(buffer, 'z')}},
      {std::string(buffer - 1, 'z') + "\n" + "w", {std::string(buffer - 1, 'z'), "w"}},
      {std::string("nul\0inside\n", 11), {std::string("nul\0inside", 10)}},
  };
  int i = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(i);
    const std::string path = tmp / ("case" + std::to_string(i++));
    writeFile(path, c.bytes);
    EXPECT_EQ(linesOf(path), c.lines);
  }
}

} // namespace
