// Attributes, removal, moving, copying, creation and enumeration, file
// handles and the line reader, against real files in a temporary directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
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
using Names = std::vector<std::string>;

uint32_t modeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Runs body in a child process and answers its exit code (128 + the signal
// that ended it); one still running after 60 s fails the test as what.
int inChild(const std::function<int()>& body, const std::string& what) {
  const pid_t child = ::fork();
  if (child == 0) {
    try {
      ::_exit(body());
    } catch (...) {
      ::_exit(2);
    }
  }
  return reapWithin(child, std::chrono::seconds(60), what);
}

struct FileOps : ::testing::Test {
  TempDir tmp;
};
using FileIo = FileOps;

TEST_F(FileOps, ExistenceAndAttributesComeFromTheItemItself) {
  writeFile(tmp / "dir/file.txt", "x");
  writeFile(tmp / "readonly.txt", "x");
  ::chmod((tmp / "readonly.txt").c_str(), 0444);
  stdfs::create_directory_symlink(tmp / "dir", tmp / "dirlink");
  stdfs::create_symlink(tmp / "readonly.txt", tmp / "filelink");
  stdfs::create_directory_symlink(tmp / "nowhere", tmp / "dangling");
  bool isDirectory = true;
  EXPECT_TRUE(fileExist(tmp / "dir/file.txt", &isDirectory) && !isDirectory);
  EXPECT_TRUE(fileExist(tmp / "dir", &isDirectory) && isDirectory);
  EXPECT_TRUE(fileExist(tmp / "dangling"));  // the link itself is there
  EXPECT_FALSE(fileExist(tmp / "missing/below"));
  // A path through a file is neither "not found" answer: it is a failure.
  const std::string through = tmp / "readonly.txt/inner";
  expectOsFailure([&] { fileExist(through); }, 267, "retrieves attributes for file or directory " + through,
                  "fileExist", 88);

  EXPECT_EQ(getFileAttributes(tmp / "dir"), file_attribute::Directory);
  EXPECT_EQ(getFileAttributes(tmp / "dir/file.txt"), file_attribute::Normal);
  EXPECT_EQ(getFileAttributes(tmp / "readonly.txt"), file_attribute::ReadOnly);
  EXPECT_EQ(getFileAttributes(tmp / "dirlink"), file_attribute::Directory | file_attribute::ReparsePoint);
  EXPECT_EQ(getFileAttributes(tmp / "filelink"), file_attribute::ReparsePoint);
  expectOsFailure([&] { getFileAttributes(tmp / "missing"); }, 2, "GetFileAttributes(" + (tmp / "missing") + ")",
                  "getFileAttributes", 50);
}

// Runs removeDir as the tree's owner: in a child under "nobody" when the test
// runs as root (root passes every permission check, which would prove
// nothing). Answers "" on success, else the failure's code and message.
std::string removeDirAsOwner(const std::string& root, bool force) {
  const auto attempt = [&]() -> std::string {
    try {
      removeDir(root, force, {});
      return {};
    } catch (const vosexception& e) {
      return std::to_string(e.errorCode()) + " " + e.message();
    }
  };
  if (::geteuid() != 0) return attempt();
  const std::string report = root + ".report";
  const int code = inChild([&] {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 3;
    writeFile(report, attempt());
    return 0;
  }, "removeDir as nobody");
  return code == 0 ? readFile(report) : "child status " + std::to_string(code);
}

TEST_F(FileOps, RemovesReadOnlyTreeWithForce) {
  stdfs::permissions(tmp.path(), stdfs::perms::all);  // the other account must reach its tree
  const std::string root = tmp / "tree";
  const char* const files[] = {"/a.log", "/sub/b.log", "/sub/deeper/c.log", "/sub/locked/d.log",
                               "/sub/listonly/inner/e.log"};
  for (const char* file : files) writeFile(root + file, "x");
  stdfs::create_directories(root + "/sub/empty");
  ASSERT_TRUE(::geteuid() != 0 || std::system(("chown -R 65534:65534 " + shellQuote(root)).c_str()) == 0);
  for (const char* file : files) ::chmod((root + file).c_str(), 0444);
  for (const char* dir : {"/sub/listonly/inner", "/sub/deeper", "/sub/empty", "/sub", ""})
    ::chmod((root + dir).c_str(), 0555);
  ::chmod((root + "/sub/locked").c_str(), 0);        // no rights at all
  ::chmod((root + "/sub/listonly").c_str(), 0444);   // names readable, kinds not

  // Without force the first file stops it, and says which.
  const std::string refused = removeDirAsOwner(root, false);
  EXPECT_THAT(refused, StartsWith("5 "));
  EXPECT_THAT(refused, HasSubstr("Delete file '" + root + "/"));
  EXPECT_TRUE(stdfs::exists(root + "/sub/deeper/c.log"));
  EXPECT_EQ(removeDirAsOwner(root, true), "");
  EXPECT_FALSE(stdfs::exists(root));
}

TEST_F(FileOps, RemovalsNeverGoThroughLinks) {
  writeFile(tmp / "outside/keep/data.txt", "precious");
  writeFile(tmp / "outside/readonly.txt", "ro");
  ::chmod((tmp / "outside/readonly.txt").c_str(), 0444);
  writeFile(tmp / "tree/own.txt", "x");
  stdfs::create_directory_symlink(tmp / "outside/keep", tmp / "tree/dirlink");
  stdfs::create_symlink(tmp / "outside/readonly.txt", tmp / "tree/filelink");
  stdfs::create_directory_symlink(tmp / "outside", tmp / "toplink");

  removeDir(tmp / "tree", true, {});
  EXPECT_FALSE(stdfs::exists(tmp / "tree"));
  EXPECT_EQ(modeOf(tmp / "outside/readonly.txt"), 0444u);  // force did not reach the target
  removeDir(tmp / "toplink", true, {});  // the path itself is a link: only the link goes
  EXPECT_FALSE(stdfs::is_symlink(tmp / "toplink"));
  EXPECT_EQ(readFile(tmp / "outside/keep/data.txt"), "precious");

  // A symbolic cgi-bin is replaced by an empty directory, its target left as it is.
  writeFile(tmp / "AWStats/readme.txt", "");
  stdfs::create_directory_symlink(tmp / "outside/keep", tmp / "AWStats/cgi-bin");
  removeDirReparsePoint(tmp / "AWStats/cgi-bin");
  EXPECT_EQ(getFileAttributes(tmp / "AWStats/cgi-bin"), file_attribute::Directory);
  EXPECT_TRUE(stdfs::is_empty(tmp / "AWStats/cgi-bin"));
  EXPECT_EQ(namesIn(tmp / "AWStats"), (Names{"cgi-bin", "readme.txt"}));  // nothing left aside
  EXPECT_EQ(readFile(tmp / "outside/keep/data.txt"), "precious");
  // A real directory is no reparse point: it stays with what it holds.
  expectOsFailure([&] { removeDirReparsePoint(tmp / "outside"); }, 87,
                  "Remove reparse point '" + (tmp / "outside") + "'", "VReparseDir::removeReparsePoint", 78);
  EXPECT_EQ(namesIn(tmp / "outside"), (Names{"keep", "readonly.txt"}));
}

// A tree 20,000 levels deep goes in one pass that costs the same at every
// level: the removal runs in a child that may hold little memory and few
// descriptors (rebuilding each path from the top took 1 GB and six minutes).
TEST_F(FileOps, RemovesATwentyThousandLevelTreeWithLittleMemory) {
  const std::string base = tmp.path();
  // On a disk every level costs a journal entry: fewer levels there, still
  // more than the old walk could remove within the memory limit.
  struct statfs where {};
  const int depth = ::statfs(base.c_str(), &where) == 0 && where.f_type == TMPFS_MAGIC ? 20000 : 6000;
  writeFile(base + "/outside/keep.txt", "precious");
  const std::string root = base + "/deep";
  ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  for (int level = 0; level < depth && fd >= 0; ++level) {
    if (level % 1000 == 0) ::close(::openat(fd, "record.log", O_CREAT | O_WRONLY, 0444));
    ASSERT_EQ(::mkdirat(fd, "d", 0755), 0);
    const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
    ::close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::symlinkat((base + "/outside").c_str(), fd, "link"), 0);  // at the bottom, not to be followed
  ::close(fd);

  const int code = inChild([&] {
    const struct rlimit memory {64u << 20, 64u << 20}, descriptors{32, 32};
    ::setrlimit(RLIMIT_DATA, &memory);
    ::setrlimit(RLIMIT_NOFILE, &descriptors);
    removeDir(root, true, {});  // a failure ends the child with 2
    return 0;
  }, "removing the deep tree (each level costs more than the last?)");
  EXPECT_EQ(code, 0);
  EXPECT_FALSE(stdfs::exists(root));
  EXPECT_EQ(readFile(base + "/outside/keep.txt"), "precious");
}

// Removal takes missing and read-only files but no directory; renaming and
// copying never replace a target unless asked to.
TEST_F(FileOps, RemoveRenameAndCopyOfSingleFiles) {
  removeFile(tmp / "missing", true, false, 0, 0);
  writeFile(tmp / "readonly.log", "x");
  ::chmod((tmp / "readonly.log").c_str(), 0444);
  removeFile(tmp / "readonly.log", true, false, 0, 0);
  stdfs::create_directory(tmp / "dir");
  expectOsFailure([&] { removeFile(tmp / "dir", true, false, 1, 1); }, 5, "DeleteFile '" + (tmp / "dir") + "'",
                  "removeFile", 621);
  writeFile(tmp / "a.log", "a");
  writeFile(tmp / "b.log", "b");
  renameFile(tmp / "a.log", tmp / "c.log", 0);  // no attempt, nothing done
  expectOsFailure([&] { renameFile(tmp / "a.log", tmp / "b.log", 3); }, 183,
                  "Rename file '" + (tmp / "a.log") + "' to '" + (tmp / "b.log") + "'", "renameFile", 741);
  renameFile(tmp / "a.log", tmp / "c.log", 1);
  EXPECT_EQ(namesIn(tmp.path()), (Names{"b.log", "c.log", "dir"}));  // the read-only file gone, the directory not
  EXPECT_EQ(readFile(tmp / "b.log"), "b");
  EXPECT_EQ(readFile(tmp / "c.log"), "a");

  std::string content;  // four of the copy's buffers, none like another
  for (int i = 0; content.size() < (1u << 20); ++i) content += std::to_string(i) + " ";
  writeFile(tmp / "source.bin", content);
  ::chmod((tmp / "source.bin").c_str(), 0640);
  const mode_t savedUmask = ::umask(077);  // the mode is the source's, whatever the umask
  copyFile(tmp / "source.bin", tmp / "copy.bin", true);
  ::umask(savedUmask);
  EXPECT_EQ(readFile(tmp / "copy.bin"), content);
  EXPECT_EQ(modeOf(tmp / "copy.bin"), 0640u);
  EXPECT_EQ(stdfs::last_write_time(tmp / "copy.bin"), stdfs::last_write_time(tmp / "source.bin"));

  writeFile(tmp / "existing.bin", "old");
  expectOsFailure([&] { copyFile(tmp / "source.bin", tmp / "existing.bin", true); }, 80,
                  "copy file " + (tmp / "source.bin") + " to " + (tmp / "existing.bin"), "copyFile", 720);
  EXPECT_EQ(readFile(tmp / "existing.bin"), "old");
  copyFile(tmp / "source.bin", tmp / "existing.bin", false);
  EXPECT_EQ(readFile(tmp / "existing.bin"), content);
  // Onto itself (or a second name of it) a copy would truncate the source.
  stdfs::create_hard_link(tmp / "source.bin", tmp / "hardlink.bin");
  expectOsFailure([&] { copyFile(tmp / "source.bin", tmp / "hardlink.bin", false); }, 32,
                  "copy file " + (tmp / "source.bin") + " to " + (tmp / "hardlink.bin"), "copyFile", 720);
  EXPECT_EQ(readFile(tmp / "source.bin"), content);
}

TEST_F(FileOps, MakeDirAndTheTempAndWellKnownFolders) {
  makeDir(tmp / "a/b/c/");
  writeFile(tmp / "a/b/c/keep.txt", "x");
  makeDir(tmp / "a/b/c/keep.txt");  // an existing file counts as there
  EXPECT_EQ(readFile(tmp / "a/b/c/keep.txt"), "x");
  EXPECT_EQ(failureOf([] { makeDir(""); }),
            "Unable to create directory with wrong name\n   at (VDirectory::createDirectory line 105)");
  EXPECT_THROW(makeDir(tmp / "a/b/c/keep.txt/sub"), vosexception);

  ScopedEnv tmpdir("TMPDIR", tmp / "made/tmp");
  EXPECT_EQ(tempPath(), tmp / "made/tmp/");
  EXPECT_EQ(modeOf(tmp / "made/tmp"), 01777u);
  ScopedEnv system("TARVO_SYSTEM_DIR", tmp / "system/");
  EXPECT_THAT(failureOf([] { getWellKnownPath(0x25, false); }),  // not there and not to be made
              StartsWith("SHGetSpecialFolderPath failed for index 37\n   at (getWellKnownPath line 363)"));
  EXPECT_EQ(getWellKnownPath(0x25, true), tmp / "system");
}

TEST_F(FileOps, FinderReportsDotsAndMatchesLikeWindows) {
  for (const char* name : {"access_log", "Web_Stat_Executor.CONF", "error.log"}) writeFile(tmp / "logs/" + name, "");
  stdfs::create_directory(tmp / "logs/old");
  Names names;
  VFileFinder finder;
  ASSERT_TRUE(finder.first(tmp / "logs/*.*"));
  do {
    names.push_back(finder.name() + (finder.isDirectory() ? "/" : "") + (finder.isDots() ? "!" : ""));
  } while (finder.next());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (Names{"../!", "./!", "Web_Stat_Executor.CONF", "access_log", "error.log", "old/"}));
  // Names match by matchFilePattern (file_name_test's table).
  ASSERT_TRUE(finder.first(tmp / "logs/web_stat_executor.conf"));
  EXPECT_EQ(finder.name(), "Web_Stat_Executor.CONF");
  EXPECT_FALSE(finder.next());
  EXPECT_FALSE(finder.first(tmp / "missing/*.*"));
  expectOsFailure([&] { finder.first(tmp / "logs/error.log/*.*"); }, 267,
                  "FindFirstFile(" + (tmp / "logs/error.log/*.*") + ")", "VFileFinder::first", 390);
}

