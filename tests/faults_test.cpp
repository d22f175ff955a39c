// Fault injection: the real program over a small demo hosting tree with the
// real engines (Debian's webalizer, awstats.pl through perl) while something
// goes wrong, then again once the fault is gone. Whatever the fault, the
// second run must leave every generated record counted exactly once in the
// reports and no log file behind.
//
// The moments of a run are hit without timing guesses: stand-ins for sort,
// webalizer and perl (the program finds sort in $TARVO_SYSTEM_DIR, Webalizer
// at the "WebalizerPath" setting and Perl under the registry's INSTALLDIR)
// kill the run, their parent, at the chosen call; a FIFO where the program
// opens a file blocks it there until the test has acted.
//
// At the end a table shows every fault: the error seen, the records
// generated, the records counted after the recovery run and what was left.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>

#include "platform/local_socket.h"
#include "tests/common/test_env.h"
#include "tests/common/test_installation.h"
#include "tools/demo_data/demo_tree.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace localsock = platform::localsock;
using testenv::readFile;
using testenv::TestInstallation;
using testenv::writeFile;
using testenv::writeScript;

constexpr demo::UnixTime kDay = 86400;
constexpr const char* kPerlKey = "SOFTWARE\\Tarvo\\Installer\\CorvanitePerl";
constexpr const char* kConfigName = "web_stat_executor.conf";
constexpr int kKilled = 128 + SIGKILL;
const auto kRunTimeout = std::chrono::minutes(10);

std::string shq(const std::string& s) { return testenv::shellQuote(s); }

bool contains(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

size_t occurrences(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + piece.size())) ++n;
  return n;
}

demo::UnixTime today() {
  using namespace std::chrono;
  return duration_cast<seconds>(floor<days>(system_clock::now()).time_since_epoch()).count();
}

