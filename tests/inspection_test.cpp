// The search for processes holding a file, with real child processes.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>

#include "inspection/handle_path.h"
#include "inspection/open_files.h"
#include "inspection/path_relation.h"
#include "support/errors.h"
#include "support/file_ops.h"
#include "support/format.h"
#include "tests/common/hosting.h"

namespace {

namespace stdfs = std::filesystem;
using inspection::PathRelation;
using namespace testenv;

std::string holdFile() { return testBinDir() + "/hold_file"; }

// A hold_file child (tests/helpers) holding what args name once its ready
// marker, the first of them, is there (holding: within 30 s); killed and
// reaped at the end.
struct Holder {
  explicit Holder(const std::vector<std::string>& args, const std::string& program = holdFile()) : line(program) {
    std::string command = shellQuote(program);
    for (const std::string& arg : args) line += " " + arg, command += " " + shellQuote(arg);
    child = std::make_unique<Child>(command, args[0] + ".child");
    holding = waitUntil([&] { return stdfs::exists(args[0]); });
  }
  // What the search reports for it.
  std::string description() const { return formatString("PID(%d) '%s'", child->pid(), line); }
  pid_t pid() const { return child->pid(); }
  std::string line;
  std::unique_ptr<Child> child;
  bool holding = false;
};

TEST(Inspection, PathRelationTable) {
  const struct {
    const char *a, *b;
    PathRelation relation;
  } cases[] = {
      {"/SRV/Www/SITE", "/srv/www/site", PathRelation::Equal}, {"\\??\\srv\\www", "/srv/www", PathRelation::Equal},
      {"\\srv\\www\\site", "/srv//www///site/", PathRelation::Equal},
      {"/srv/www", "/srv/www/site/logs/access_log", PathRelation::FirstIsAncestor},
      {"/srv/www/site/logs", "/srv/www", PathRelation::SecondIsAncestor},
      {"/srv/www/site", "/srv/www/site2", PathRelation::Before},     // the shorter component first
      {"/srv/www/zz", "/srv/www/aaa", PathRelation::Before},         // length before letters
      {"/srv/www/a", "/srv/www/B", PathRelation::Before},            // letters without case
      {"/srv/www/\xC3\xA9", "/srv/www/ab", PathRelation::Before},    // length in characters, not bytes
      {"/srv/www/sitex/a", "/srv/www/site", PathRelation::After},    // a name prefix is no ancestor
  };
  for (const auto& c : cases) EXPECT_EQ(inspection::comparePaths(c.a, c.b), c.relation) << c.a << " vs " << c.b;
}

TEST(Inspection, FindsTheHolderByDirectoryNotBySiblingAndNeverItself) {
  TempDir tmp;
  const std::string site = tmp / "site";
  const std::string log = site + "/logs/access_log";
  writeFile(log, "record\n");
  writeFile(tmp / "held/entry.txt", "x");  // a directory held open must have an entry to read
  writeFile(tmp / "sibling/other.log", "");
  stdfs::create_directories(tmp / "workdir");
  Holder child({tmp / "ready", "--cwd", tmp / "workdir", "--dir", tmp / "held", log});
  ASSERT_TRUE(child.holding) << "hold_file not ready";
  std::ifstream own(tmp / "sibling/other.log");  // this process's own descriptors are never reported (the last check)

  const auto holds = [&](const std::string& item) {
    return RunTime::getProccessesByOpenedFiles({item}).count(child.description()) == 1;
  };
  EXPECT_TRUE(holds(log));
  EXPECT_TRUE(holds(site));
  EXPECT_TRUE(holds(tmp / "held"));      // an open directory
  EXPECT_TRUE(holds(tmp / "workdir"));   // the current directory holds its directory too
  EXPECT_FALSE(holds(site + "/logs/access_log.1"));
  EXPECT_FALSE(holds(tmp / "held/entry.txt"));  // beneath a held directory is not held
  std::string shouted = "\\\\?\\" + log;
  for (char& c : shouted) c = c == '/' ? '\\' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(holds(shouted));
  EXPECT_EQ(RunTime::getProccessesByOpenedFiles({tmp / "sibling", site}), std::set<std::string>{child.description()});
}

// A resolution that hangs (a file system that does not answer) is given up;
// the worker ends on its own later.
TEST(Inspection, AHangingResolutionIsGivenUp) {
  auto release = std::make_shared<std::promise<void>>();
  auto finished = std::make_shared<std::promise<void>>();
  auto done = finished->get_future();
  const auto answer = inspection::resolveOnWorker(
      [released = release->get_future().share(), finished] {
        released.wait();
        finished->set_value();
        return inspection::HandleObject{platform::procfs::ObjectKind::RegularFile, "/late"};
      },
      7, std::chrono::milliseconds(20));
  EXPECT_FALSE(answer.has_value());
  release->set_value();
  EXPECT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "the worker did not end within 5 s";
}

TEST(Inspection, CopyOntoARunningProgramNamesItsHolder) {
  TempDir tmp;
  // A running executable cannot be written (ETXTBSY, a sharing violation);
  // the program also holds its own file open, so the search finds it.
  const std::string program = tmp / "bin/hold_copy";
  stdfs::create_directories(tmp / "bin");
  stdfs::copy_file(holdFile(), program);
  stdfs::permissions(program, stdfs::perms::owner_all);
  Holder child({tmp / "ready", program}, program);
  ASSERT_TRUE(child.holding) << "hold_file not ready";
  writeFile(tmp / "new.bin", "replacement");
  const std::string copy = "Copy file '" + (tmp / "new.bin") + "' to '" + program + "'";
  EXPECT_EQ(failureOf([&] { copyFile(tmp / "new.bin", program, false); }),
            formatSystemMessage(32, copy + ". Processes: " + child.description()) + "\n   at (copyFile line 717)");
  EXPECT_EQ(readFile(program), readFile(holdFile()));
}

} // namespace
