// Attributes, removal, moving, copying, creation and enumeration against real
// files in a temporary directory.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>

#include "support/errors.h"
#include "support/file_ops.h"
#include "tests/common/test_env.h"

namespace {

namespace stdfs = std::filesystem;
using testenv::readFile;
using testenv::TempDir;
using testenv::writeFile;

// Runs op, which must raise a vosexception with this code, message text
// (after the system's text) and place.
void expectOsFailure(const std::function<void()>& op, uint32_t code, const std::string& text,
                     const std::string& function, int line) {
  try {
    op();
    ADD_FAILURE() << "no exception for " << text;
  } catch (const vosexception& e) {
    EXPECT_EQ(e.errorCode(), code) << e.fullMessage();
    EXPECT_EQ(e.message(), formatSystemMessage(code, text));
    ASSERT_EQ(e.places().size(), 1u);
    EXPECT_EQ(e.places()[0].function, function);
    EXPECT_EQ(e.places()[0].line, line);
  }
}

uint32_t modeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

void makeReadOnly(const std::string& path) {
  stdfs::permissions(path, stdfs::perms::owner_write | stdfs::perms::group_write | stdfs::perms::others_write,
                     stdfs::perm_options::remove);
}

TEST(FileOps, FileExistAnswersAndRaises) {
  TempDir tmp;
  writeFile(tmp / "file.txt", "x");
  bool isDirectory = true;
  EXPECT_TRUE(fileExist(tmp / "file.txt", &isDirectory));
  EXPECT_FALSE(isDirectory);
  EXPECT_TRUE(fileExist(tmp.path(), &isDirectory));
  EXPECT_TRUE(isDirectory);
  EXPECT_FALSE(fileExist(tmp / "missing"));
  EXPECT_FALSE(fileExist(tmp / "missing/below"));
  stdfs::create_directory_symlink(tmp / "nowhere", tmp / "dangling");
  EXPECT_TRUE(fileExist(tmp / "dangling"));  // the link itself is there
  // A path through a file is neither "not found" answer: it is a failure.
  const std::string through = tmp / "file.txt/inner";
  expectOsFailure([&] { fileExist(through); }, 267, "retrieves attributes for file or directory " + through,
                  "fileExist", 88);
}

TEST(FileOps, AttributesComeFromTheItemItself) {
  TempDir tmp;
  writeFile(tmp / "dir/file.txt", "x");
  writeFile(tmp / "readonly.txt", "x");
  makeReadOnly(tmp / "readonly.txt");
  stdfs::create_directory_symlink(tmp / "dir", tmp / "dirlink");
  stdfs::create_symlink(tmp / "readonly.txt", tmp / "filelink");
  EXPECT_EQ(getFileAttributes(tmp / "dir"), file_attribute::Directory);
  EXPECT_EQ(getFileAttributes(tmp / "dir/file.txt"), file_attribute::Normal);
  EXPECT_EQ(getFileAttributes(tmp / "readonly.txt"), file_attribute::ReadOnly);
  EXPECT_EQ(getFileAttributes(tmp / "dirlink"), file_attribute::Directory | file_attribute::ReparsePoint);
  EXPECT_EQ(getFileAttributes(tmp / "filelink"), file_attribute::ReparsePoint);
  expectOsFailure([&] { getFileAttributes(tmp / "missing"); }, 2, "GetFileAttributes(" + (tmp / "missing") + ")",
                  "getFileAttributes", 50);

  // Clearing read-only through a link changes neither link nor target.
  setFileAttributes(tmp / "filelink", file_attribute::ReadOnly);
  EXPECT_EQ(modeOf(tmp / "readonly.txt") & S_IWUSR, 0u);
  setFileAttributes(tmp / "readonly.txt", file_attribute::ReadOnly);
  EXPECT_EQ(getFileAttributes(tmp / "readonly.txt"), file_attribute::Normal);
  EXPECT_NE(modeOf(tmp / "readonly.txt") & S_IWUSR, 0u);
  expectOsFailure([&] { setFileAttributes(tmp / "missing", file_attribute::ReadOnly); }, 2,
                  "SetFileAttributes(" + (tmp / "missing") + ")", "setFileAttributes", 57);
}

TEST(FileOps, RemoveFileSucceedsOnMissingAndReadOnly) {
  TempDir tmp;
  removeFile(tmp / "missing", true, false, 0, 0);
  writeFile(tmp / "readonly.log", "x");
  makeReadOnly(tmp / "readonly.log");
  removeFile(tmp / "readonly.log", true, false, 0, 0);
  EXPECT_FALSE(stdfs::exists(tmp / "readonly.log"));
  stdfs::create_directory(tmp / "dir");
  expectOsFailure([&] { removeFile(tmp / "dir", true, false, 1, 1); }, 5, "DeleteFile '" + (tmp / "dir") + "'",
                  "removeFile", 621);
  EXPECT_TRUE(stdfs::is_directory(tmp / "dir"));
  expectOsFailure([&] { removeFile(tmp / "gone/x.log"); }, 3, "DeleteFile '" + (tmp / "gone/x.log") + "'",
                  "removeFile", 621);
}

// A tree of read-only files in read-only directories, owned by owner.
void layReadOnlyTree(const std::string& root, uid_t owner) {
  writeFile(root + "/a.log", "a");
  writeFile(root + "/sub/b.log", "b");
  writeFile(root + "/sub/deeper/c.log", "c");
  writeFile(root + "/sub/locked/d.log", "d");         // no rights at all
  writeFile(root + "/sub/listonly/inner/e.log", "e");  // names readable, kinds not
  stdfs::create_directories(root + "/sub/empty");
  for (const auto& entry : stdfs::recursive_directory_iterator(root)) {
    ASSERT_EQ(::lchown(entry.path().c_str(), owner, owner), 0);
  }
  ASSERT_EQ(::lchown(root.c_str(), owner, owner), 0);
  for (const char* file : {"/a.log", "/sub/b.log", "/sub/deeper/c.log", "/sub/locked/d.log", "/sub/listonly/inner/e.log"})
    ::chmod((root + file).c_str(), 0444);
  for (const char* dir : {"/sub/listonly/inner", "/sub/deeper", "/sub/empty", "/sub", ""}) ::chmod((root + dir).c_str(), 0555);
  ::chmod((root + "/sub/locked").c_str(), 0);
  ::chmod((root + "/sub/listonly").c_str(), 0444);
}

// Runs removeDir in a child under the account "nobody" when the test runs as
// root (root passes every permission check, which would prove nothing).
// Answers "" on success, else the failure's code and message.
std::string removeDirAsOwner(const std::string& root, bool force) {
  if (::geteuid() != 0) {
    try {
      removeDir(root, force, {});
      return {};
    } catch (const vosexception& e) {
      return std::to_string(e.errorCode()) + " " + e.message();
    }
  }
  const std::string report = root + ".report";
  const pid_t child = ::fork();
  if (child == 0) {
    int status = 0;
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    try {
      removeDir(root, force, {});
    } catch (const vosexception& e) {
      writeFile(report, std::to_string(e.errorCode()) + " " + e.message());
      status = 1;
    } catch (...) {
      status = 2;
    }
    ::_exit(status);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
  const std::string text = stdfs::exists(report) ? readFile(report) : "child status " + std::to_string(status);
  stdfs::remove(report);
  return text;
}

TEST(FileOps, RemovesReadOnlyTreeWithForce) {
  TempDir tmp;
  stdfs::permissions(tmp.path(), stdfs::perms::all);  // the other account must reach its tree
  const std::string root = tmp / "tree";
  const uid_t owner = ::geteuid() == 0 ? 65534 : ::geteuid();
  layReadOnlyTree(root, owner);
  // Without force the first file stops it, and says which.
  const std::string refused = removeDirAsOwner(root, false);
  EXPECT_EQ(refused.rfind("5 ", 0), 0u) << refused;
  EXPECT_NE(refused.find("Delete file '" + root + "/"), std::string::npos) << refused;
  EXPECT_TRUE(stdfs::exists(root + "/sub/deeper/c.log"));
  EXPECT_EQ(removeDirAsOwner(root, true), "");
  EXPECT_FALSE(stdfs::exists(root));
}

TEST(FileOps, RemoveDirNeverGoesThroughLinks) {
  TempDir tmp;
  writeFile(tmp / "outside/keep/data.txt", "precious");
  writeFile(tmp / "outside/readonly.txt", "ro");
  makeReadOnly(tmp / "outside/readonly.txt");
  const uint32_t modeBefore = modeOf(tmp / "outside/readonly.txt");
  writeFile(tmp / "tree/own.txt", "x");
  stdfs::create_directory_symlink(tmp / "outside/keep", tmp / "tree/dirlink");
  stdfs::create_symlink(tmp / "outside/readonly.txt", tmp / "tree/filelink");
  stdfs::create_directory_symlink(tmp / "outside", tmp / "toplink");

  removeDir(tmp / "tree", true, {});
  EXPECT_FALSE(stdfs::exists(tmp / "tree"));
  EXPECT_EQ(readFile(tmp / "outside/keep/data.txt"), "precious");
  EXPECT_EQ(modeOf(tmp / "outside/readonly.txt"), modeBefore);  // force did not reach the target

  removeDir(tmp / "toplink", true, {});  // the path itself is a link: only the link goes
  EXPECT_FALSE(stdfs::is_symlink(tmp / "toplink"));
  EXPECT_EQ(readFile(tmp / "outside/keep/data.txt"), "precious");
}

TEST(FileOps, SymlinkedCgiBinIsReplacedWithoutTouchingItsTarget) {
  TempDir tmp;
  const std::string installation = tmp / "awstats/wwwroot/cgi-bin";
  writeFile(installation + "/awstats.pl", "#!/usr/bin/perl\n");
  writeFile(installation + "/lib/main.pm", "1;\n");
  const std::string folder = tmp / "domain/statistics/webstat/AWStats";
  stdfs::create_directories(folder);
  const std::string cgiBin = folder + "/cgi-bin";
  stdfs::create_directory_symlink(installation, cgiBin);

  ASSERT_TRUE(fileExist(cgiBin));
  ASSERT_TRUE(getFileAttributes(cgiBin) & file_attribute::ReparsePoint);
  removeDirReparsePoint(cgiBin);
  EXPECT_FALSE(stdfs::is_symlink(cgiBin));
  EXPECT_TRUE(stdfs::is_directory(cgiBin));
  EXPECT_TRUE(stdfs::is_empty(cgiBin));
  EXPECT_EQ(getFileAttributes(cgiBin), file_attribute::Directory);
  EXPECT_EQ(readFile(installation + "/awstats.pl"), "#!/usr/bin/perl\n");
  EXPECT_EQ(readFile(installation + "/lib/main.pm"), "1;\n");
  EXPECT_EQ(std::distance(stdfs::directory_iterator(folder), stdfs::directory_iterator()), 1);  // nothing left aside

  removeDir(tmp / "domain/statistics/webstat/AWStats", true, {});
  EXPECT_EQ(readFile(installation + "/awstats.pl"), "#!/usr/bin/perl\n");

  // A real directory is no reparse point: it stays with what it holds.
  writeFile(tmp / "real/file.txt", "x");
  expectOsFailure([&] { removeDirReparsePoint(tmp / "real"); }, 87,
                  "Remove reparse point '" + (tmp / "real") + "'", "VReparseDir::removeReparsePoint", 78);
  EXPECT_EQ(readFile(tmp / "real/file.txt"), "x");
  expectOsFailure([&] { VReparseDir(tmp / "missing", true); }, 2, "Open file '" + (tmp / "missing") + "'",
                  "VReparseDir::VReparseDir", 54);
}

TEST(FileOps, RenameKeepsExistingTargets) {
  TempDir tmp;
  writeFile(tmp / "a.log", "a");
  writeFile(tmp / "b.log", "b");
  renameFile(tmp / "a.log", tmp / "c.log", 0);
  EXPECT_EQ(readFile(tmp / "a.log"), "a");
  EXPECT_FALSE(stdfs::exists(tmp / "c.log"));
  const std::string text = "Rename file '" + (tmp / "a.log") + "' to '" + (tmp / "b.log") + "'";
  expectOsFailure([&] { renameFile(tmp / "a.log", tmp / "b.log", 3); }, 183, text, "renameFile", 741);
  EXPECT_EQ(readFile(tmp / "a.log"), "a");
  EXPECT_EQ(readFile(tmp / "b.log"), "b");
  renameFile(tmp / "a.log", tmp / "c.log", 1);
  EXPECT_EQ(readFile(tmp / "c.log"), "a");
  EXPECT_FALSE(stdfs::exists(tmp / "a.log"));
  expectOsFailure([&] { renameFile(tmp / "a.log", tmp / "d.log", 1); }, 2,
                  "Rename file '" + (tmp / "a.log") + "' to '" + (tmp / "d.log") + "'", "renameFile", 741);
  expectOsFailure([&] { renameFile(tmp / "c.log", tmp / "none/d.log", 1); }, 3,
                  "Rename file '" + (tmp / "c.log") + "' to '" + (tmp / "none/d.log") + "'", "renameFile", 741);
}

TEST(FileOps, CopyPreservesContentAndRefusesToDestroy) {
  TempDir tmp;
  std::string content(1 << 20, '\0');
  std::mt19937 random(7);
  for (char& c : content) c = static_cast<char>(random());
  content += "\r\n\0tail";
  writeFile(tmp / "source.bin", content);
  ::chmod((tmp / "source.bin").c_str(), 0640);
  copyFile(tmp / "source.bin", tmp / "copy.bin", true);
  EXPECT_EQ(readFile(tmp / "copy.bin"), content);
  EXPECT_EQ(modeOf(tmp / "copy.bin"), 0640u);
  EXPECT_EQ(stdfs::last_write_time(tmp / "copy.bin"), stdfs::last_write_time(tmp / "source.bin"));

  writeFile(tmp / "existing.bin", "old");
  const std::string text = "copy file " + (tmp / "source.bin") + " to " + (tmp / "existing.bin");
  expectOsFailure([&] { copyFile(tmp / "source.bin", tmp / "existing.bin", true); }, 80, text, "copyFile", 720);
  EXPECT_EQ(readFile(tmp / "existing.bin"), "old");
  copyFile(tmp / "source.bin", tmp / "existing.bin", false);
  EXPECT_EQ(readFile(tmp / "existing.bin"), content);

  // Onto itself (or a second name of it) a copy would truncate the source.
  stdfs::create_hard_link(tmp / "source.bin", tmp / "hardlink.bin");
  expectOsFailure([&] { copyFile(tmp / "source.bin", tmp / "hardlink.bin", false); }, 32,
                  "copy file " + (tmp / "source.bin") + " to " + (tmp / "hardlink.bin"), "copyFile", 720);
  EXPECT_EQ(readFile(tmp / "source.bin"), content);

  expectOsFailure([&] { copyFile(tmp / "missing", tmp / "x", false); }, 2,
                  "copy file " + (tmp / "missing") + " to " + (tmp / "x"), "copyFile", 720);
  expectOsFailure([&] { copyFile(tmp / "source.bin", tmp / "no/x", false); }, 3,
                  "copy file " + (tmp / "source.bin") + " to " + (tmp / "no/x"), "copyFile", 720);
}

TEST(FileOps, MakeDirCreatesParentsAndLeavesWhatExists) {
  TempDir tmp;
  makeDir(tmp / "a/b/c/");
  EXPECT_TRUE(stdfs::is_directory(tmp / "a/b/c"));
  writeFile(tmp / "a/b/c/keep.txt", "x");
  makeDir(tmp / "a/b/c");
  EXPECT_EQ(readFile(tmp / "a/b/c/keep.txt"), "x");
  makeDir(tmp / "a/b/c/keep.txt");  // an existing file counts as there
  try {
    makeDir("");
    ADD_FAILURE();
  } catch (const ArgumentException& e) {
    EXPECT_EQ(e.message(), "Unable to create directory with wrong name");
    EXPECT_EQ(e.places().at(0).function, "VDirectory::createDirectory");
    EXPECT_EQ(e.places().at(0).line, 105);
  }
  writeFile(tmp / "file", "x");
  EXPECT_THROW(makeDir(tmp / "file/sub"), vosexception);
}

TEST(FileOps, TempAndWellKnownFolders) {
  TempDir tmp;
  const char* saved = std::getenv("TMPDIR");
  const std::string savedTmp = saved ? saved : "";
  ::setenv("TMPDIR", (tmp / "made/tmp").c_str(), 1);
  EXPECT_EQ(tempPath(), tmp / "made/tmp/");
  EXPECT_EQ(modeOf(tmp / "made/tmp"), 01777u);
  saved ? ::setenv("TMPDIR", savedTmp.c_str(), 1) : ::unsetenv("TMPDIR");

  ::setenv("TARVO_SYSTEM_DIR", (tmp / "system/").c_str(), 1);
  const auto expectFailure = [](int id, bool create) {
    try {
      getWellKnownPath(id, create);
      ADD_FAILURE() << id;
    } catch (const vexception& e) {
      EXPECT_EQ(e.message(), "SHGetSpecialFolderPath failed for index " + std::to_string(id));
      EXPECT_EQ(e.places().at(0).function, "getWellKnownPath");
      EXPECT_EQ(e.places().at(0).line, 363);
    }
  };
  expectFailure(0x25, false);  // not there and not to be made
  EXPECT_EQ(getWellKnownPath(0x25, true), tmp / "system");
  EXPECT_EQ(getWellKnownPath(0x25, false), tmp / "system");
  ::unsetenv("TARVO_SYSTEM_DIR");
  EXPECT_EQ(getWellKnownPath(0x25, false), "/usr/bin");
  expectFailure(999, true);
}

TEST(FileOps, FinderReportsDotsAndMatchesLikeWindows) {
  TempDir tmp;
  writeFile(tmp / "logs/access_log", "");
  writeFile(tmp / "logs/Web_Stat_Executor.CONF", "");
  writeFile(tmp / "logs/error.log", "");
  stdfs::create_directory(tmp / "logs/old");
  std::vector<std::string> names;
  VFileFinder finder;
  ASSERT_TRUE(finder.first(tmp / "logs/*.*"));
  do {
    names.push_back(finder.name() + (finder.isDirectory() ? "/" : "") + (finder.isDots() ? "!" : ""));
  } while (finder.next());
  EXPECT_FALSE(finder.next());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"../!", "./!", "Web_Stat_Executor.CONF", "access_log", "error.log",
                                             "old/"}));
  ASSERT_TRUE(finder.first(tmp / "logs/web_stat_executor.conf"));
  EXPECT_EQ(finder.name(), "Web_Stat_Executor.CONF");
  EXPECT_FALSE(finder.next());
  EXPECT_FALSE(finder.first(tmp / "logs/*.gz"));
  EXPECT_FALSE(finder.first(tmp / "missing/*.*"));
  expectOsFailure([&] { finder.first(tmp / "logs/error.log/*.*"); }, 267,
                  "FindFirstFile(" + (tmp / "logs/error.log/*.*") + ")", "VFileFinder::first", 390);
}