// A shell command line; its exit code, and its output in *output when asked.
int shell(const std::string& command, std::string* output = nullptr) {
  static int n = 0;
  const std::string file = "/tmp/tarvo-faults-" + std::to_string(getpid()) + "-" + std::to_string(++n) + ".out";
  const int status = std::system(("( " + command + " ) >" + shq(file) + " 2>&1").c_str());
  if (output) *output = readFile(file);
  std::remove(file.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---------------------------------------------------------------------------
// The table printed at the end.

struct Row {
  std::string fault, error;
  std::int64_t before = 0, after = 0;
  std::string leftovers;
};

std::vector<Row>& rows() {
  static std::vector<Row> all;
  return all;
}

class SummaryTable : public ::testing::Environment {
 public:
  void TearDown() override {
    if (rows().empty()) return;
    std::printf("\n%-58s | %-70s | %7s | %7s | %s\n", "fault", "error seen", "records", "counted", "left over");
    std::printf("%s\n", std::string(180, '-').c_str());
    for (const Row& r : rows())
      std::printf("%-58s | %-70s | %7lld | %7lld | %s\n", r.fault.c_str(), r.error.substr(0, 70).c_str(),
                  static_cast<long long>(r.before), static_cast<long long>(r.after), r.leftovers.c_str());
    std::fflush(stdout);
  }
};
[[maybe_unused]] ::testing::Environment* const kSummary = ::testing::AddGlobalTestEnvironment(new SummaryTable);

// ---------------------------------------------------------------------------
// A started program, with its standard output and error in files.

using Ran = TestInstallation::RunResult;  // exitCode is 128 + signal when a signal ended it

class Child {
 public:
  Child(const std::vector<std::string>& command, const std::vector<std::string>& overrides, const std::string& base)
      : out_(base + ".out"), err_(base + ".err") {
    std::vector<std::string> environment = overrides;
    for (char** e = environ; *e; ++e) {
      const std::string name = std::string(*e).substr(0, std::string(*e).find('=') + 1);
      if (std::none_of(overrides.begin(), overrides.end(), [&](const std::string& o) { return o.rfind(name, 0) == 0; }))
        environment.push_back(*e);
    }
    std::vector<char*> argv, envp;
    for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int rc = posix_spawn(&pid_, command[0].c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + command[0]);
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // Still running (an ended child is not reaped here).
  bool running() const {
    siginfo_t info{};
    return pid_ > 0 && waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  }
  void kill() const { ::kill(pid_, SIGKILL); }

  Ran wait() {
    const auto deadline = std::chrono::steady_clock::now() + kRunTimeout;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the run did not end within the time-out; killed";
        ::kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1,
            readFile(out_), readFile(err_)};
  }

 private:
  pid_t pid_ = -1;
  std::string out_, err_;
};

// Opens the FIFO for writing once the child has opened it for reading, that
// is once the child stands exactly there; -1 when the child ended first.
int whenOpened(const std::string& fifo, const Child& child) {
  const auto deadline = std::chrono::steady_clock::now() + kRunTimeout;
  while (child.running() && std::chrono::steady_clock::now() < deadline) {
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) return fd;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return -1;
}

// A mount made with mount(8) for the life of the object; unmounted even when
// the test fails.
class Mount {
 public:
  // "mount <arguments> <target>"
  Mount(const std::string& arguments, const std::string& target) : target_(target) {
    mounted_ = shell("mount " + arguments + " " + shq(target), &error_) == 0;
  }
  ~Mount() {
    if (mounted_ && shell("umount " + shq(target_)) != 0) shell("umount -l " + shq(target_));
  }
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;
  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  bool remount(const std::string& options) { return shell("mount -o " + options + " " + shq(target_), &error_) == 0; }

 private:
  std::string target_;
  bool mounted_ = false;
  std::string error_;
};

// ---------------------------------------------------------------------------
// A temporary installation with both engines and a small demo tree.

class Hosting {
 public:
  // Only the named demo domains keep their configuration and logs (all when
  // the set is empty): the fewer AWStats logs, the fewer Perl runs.
  explicit Hosting(std::set<std::string> domains = {}) : domains_(std::move(domains)) {
    for (const char* engine : {"webalizer", "awstats"})
      testenv::setUpEngine(engine, inst_.productRoot() + "/" + engine);
    inst_.setRegistryString("INSTALLDIR", "/usr", kPerlKey);
    // A service that is down must fail a request at once, not after ten tries.
    inst_.setRegistryDword("PipeConnectTryCount", 2);
    fs::create_directories(scratch("tmp"));
    demo::TreeSettings settings;
    settings.seed = 11;
    settings.webRecordsPerDay = 24;
    demo::layOut(vhosts(), settings, today() - 2 * kDay, 1);
    prune();
  }

  TestInstallation& inst() { return inst_; }
  std::string vhosts() const { return inst_.vhostsDir(); }
  std::string scratch(const std::string& name) const { return inst_.root() + "/faults/" + name; }
  std::string webalizerProgram() const { return inst_.productRoot() + "/webalizer/bin/webalizer"; }
  std::string awstatsRoot() const { return inst_.productRoot() + "/awstats"; }
  std::string cgiBin() const { return awstatsRoot() + "/wwwroot/cgi-bin"; }

  static const demo::DemoDomain& domain(const std::string& name) {
    for (const demo::DemoDomain& d : demo::demoDomains())
      if (d.name == name) return d;
    throw std::runtime_error("no demo domain " + name);
  }
  bool inScope(const demo::DemoDomain& d) const { return domains_.empty() || domains_.count(d.name) != 0; }
  std::vector<const demo::DemoDomain*> scope() const {
    std::vector<const demo::DemoDomain*> out;
    for (const demo::DemoDomain& d : demo::demoDomains())
      if (inScope(d)) out.push_back(&d);
    return out;
  }
  std::string logDir(const std::string& name) const { return demo::configDir(vhosts(), domain(name)); }
  std::string statDir(const std::string& name) const { return demo::statisticsDir(vhosts(), domain(name)); }
  std::string logOf(const std::string& name, demo::Kind kind, int day) const {
    return logDir(name) + "/" + demo::logFileName(kind, today() - (3 - day) * kDay);
  }

  // The next day of logs for every domain in scope.
  void addDay() {
    demo::appendDay(vhosts(), today());
    prune();
  }

  // Every log file of the domains in scope.
  std::vector<std::string> logFiles() const {
    std::vector<std::string> out;
    for (const demo::DemoDomain* d : scope())
      for (const auto& e : fs::directory_iterator(demo::configDir(vhosts(), *d)))
        if (!e.is_directory() && e.path().filename() != kConfigName) out.push_back(e.path());
    return out;
  }

  // Added to the command line in front of the program (e.g. setpriv) and to
  // its environment.
  std::vector<std::string> commandPrefix;
  std::vector<std::string> environment;

  std::unique_ptr<Child> start() {
    std::vector<std::string> command = commandPrefix;
    command.push_back(testenv::buildDir() + "/web_statistics_executor");
    command.push_back("--calculate-all");
    std::vector<std::string> overrides = environment;
    overrides.push_back("TMPDIR=" + scratch("tmp"));
    return std::make_unique<Child>(command, overrides, scratch("run" + std::to_string(++runs_)));
  }
  Ran run() { return start()->wait(); }

  // The records of every day laid out, of the domains in scope.
  std::int64_t generated() const {
    std::int64_t n = 0;
    for (const demo::ReportCount& row : demo::reportCounts(vhosts()))
      if (inScope(*row.domain)) n += row.generated;
    return n;
  }

  std::string diagnostics(const Ran& ran) const {
    return "exit code " + std::to_string(ran.exitCode) + "\nconsole:\n" + ran.out + ran.err + "\ndaily log:\n" +
           inst_.dailyLog();
  }
  // A run under the fault: it fails (exit code 1) and says why.
  void expectFailure(const Ran& ran, const std::string& reason) const {
    EXPECT_EQ(ran.exitCode, 1) << diagnostics(ran);
    EXPECT_TRUE(contains(ran.out, reason)) << "the error must say " << reason << "\n" << diagnostics(ran);
  }

  struct Outcome {
    std::int64_t generated = 0, counted = 0;
    std::vector<std::string> leftovers;  // paths
  };
  // Every record of every day laid out counted once in the reports of the
  // domains in scope, no log file and no preparation file left beside the
  // configurations. Stale index.html backups and temporary page files are
  // only reported.
  Outcome expectEveryRecordCountedOnce() const {
    Outcome o;
    for (const demo::ReportCount& row : demo::reportCounts(vhosts())) {
      if (!inScope(*row.domain)) continue;
      o.generated += row.generated;
      o.counted += row.counted;
      EXPECT_EQ(row.counted, row.generated)
          << row.domain->name << " (" << demo::engineName(row.domain->engine) << ") " << demo::kindPrefix(row.kind)
          << ": records generated and counted in the reports differ";
    }
    for (const std::string& log : logFiles()) {
      ADD_FAILURE() << "left beside the configuration: " << log;
      o.leftovers.push_back(log);
    }
    for (const demo::DemoDomain* d : scope()) {
      for (demo::Kind kind : demo::kAllKinds) {
        const fs::path dir = fs::path(demo::statisticsDir(vhosts(), *d)) / demo::kindStatSubdir(kind);
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dir, ec)) {
          const std::string name = e.path().filename();
          if (name == "CopyAWStats.lock") ADD_FAILURE() << "the mark of an unfinished AWStats copy stays: " << e.path();
          if (name == "CopyAWStats.lock" || (name.rfind("index.html", 0) == 0 && name != "index.html"))
            o.leftovers.push_back(e.path());
        }
      }
    }
    for (const auto& e : fs::directory_iterator(scratch("tmp"))) o.leftovers.push_back(e.path());
    return o;
  }
  // Checks every record counted once and adds the fault's row to the table.
  void report(const std::string& fault, const std::string& error) const {
    const Outcome o = expectEveryRecordCountedOnce();
    std::string left = std::to_string(o.leftovers.size());
    for (size_t i = 0; i < o.leftovers.size() && i < 2; ++i)
      left += (i ? ", " : " (") + fs::path(o.leftovers[i]).filename().string();
    if (!o.leftovers.empty()) left += o.leftovers.size() > 2 ? ", ...)" : ")";
    rows().push_back({fault, error, o.generated, o.counted, left});
  }
  // The run once the fault is gone must succeed and count every record once.
  void recover(const std::string& fault, const std::string& error) {
    const Ran rerun = run();
    EXPECT_EQ(rerun.exitCode, 0) << diagnostics(rerun);
    report(fault, error);
  }

 private:
  // Drops the configuration and logs of the domains out of scope.
  void prune() {
    for (const demo::DemoDomain& d : demo::demoDomains()) {
      if (inScope(d)) continue;
      for (const auto& e : fs::directory_iterator(demo::configDir(vhosts(), d)))
        if (!e.is_directory()) fs::remove(e.path());
    }
  }

  TestInstallation inst_;
  std::set<std::string> domains_;
  int runs_ = 0;
};