TEST_F(FileOps, WorksBeyondTheKernelPathLimit) {
  std::string deep = tmp / "top";
  for (int i = 0; i < 24; ++i) deep += "/" + std::string(240, static_cast<char>('a' + i));
  makeDir(deep);  // over 5000 characters
  const std::string file = deep + "/access_log";
  VFile out;
  out.open(file, GenericWrite, 0, CreateNew);
  out.write("record\n", 7);
  out.close();
  copyFile(file, file + ".copy", true);
  renameFile(file + ".copy", file + ".moved", 1);
  removeFile(file);
  EXPECT_EQ(readFileContents(file + ".moved"), "record\n");
  EXPECT_FALSE(fileExist(file));
  removeDir(tmp / "top", true, {});
  EXPECT_FALSE(stdfs::exists(tmp / "top"));
}

// ---------------------------------------------------------------- handles and lines

TEST_F(FileIo, DispositionsTable) {
  const struct {
    const char* name;
    uint32_t disposition;
    bool exists;
    uint32_t failure;       // 0: opens
    const char* afterOpen;  // the content right after opening
  } cases[] = {
      {"create-new", CreateNew, false, 0, ""},         {"create-new-existing", CreateNew, true, 80, "old"},
      {"create-always", CreateAlways, true, 0, ""},    {"open-existing", OpenExisting, true, 0, "old"},
      {"open-existing-missing", OpenExisting, false, 2, nullptr},
      {"open-always", OpenAlways, true, 0, "old"},     {"open-always-missing", OpenAlways, false, 0, ""},
      {"truncate-existing", TruncateExisting, true, 0, ""}, {"bad-disposition", 9, true, 87, "old"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = tmp / c.name;
    if (c.exists) writeFile(path, "old");
    VFile file;
    if (c.failure)
      expectOsFailure([&] { file.open(path, GenericRead | GenericWrite, 0, c.disposition); }, c.failure,
                      "Open file '" + path + "'", "VFile::open", 104);
    else
      file.open(path, GenericRead | GenericWrite, ShareRead, c.disposition);  // raises when it fails
    EXPECT_EQ(file.isOpen(), !c.failure);
    if (c.afterOpen) EXPECT_EQ(readFile(path), c.afterOpen);
    else EXPECT_FALSE(stdfs::exists(path));
  }
  // A directory is no file.
  expectOsFailure([&] { VFile().open(tmp.path(), GenericRead, 0, OpenExisting); }, 5,
                  "Open file '" + tmp.path() + "'", "VFile::open", 104);
}

TEST_F(FileIo, ReadWriteSeekAndTheirFailures) {
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
  VFile writeOnly;
  writeOnly.open(tmp / "data", GenericWrite, 0, OpenExisting);
  expectOsFailure([&] { writeOnly.read(buf, 1); }, 6, "Read from file '" + (tmp / "data") + "'", "VFile::read", 112);
}

// A write cut short carries the count, what got through and the system's
// reason for the rest. A full disk's code and reason: faults_test's
// DiskFullInTheStatisticsDirectory shows them.
TEST_F(FileIo, ShortWriteRaisesWithTheByteCountAndTheReason) {
  // The file-size limit lets the first 10 bytes through and refuses the rest.
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto* previous = std::signal(SIGXFSZ, SIG_IGN);
  const struct rlimit small {10, saved.rlim_max};
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
}

TEST_F(FileIo, ReadLineTable) {
  const size_t buffer = BufferedFileReader::kBufferSize;
  const std::string longLine(3 * buffer + 5, 'L');  // spans four refills
  const std::string nearBoundary(buffer - 1, 'x');  // its CR is the buffer's last byte, the LF the next one's first
  const std::pair<std::string, Names> cases[] = {  // bytes, lines
      {"", {}}, {"a\r\nb", {"a", "b"}}, {"\n\n", {"", ""}}, {"a\rb\r\r\n", {"ab"}},
      {longLine + "\n" + "short", {longLine, "short"}},
      {nearBoundary + "\r\n" + "y", {nearBoundary, "y"}},
      {std::string(buffer, 'z') + "\n", {std::string(buffer, 'z')}},
      {std::string("nul\0inside\n", 11), {std::string("nul\0inside", 10)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    writeFile(tmp / "lines", c.first);
    VFile file;
    file.open(tmp / "lines", GenericRead, ShareRead, OpenExisting, SequentialScan);
    BufferedFileReader reader(file);
    Names lines;
    std::string line = "untouched";
    while (reader.readLine(line)) lines.push_back(line);
    EXPECT_EQ(lines, c.second);
    EXPECT_EQ(line, "");  // past the end: an empty line and false
    EXPECT_FALSE(reader.readLine(line));
  }
}

} // namespace