TEST(FileOps, ListFilesRecursesDepthFirstButNotThroughLinks) {
  TempDir tmp;
  writeFile(tmp / "root/a.log", "");
  writeFile(tmp / "root/b.txt", "");
  writeFile(tmp / "root/sub/c.LOG", "");
  writeFile(tmp / "root/sub/deep/d.log", "");
  writeFile(tmp / "elsewhere/e.log", "");
  stdfs::create_directory_symlink(tmp / "elsewhere", tmp / "root/link");
  std::vector<std::string> files;
  listFiles(tmp / "root", "*.log", files, false);
  EXPECT_EQ(files, std::vector<std::string>{tmp / "root/a.log"});
  files.clear();
  listFiles(tmp / "root", "*.log", files, true);
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{tmp / "root/a.log", tmp / "root/sub/c.LOG", tmp / "root/sub/deep/d.log"}));
}

TEST(FileOps, WorksBeyondTheKernelPathLimit) {
  TempDir tmp;
  std::string deep = tmp / "top";
  for (int i = 0; i < 24; ++i) deep += "/" + std::string(240, static_cast<char>('a' + i));
  ASSERT_GT(deep.size(), 5000u);
  makeDir(deep);
  const std::string file = VFileName::combine(deep, "access_log");
  ASSERT_EQ(file.size(), deep.size() + 11);
  {
    VFile out;
    out.open(file, file_open::GenericWrite, 0, file_open::CreateNew);
    out.write("record\n", 7);
  }
  bool isDirectory = true;
  EXPECT_TRUE(fileExist(file, &isDirectory));
  EXPECT_FALSE(isDirectory);
  EXPECT_EQ(readFileContents(file), "record\n");
  copyFile(file, file + ".copy", true);
  renameFile(file + ".copy", file + ".moved", 1);
  EXPECT_EQ(readFileContents(file + ".moved"), "record\n");
  std::vector<std::string> files;
  listFiles(tmp / "top", "*", files, true);
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{file, file + ".moved"}));
  removeFile(file + ".moved");
  removeDir(tmp / "top", true, {});
  EXPECT_FALSE(stdfs::exists(tmp / "top"));
}

} // namespace