// The first line of the console text that carries the piece, for the table.
std::string lineWith(const std::string& text, const std::string& piece) {
  const size_t at = text.find(piece);
  if (at == std::string::npos) return "(not found: " + piece + ")";
  const size_t start = text.rfind('\n', at);
  const size_t from = start == std::string::npos ? 0 : start + 1;
  return text.substr(from, text.find('\n', at) - from);
}

// ---------------------------------------------------------------------------
// 1. The run killed with SIGKILL at a chosen moment. The domain first gets
// its reports of day 1 from a clean run, so the killed run (over day 2) works
// on a domain that already has reports, an index page and an AWStats copy.

struct KillPoint {
  const char* fault;
  const char* domain;
  std::function<void(Hosting&)> inject;
  std::function<void(Hosting&)> remove;
  std::function<void(Hosting&, Child&)> during;  // the test itself kills the run
  const char* rerunWarning;                      // the recovery run says so, or nullptr
};

void killAndRecover(const KillPoint& point) {
  SCOPED_TRACE(point.fault);
  Hosting h({point.domain});
  const Ran first = h.run();
  ASSERT_EQ(first.exitCode, 0) << h.diagnostics(first);
  h.addDay();
  point.inject(h);
  auto child = h.start();
  if (point.during) point.during(h, *child);
  const Ran killed = child->wait();
  EXPECT_EQ(killed.exitCode, kKilled) << "the fault did not kill the run\n" << h.diagnostics(killed);
  point.remove(h);

  const size_t mark = h.inst().dailyLog().size();
  std::string error = "exit " + std::to_string(killed.exitCode);
  if (point.rerunWarning) error += std::string("; rerun: ") + point.rerunWarning;
  h.recover(point.fault, error);
  if (point.rerunWarning) {
    const std::string said = h.inst().dailyLog().substr(mark);
    EXPECT_TRUE(contains(said, point.rerunWarning)) << "the recovery run does not say what it recovered\n" << said;
  }
}

// Stand-in for the system sort: on the first web log it writes half of the
// sorted records, as a sort killed together with the run leaves its output,
// and kills the run; every other call is the real sort.
void killingSort(Hosting& h) {
  const std::string dir = h.scratch("system");
  writeScript(dir + "/sort", "#!/bin/sh\nin=; out=; prev=\n"
                             "for a in \"$@\"; do\n"
                             "  if [ \"$prev\" = -o ]; then out=$a; elif [ \"$a\" != -o ]; then in=$a; fi\n"
                             "  prev=$a\n"
                             "done\n"
                             "case $in in */web_*)\n"
                             "  if [ ! -e " + shq(dir + "/fired") + " ]; then\n"
                             "    touch " + shq(dir + "/fired") + "\n"
                             "    n=$(wc -l <\"$in\")\n"
                             "    LC_ALL=C /usr/bin/sort \"$in\" | head -n $((n / 2)) >\"$out\"\n"
                             "    kill -KILL $PPID; exit 137\n"
                             "  fi ;;\n"
                             "esac\n"
                             "exec /usr/bin/sort \"$@\"\n");
  h.environment = {"TARVO_SYSTEM_DIR=" + dir};
}

void realSort(Hosting& h) { h.environment.clear(); }

TEST(Faults, RunKilledWithSigkill) {
  const KillPoint points[] = {
      {"SIGKILL during the sort (Webalizer)", "alpha-blog.example", killingSort, realSort, nullptr,
       "was left by an interrupted run"},
      {"SIGKILL during the sort (AWStats)", "alpha-books.example", killingSort, realSort, nullptr,
       "was left by an interrupted run"},
      {"SIGKILL during Webalizer (after it wrote its reports)", "alpha-blog.example",
       [](Hosting& h) {
         // Webalizer runs to its end; the run dies before it removes the chunk.
         const std::string real = fs::read_symlink(h.webalizerProgram());
         fs::remove(h.webalizerProgram());
         writeScript(h.webalizerProgram(), "#!/bin/sh\n" + shq(real) + " \"$@\"\ncode=$?\n"
                                           "case \"$*\" in *web_*)\n"
                                           "  [ -e " + shq(h.scratch("fired")) + " ] || { touch " +
                                               shq(h.scratch("fired")) + "; kill -KILL $PPID; } ;;\n"
                                           "esac\nexit $code\n");
         writeFile(h.scratch("webalizer.real"), real);
       },
       [](Hosting& h) {
         fs::remove(h.webalizerProgram());
         fs::create_symlink(readFile(h.scratch("webalizer.real")), h.webalizerProgram());
       },
       nullptr, nullptr},
      {"SIGKILL during an AWStats page run (after the update)", "alpha-books.example",
       [](Hosting& h) {
         // The web log's update is done, its "urldetail" page is being made.
         const std::string perl = h.scratch("perl");
         writeScript(perl + "/bin/perl", "#!/bin/sh\ncase \"$*\" in *-output=urldetail*)\n"
                                         "  if [ ! -e " + shq(perl + "/fired") + " ] && grep -q '^LogFile=.*/web_' " +
                                             shq(h.cgiBin() + "/awstats.alpha-books.example.conf") + "; then\n"
                                         "    touch " + shq(perl + "/fired") + "; kill -KILL $PPID; exit 137\n"
                                         "  fi ;;\n"
                                         "esac\nexec /usr/bin/perl \"$@\"\n");
         h.inst().setRegistryString("INSTALLDIR", perl, kPerlKey);
       },
       [](Hosting& h) { h.inst().setRegistryString("INSTALLDIR", "/usr", kPerlKey); }, nullptr, nullptr},
      {"SIGKILL during the copy of the AWStats installation", "alpha-books.example",
       [](Hosting& h) {
         // A newer installation makes the domain's copy stale; the copy stops
         // at a FIFO among the scripts, half done, and is killed there.
         writeFile(h.awstatsRoot() + "/version", "99.0\n");
         ASSERT_EQ(mkfifo((h.awstatsRoot() + "/wwwroot/js/zz-hook.js").c_str(), 0644), 0);
       },
       [](Hosting& h) { fs::remove(h.awstatsRoot() + "/wwwroot/js/zz-hook.js"); },
       [](Hosting& h, Child& child) {
         const int fd = whenOpened(h.awstatsRoot() + "/wwwroot/js/zz-hook.js", child);
         EXPECT_GE(fd, 0) << "the run never reached the copy";
         EXPECT_TRUE(fs::exists(demo::statisticsDir(h.vhosts(), Hosting::domain("alpha-books.example")) +
                                "/anon_ftpstat/CopyAWStats.lock"))
             << "the copy is not under way";
         child.kill();
         if (fd >= 0) ::close(fd);
       },
       nullptr},
  };
  for (const KillPoint& point : points) killAndRecover(point);
}

// ---------------------------------------------------------------------------
// 2. and 3. The statistics directories of an AWStats and a Webalizer domain
// full, or read-only; then the space freed, or the directory writable again.

const std::set<std::string> kAlpha = {"alpha-books.example", "alpha-blog.example"};

TEST(Faults, DiskFullInTheStatisticsDirectory) {
  Hosting h(kAlpha);
  std::vector<std::unique_ptr<Mount>> mounts;
  for (const std::string& name : kAlpha) {
    mounts.push_back(std::make_unique<Mount>("-t tmpfs -o size=64k tmpfs", h.statDir(name)));
    if (!mounts.back()->mounted()) GTEST_SKIP() << "cannot mount a tmpfs: " << mounts.back()->error();
    for (demo::Kind kind : demo::kAllKinds) fs::create_directories(h.statDir(name) + "/" + demo::kindStatSubdir(kind));
  }
  const std::vector<std::string> before = h.logFiles();
  const Ran full = h.run();
  h.expectFailure(full, "No space left on device");
  // A chunk may go only when Webalizer could keep what it counted.
  for (const std::string& log : before) {
    if (log.rfind(h.logDir("alpha-blog.example"), 0) != 0 || fs::exists(log)) continue;
    const std::string name = fs::path(log).filename();
    const demo::Kind kind = name[0] == 'w' ? demo::Kind::Web : name[0] == 'a' ? demo::Kind::AnonymousFtp : demo::Kind::Ftp;
    const std::string hist = h.statDir("alpha-blog.example") + "/" + demo::kindStatSubdir(kind) + "/webalizer.hist";
    std::error_code ec;
    if (fs::file_size(hist, ec) == 0)
      ADD_FAILURE() << "Webalizer ended with exit code 0 although the full disk kept it from writing its history ("
                    << hist << " is empty); the program took that for success and deleted the chunk " << log
                    << ": its records are lost";
  }
  for (const auto& m : mounts) ASSERT_TRUE(m->remount("remount,size=16m")) << m->error();

  h.recover("disk full in the statistics directory (tmpfs 64k)", lineWith(full.out, "No space left on device"));
}

TEST(Faults, ReadOnlyStatisticsDirectory) {
  Hosting h(kAlpha);
  std::vector<std::unique_ptr<Mount>> mounts;
  for (const std::string& name : kAlpha) {
    mounts.push_back(std::make_unique<Mount>("--bind " + shq(h.statDir(name)), h.statDir(name)));
    if (!mounts.back()->mounted() || !mounts.back()->remount("remount,bind,ro"))
      GTEST_SKIP() << "cannot make a read-only bind mount: " << mounts.back()->error();
  }
  const Ran readOnly = h.run();
  h.expectFailure(readOnly, "Read-only file system");
  EXPECT_EQ(occurrences(readOnly.out, "Calculate web statistics by config"), 2u)
      << "both domains must fail\n" << h.diagnostics(readOnly);
  for (const auto& m : mounts) ASSERT_TRUE(m->remount("remount,bind,rw")) << m->error();

  h.recover("read-only statistics directory (bind mount ro)", lineWith(readOnly.out, "Read-only file system"));
}

// ---------------------------------------------------------------------------
// 4. The management service down, restarted and stopped between domains, and
// answering garbage.

// Answers every request on the socket with a well-framed answer whose body
// is nonsense (a string of an unknown character size).
class GarbageService {
 public:
  explicit GarbageService(const std::string& path) {
    if (listener_.listen(path, 8) != 0) throw std::runtime_error("cannot listen on " + path);
    thread_ = std::thread([this] { serve(); });
  }
  ~GarbageService() {
    stop_ = true;
    thread_.join();
    listener_.close();
  }
  GarbageService(const GarbageService&) = delete;
  GarbageService& operator=(const GarbageService&) = delete;

 private:
  void serve() {
    struct Connection {
      localsock::Socket socket;
      int messages = 0;
    };
    std::vector<Connection> connections;
    while (!stop_) {
      std::vector<localsock::PollEntry> entries{{listener_.socket().fd(), true, false}};
      for (const Connection& c : connections) entries.push_back({c.socket.fd(), true, false});
      localsock::pollAll(entries, 20);
      for (size_t i = 1; i < entries.size(); ++i) {
        if (!entries[i].readable && !entries[i].hungUp) continue;
        Connection& c = connections[i - 1];
        char buffer[4096];
        size_t got = 0;
        const uint32_t code = localsock::receiveMessage(c.socket, buffer, sizeof buffer, got);
        if (code == localsock::IoPending) continue;
        if (code != 0) {
          c.socket.close();
          continue;
        }
        // A request is a length message and a body message.
        if (++c.messages % 2 != 0) continue;
        const std::string body("\x05\x00\x00\x00\x09junk", 9);
        const std::string length("\x09\x00\x00\x00", 4);
        size_t sent = 0;
        localsock::sendMessage(c.socket, length.data(), length.size(), sent);
        localsock::sendMessage(c.socket, body.data(), body.size(), sent);
      }
      std::erase_if(connections, [](const Connection& c) { return !c.socket.valid(); });
      if (entries[0].readable) {
        for (;;) {
          localsock::Socket socket;
          if (listener_.accept(socket) != 0) break;
          connections.push_back({std::move(socket)});
        }
      }
    }
  }

  localsock::Listener listener_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

TEST(Faults, ManagementServiceDownRestartedAndAnsweringGarbage) {
  Hosting h;  // every demo domain: the service changes state between them
  const std::vector<std::string> logs = h.logFiles();

  h.inst().stopService();
  const Ran down = h.run();
  h.expectFailure(down, "Unable to connect to pipe " + h.inst().socketPath());
  EXPECT_EQ(h.logFiles(), logs) << "a run without the service must not touch a log";
  rows().push_back({"management service down at the start", lineWith(down.out, "Unable to connect"),
                    h.generated(), 0, "none (logs untouched)"});

  Ran garbage;
  {
    GarbageService service(h.inst().socketPath());
    garbage = h.run();
  }
  h.expectFailure(garbage, "Unsupported char size");
  h.expectFailure(garbage, "getString(HTTPD_VHOSTS_D)");  // the request
  EXPECT_EQ(h.logFiles(), logs) << "a run on garbage answers must not touch a log";
  rows().push_back({"management service answering garbage", lineWith(garbage.out, "Unsupported char size"),
                    h.generated(), 0, "none (logs untouched)"});

  // Each configuration becomes a FIFO: the run stops at the opening of the
  // next domain's configuration until the test has acted. Before the 2nd
  // domain the service restarts (invisible to the run), before the 3rd it
  // stops, before the 5th it is back: the 3rd and 4th domains fail.
  h.inst().startService();
  std::vector<std::string> fifos;
  for (const demo::DemoDomain* d : h.scope()) {
    const std::string path = demo::configDir(h.vhosts(), *d) + "/" + kConfigName;
    fs::remove(path);
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0) << path;
    fifos.push_back(path);
  }
  auto child = h.start();
  std::vector<std::string> order;
  while (order.size() < fifos.size() && child->running()) {
    for (size_t i = 0; i < fifos.size(); ++i) {
      if (std::find(order.begin(), order.end(), fifos[i]) != order.end()) continue;
      const int fd = ::open(fifos[i].c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) continue;
      order.push_back(fifos[i]);
      if (order.size() == 2) h.inst().restartService();
      if (order.size() == 3) h.inst().stopService();
      if (order.size() == 5) h.inst().startService();
      const std::string xml = demo::configXml(*h.scope()[i]);
      EXPECT_EQ(::write(fd, xml.data(), xml.size()), static_cast<ssize_t>(xml.size()));
      ::close(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const Ran halfway = child->wait();
  ASSERT_EQ(order.size(), fifos.size()) << h.diagnostics(halfway);
  EXPECT_EQ(halfway.exitCode, 1) << h.diagnostics(halfway);
  EXPECT_EQ(occurrences(halfway.out, "Calculate web statistics by config"), 2u) << h.diagnostics(halfway);
  for (size_t i = 0; i < order.size(); ++i)
    EXPECT_EQ(contains(halfway.out, "Calculate web statistics by config '" + order[i] + "'"), i == 2 || i == 3)
        << order[i] << "\n" << h.diagnostics(halfway);

  for (size_t i = 0; i < fifos.size(); ++i) {
    fs::remove(fifos[i]);
    writeFile(fifos[i], demo::configXml(*h.scope()[i]));
  }
  h.recover("management service restarted, then down for 2 of 5 domains",
            "2 domains: " + lineWith(halfway.out, "Unable to connect"));
}

// ---------------------------------------------------------------------------
// 5. An engine missing.

TEST(Faults, PerlOrWebalizerMissing) {
  struct Case {
    const char* fault;
    const char* domain;
    std::function<std::string(Hosting&)> remove;  // gives back what the error must name
    std::function<void(Hosting&)> restore;
  } cases[] = {
      {"Perl missing (INSTALLDIR without bin/perl)", "alpha-books.example",
       [](Hosting& h) {
         fs::create_directories(h.scratch("no-perl"));
         h.inst().setRegistryString("INSTALLDIR", h.scratch("no-perl"), kPerlKey);
         return h.scratch("no-perl") + "/bin/perl";
       },
       [](Hosting& h) { h.inst().setRegistryString("INSTALLDIR", "/usr", kPerlKey); }},
      {"Webalizer missing (WebalizerPath names no program)", "alpha-blog.example",
       [](Hosting& h) {
         h.inst().setSetting("WebalizerPath", h.scratch("no-webalizer") + "/bin/webalizer");
         return "CreateProcess " + h.scratch("no-webalizer") + "/bin/webalizer";
       },
       [](Hosting& h) { h.inst().setSetting("WebalizerPath", h.webalizerProgram()); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    Hosting h({c.domain});
    const std::string named = c.remove(h);
    const Ran missing = h.run();
    h.expectFailure(missing, named);
    EXPECT_FALSE(h.logFiles().empty());
    c.restore(h);
    h.recover(c.fault, lineWith(missing.out, named));
  }
}

// ---------------------------------------------------------------------------
// 6. A log file the run cannot read.
//
// Root reads any file whatever its mode, so the run goes without the
// capabilities that override file permissions (CAP_DAC_OVERRIDE,
// CAP_DAC_READ_SEARCH), as a hardened service unit runs it, and the web logs
// belong to another account with mode 0600, as a web server running under
// its own account writes them. A FIFO or a directory in the log's place
// would only hang the run or be passed over; neither is what operators meet.

TEST(Faults, LogFileUnreadable) {
  Hosting h(kAlpha);
  const std::vector<std::string> dropCapabilities = {"/usr/bin/setpriv",
                                                     "--bounding-set=-dac_override,-dac_read_search", "--"};
  std::vector<std::string> unreadable;
  for (const std::string& name : kAlpha) {
    const std::string log = h.logOf(name, demo::Kind::Web, 1);
    ASSERT_TRUE(fs::exists(log)) << log;
    ASSERT_EQ(chown(log.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(log.c_str(), 0600), 0);
    unreadable.push_back(log);
  }
  std::string probe;
  if (shell("/usr/bin/setpriv --bounding-set=-dac_override,-dac_read_search -- cat " + shq(unreadable[0]), &probe) ==
      0)
    GTEST_SKIP() << "the file stays readable without CAP_DAC_OVERRIDE; no way to make it unreadable here";

  h.commandPrefix = dropCapabilities;
  const Ran denied = h.run();
  h.commandPrefix.clear();
  h.expectFailure(denied, "Permission denied");
  EXPECT_EQ(occurrences(denied.out, "Calculate web statistics by config"), 2u)
      << "both domains must fail on their unreadable log\n" << h.diagnostics(denied);
  for (const std::string& log : unreadable) EXPECT_TRUE(fs::exists(log)) << "an unreadable log was removed: " << log;

  for (const std::string& log : unreadable) {
    ASSERT_EQ(chown(log.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(log.c_str(), 0644), 0);
  }
  h.recover("log file unreadable (other owner, 0600, run without DAC override)",
            lineWith(denied.out, "Permission denied"));
}

// ---------------------------------------------------------------------------
// 7. Two runs started at the same time over the same tree.

TEST(Faults, TwoRunsAtTheSameTime) {
  Hosting h(kAlpha);
  auto first = h.start();
  // The first run holds the run lock once it works on a domain.
  const std::string firstPid = " " + std::to_string(first->pid()) + " ";
  const auto deadline = std::chrono::steady_clock::now() + kRunTimeout;
  auto working = [&] {
    for (const std::string& e : h.inst().dailyLogEntries())
      if (contains(e, firstPid) && contains(e, "Execute ")) return true;
    return false;
  };
  while (first->running() && !working() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(first->running()) << "the first run ended before the second could start";
  auto second = h.start();
  const std::string secondPid = " " + std::to_string(second->pid()) + " ";
  const Ran a = first->wait();
  const Ran b = second->wait();
  EXPECT_EQ(a.exitCode, 0) << h.diagnostics(a);
  EXPECT_EQ(b.exitCode, 0) << h.diagnostics(b);
  std::string waited;
  for (const std::string& e : h.inst().dailyLogEntries())
    if (contains(e, secondPid) && contains(e, "Another statistics run holds")) waited = e.substr(e.find("Another"));
  EXPECT_FALSE(waited.empty()) << "the second run did not wait for the first\n" << h.inst().dailyLog();
  h.report("two runs at the same time", "both exit 0; second: " + waited);
}

} // namespace
