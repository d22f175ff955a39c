// Fault injection: the real program and engines over a demo hosting tree
// while something goes wrong, then again once the fault is gone; after that,
// every generated record is counted once and no log file is left. Each
// scenario has a tree of its own, so that ctest runs them side by side. The
// moments of a run are hit without timing guesses: stand-ins for sort,
// webalizer and awstats.pl kill the run at the chosen call; FIFOs block the
// program where it opens a file until the test has acted.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>

#include "platform/text.h"
#include "tests/common/fake_service.h"
#include "tests/common/hosting.h"
#include "tests/common/syslog_receiver.h"

namespace {

namespace fs = std::filesystem;
using namespace testenv;

const std::string kBooks = "alpha-books.example";  // AWStats
const std::string kBlog = "alpha-blog.example";    // Webalizer
const std::set<std::string> kAlpha = {kBooks, kBlog};

std::string shq(const std::string& s) { return shellQuote(s); }
// The web log of the day laid out first (two days ago).
std::string webLog(Hosting& h, const std::string& domain) {
  return h.logDir(domain) + "/" + demo::logFileName(demo::Kind::Web, today() - 2 * kDay);
}

// Mounts over the directories, unmounted when the object ends.
struct Mounts {
  Mounts(const std::vector<std::string>& dirs, const std::string& arguments) : dirs_(dirs) {
    each("mount " + arguments);
  }
  ~Mounts() {
    for (const std::string& dir : dirs_)
      if (shell("umount " + shq(dir)) != 0) shell("umount -l " + shq(dir));
  }
  // "<command> DIR" for each directory; error says why one failed.
  bool each(const std::string& command) {
    for (const std::string& dir : dirs_) {
      if (shell(command + " " + shq(dir), &error) != 0) {
        error = command + ": " + error;
        return false;
      }
    }
    return true;
  }
  std::string error;
  std::vector<std::string> dirs_;
};

// A power cut. The machine has no device-mapper (dm-flakey, dm-log-writes) to
// drop writes after a point, so the order of the system calls shows it
// instead: in the strace log of a run every removal or replacing rename of a
// copy of records by the program must come after the file now holding them
// was flushed (fsync or fdatasync, after its last write) and its directory
// too (after the file's name last changed there).
class FlushOrder {
 public:
  // logDirs: log directory -> (engine, statistics directory of the domain).
  explicit FlushOrder(std::map<std::string, std::pair<demo::Engine, std::string>> logDirs)
      : logDirs_(std::move(logDirs)) {}

  void read(const std::string& trace) {
    std::ifstream in(trace);
    std::map<int, std::string> pending;  // pid -> the first half of an unfinished call
    for (std::string line; std::getline(in, line);) {
      const int pid = std::atoi(line.c_str());
      line = line.substr(std::min(line.size(), line.find_first_not_of(' ', line.find(' '))));
      if (const size_t at = line.find(" <unfinished ...>"); at != std::string::npos)
        pending[pid] = line.substr(0, at);
      else
        call(pid, text::startsWith(line, "<... ") ? pending[pid] + line.substr(line.find("resumed>") + 8) : line);
    }
  }

  std::vector<std::string> failures;
  int checked = 0;

 private:
  using Times = std::map<std::string, long>;
  static std::string dirOf(const std::string& path) { return fs::path(path).parent_path(); }
  static long at(const Times& m, const std::string& key) { return m.count(key) ? m.at(key) : -1; }
  static std::string known(const std::map<int, std::string>& m, int pid) { return m.count(pid) ? m.at(pid) : ""; }

  void call(int pid, const std::string& line) {
    const size_t open = line.find('('), eq = line.rfind(" = ");
    const size_t close = eq == std::string::npos ? eq : line.rfind(')', eq);
    if (open == std::string::npos || close == std::string::npos || close < open) return;
    const std::string name = line.substr(0, open), args = line.substr(open + 1, close - open - 1);
    const std::string result = line.substr(eq + 3);
    if (text::startsWith(result, "-1") || text::startsWith(result, "?")) return;
    // The descriptors' paths (-y), and each quoted name after the directory it is relative to.
    std::vector<std::string> fds, paths;
    for (size_t i = 0; i < args.size();) {
      const size_t lt = args.find('<', i), quote = args.find('"', i);
      if (lt < quote) {
        const size_t gt = args.find('>', lt);
        fds.push_back(args.substr(lt + 1, gt - lt - 1));
        if (lt >= 8 && args.compare(lt - 8, 8, "AT_FDCWD") == 0) cwd_[pid] = fds.back();
        i = gt + 1;
      } else if (quote != std::string::npos) {
        const size_t end = args.find('"', quote + 1);
        const std::string p = args.substr(quote + 1, end - quote - 1);
        const std::string base = fds.size() > paths.size() ? fds.back() : known(cwd_, pid);
        if (!p.empty()) paths.push_back(p[0] == '/' ? p : base + "/" + p);
        i = end + 1;
      } else {
        break;
      }
    }
    const bool ours = known(image_, pid) == "web_statistics_executor";  // not an engine's own files
    const int child = std::atoi(result.c_str());
    const size_t lt = result.find('<');
    const std::string fdPath = lt == std::string::npos ? "" : result.substr(lt + 1, result.rfind('>') - lt - 1);
    ++time_;
    if (name == "execve" && !paths.empty()) image_[pid] = fs::path(paths[0]).filename();
    // The child's own calls can come before its parent's clone returns:
    // what they set stays.
    if (name == "clone" || name == "clone3" || name == "vfork" || name == "fork") {
      image_.try_emplace(child, known(image_, pid));
      cwd_.try_emplace(child, known(cwd_, pid));
    }
    if (name == "chdir" && !paths.empty()) cwd_[pid] = paths[0];
    if ((name == "openat" || name == "open" || name == "creat") && !fdPath.empty()) {
      if (contains(args, "O_CREAT")) entryChanged_[fdPath] = time_;
      if (contains(args, "O_CREAT") || contains(args, "O_TRUNC")) written_[fdPath] = time_;
    } else if ((name == "mkdir" || name == "mkdirat") && !paths.empty()) {
      entryChanged_[paths[0]] = time_;
    } else if (text::startsWith(name, "write") || text::startsWith(name, "pwrite") || name == "ftruncate" ||
               name == "copy_file_range" || name == "sendfile") {
      if (!fds.empty()) written_[name == "sendfile" || name == "copy_file_range" ? fds.back() : fds[0]] = time_;
    } else if ((name == "fsync" || name == "fdatasync") && !fds.empty()) {
      flushed_[fds[0]] = time_;
    } else if ((name == "unlink" || name == "unlinkat") && !paths.empty() && !contains(args, "AT_REMOVEDIR")) {
      if (ours) removed(paths[0]);
      for (Times* m : {&written_, &flushed_, &entryChanged_}) m->erase(paths[0]);
    } else if (text::startsWith(name, "rename") && paths.size() == 2) {
      const std::string file = fs::path(paths[1]).filename();
      if (ours && !contains(args, "RENAME_NOREPLACE") &&
          (logDirs_.count(dirOf(paths[1])) || file == "webalizer.current" || file == "webalizer.hist"))
        check("rename over " + paths[1], {{paths[0]}});
      moved(paths[0], paths[1]);
    }
  }

  // A copy of records goes: which file must hold them by now.
  void removed(const std::string& path) {
    const std::string dir = dirOf(path), file = fs::path(path).filename();
    for (const std::string suffix : {".sort1", ".sort2", ".sort.tmp"}) {
      if (!logDirs_.count(dir) || !text::endsWith(file, suffix)) continue;
      const std::string chunk = path.substr(0, path.size() - suffix.size());
      // The sort's output may also go while its input still holds the records.
      if (suffix == ".sort2") return check("unlink " + path, {{chunk}, {chunk + ".sort1"}});
      return check("unlink " + path, {{chunk}});
    }
    if (fs::path(dir).filename() == "webalizer.saved") return check("unlink " + path, {{dirOf(dir) + "/" + file}});
    // A gathering's list holds no record, nor its copy while the logs are there.
    if (!logDirs_.count(dir) || text::endsWith(file, ".prepared") || file == kConfigName ||
        text::endsWith(file, ".gathered") || text::endsWith(file, ".gathering"))
      return;
    const auto& [engine, statDir] = logDirs_.at(dir);
    const std::string output =
        statDir + "/" + (file[0] == 'w' ? "webstat" : file[0] == 'a' ? "anon_ftpstat" : "ftpstat");
    std::vector<std::string> counts;  // what the engine wrote during the run
    for (const auto& [written, when] : written_) {
      const std::string name = fs::path(written).filename();
      if (dirOf(written) == output && (engine == demo::Engine::Webalizer
                                           ? name == "webalizer.current" || name == "webalizer.hist"
                                           : text::startsWith(name, "awstats") && text::endsWith(name, ".txt")))
        counts.push_back(written);
    }
    std::vector<std::vector<std::string>> holders = {{path + ".sort1"}, {path + ".sort.tmp"}, counts};
    for (const auto& [written, when] : written_)
      if (dirOf(written) == dir && text::endsWith(written, ".gathering")) holders.push_back({written});
    check("unlink " + path, holders);
  }

  // One of the groups must be on the disk whole.
  void check(const std::string& what, const std::vector<std::vector<std::string>>& groups) {
    ++checked;
    std::string holders;
    for (const auto& group : groups) {
      bool durable = !group.empty();
      for (const std::string& p : group)
        durable = durable && at(flushed_, p) > at(written_, p) && at(flushed_, dirOf(p)) > at(entryChanged_, p) &&
                  at(flushed_, dirOf(p)) >= 0;
      if (durable) return;
      holders += " [" + text::join(group, " ") + "]";
    }
    failures.push_back(what + ": none of these was flushed with its directory:" + holders);
  }

  // The file's state, and that of everything below a directory, goes with its name.
  void moved(const std::string& from, const std::string& to) {
    for (Times* m : {&written_, &flushed_, &entryChanged_}) {
      Times renamed;
      for (auto it = m->begin(); it != m->end();)
        if (it->first == from || text::startsWith(it->first, from + "/")) {
          renamed[to + it->first.substr(from.size())] = it->second;
          it = m->erase(it);
        } else {
          ++it;
        }
      for (const auto& [path, when] : renamed) (*m)[path] = when;  // over what was there
    }
    entryChanged_[to] = time_;
  }

  std::map<std::string, std::pair<demo::Engine, std::string>> logDirs_;
  std::map<int, std::string> image_, cwd_;
  Times written_, flushed_, entryChanged_;
  long time_ = 0;
};

// One scenario's world: its hosting tree and what the fault put in it.
struct World {
  explicit World(const Hosting::Options& scope) : h(scope) {}
  Hosting h;
  std::string kept;                 // what the fault replaced
  std::vector<std::string> paths;   // what the fault made
  std::unique_ptr<SyslogReceiver> syslog;
  std::unique_ptr<Mounts> mounts;   // unmounted before the tree goes
  std::vector<std::string> standIns;  // programs put back before the recovery run
};
using Step = std::function<void(World&)>;

struct Scenario {
  const char* name;
  Hosting::Options scope;
  int jobs = 0;         // StatisticsJobs; 0: the default
  bool primed = false;  // the domains get their reports of day 1 first, and the fault hits day 2
  bool once = false;    // the run under the fault counts everything itself: no recovery run
  Step inject{};
  std::function<Ran(World&)> run{};  // the run under the fault; nullptr: a plain run
  std::function<void(World&, const Ran&)> check{};  // what that run must show
  Step fix{};  // besides putting back stand-ins, environment and command prefix
  const char* recoverySays = nullptr;  // the recovery run's daily log must say it
};

// Shell text: the first time only, runs then and kills the caller's parent
// (the worker of one configuration) and the run above it.
std::string onceKillParent(World& w, const std::string& then = "") {
  const std::string fired = shq(w.h.scratch("fired"));
  return "  if [ ! -e " + fired + " ]; then\n    touch " + fired + "\n" + then +
         "    kill -KILL $(ps -o ppid= -p $PPID) $PPID; exit 137\n  fi ;;\n";
}
// The program replaced by a script; the real one stays beside it until the recovery run.
void standIn(World& w, const std::string& program, const std::string& script) {
  fs::rename(program, program + ".real");
  writeScript(program, script);
  w.standIns.push_back(program);
}
void killed(World& w, const Ran& ran) {
  EXPECT_EQ(ran.exitCode, 128 + SIGKILL) << "the fault did not kill the run\n" << w.h.diagnostics(ran);
}

void serviceStopped(World& w) {
  w.paths = w.h.logFiles();
  w.h.inst().stopService();
}
void serviceStarted(World& w) { w.h.inst().startService(); }
void serviceUntouched(World& w, const Ran& ran, const std::string& reason) {
  w.h.expectFailure(ran, reason);
  EXPECT_EQ(w.h.logFiles(), w.paths) << "a run without a working service must not touch a log";
}

const std::vector<Scenario>& scenarios() {
  static const std::vector<Scenario> table = {
      // -- SIGKILL at a chosen moment, over a domain that already has reports:
      // stand-ins kill the worker of the configuration and the run above it.
      // The one of the system sort (the program takes it from $TARVO_SYSTEM_DIR)
      // first writes half of the sorted web log, as a killed sort leaves it.
      {.name = "KilledDuringTheSort", .scope = {.domains = {kBlog}}, .primed = true,
       .inject = [](World& w) {
         const std::string dir = w.h.scratch("system");
         writeScript(dir + "/sort", "#!/bin/sh\nin=$(readlink /proc/$$/fd/0)\ncase $in in */web_*)\n" +
                                        onceKillParent(w, "    n=$(wc -l <\"$in\")\n"
                                                          "    LC_ALL=C /usr/bin/sort \"$in\" | head -n $((n / 2))\n") +
                                        "esac\nexec /usr/bin/sort \"$@\"\n");
         w.h.environment = {"TARVO_SYSTEM_DIR=" + dir};
       },
       .check = killed, .recoverySays = "was left by an interrupted run"},
      {.name = "KilledAfterWebalizerWroteItsReports", .scope = {.domains = {kBlog}}, .primed = true,
       .inject = [](World& w) {  // Webalizer counted the chunk; the run dies before it removes it
         const std::string program = w.h.webalizerProgram();
         standIn(w, program, "#!/bin/sh\n" + shq(program + ".real") + " \"$@\"\ncode=$?\ncase \"$*\" in *web_*)\n" +
                                 onceKillParent(w) + "esac\nexit $code\n");
       },
       .check = killed},
      {.name = "KilledDuringAnAWStatsPageRun", .scope = {.domains = {kBooks}, .webLogsOnly = true}, .primed = true,
       .inject = [](World& w) {  // the update is done; a page runs in a child of the driver, a child of the worker
         const std::string script = w.h.awstatsScript(), fired = w.h.scratch("fired");
         standIn(w, script, "if (grep({ $_ eq '-output=urldetail' } @ARGV) && !-e '" + fired + "') {\n"
                            "  open(my $f, '>', '" + fired + "'); close $f;\n"
                            "  chomp(my $worker = `ps -o ppid= -p ${\\ getppid()}`);\n"
                            "  kill 'KILL', `ps -o ppid= -p $worker` + 0, $worker; exit 137;\n}\n"
                            "do '" + script + ".real'; die $@ if $@;\n");
       },
       .check = killed},
      {.name = "KilledWhileTwoDomainsAreInFlight", .scope = {.domains = kAlpha, .webLogsOnly = true}, .jobs = 2,
       .inject = [](World& w) {  // each engine writes its pid, then waits for ever
         w.paths = {w.h.scratch("webalizer.pid"), w.h.scratch("perl.pid")};
         standIn(w, w.h.webalizerProgram(), "#!/bin/sh\necho $$ >" + shq(w.paths[0]) + "\nexec sleep 600\n");
         standIn(w, w.h.awstatsScript(),
                 "open(my $f, '>', '" + w.paths[1] + "'); print $f \"$$\\n\"; close $f;\nexec 'sleep', 600;\n");
       },
       .run = [](World& w) {
         auto child = w.h.start();
         // A pid file exists before it holds the pid: a kill in between would leave pid 0, the test's own group.
         const auto written = [&](int i) { return contains(readFile(w.paths[i]), "\n"); };
         EXPECT_TRUE(waitUntil([&] { return written(0) && written(1); }))
             << "both domains must be in flight within " << kWaitDeadline.count() << " s";
         child->kill();
         return child->wait();
       },
       .check = [](World& w, const Ran& ran) {
         for (const std::string& file : w.paths) {
           const std::string pid = std::to_string(std::atoi(readFile(file).c_str()));
           EXPECT_TRUE(waitUntil([&] {
             return ::kill(std::stoi(pid), 0) != 0 || shell("grep -q '^State:.*Z' /proc/" + pid + "/status") == 0;
           })) << file << ": the engine (pid " << pid << ") outlived the killed run";
         }
         killed(w, ran);
       }},

      // -- The statistics directories of an AWStats and a Webalizer domain
      // full (a 64 KiB tmpfs); then the space freed.
      {.name = "DiskFullInTheStatisticsDirectory", .scope = {.domains = kAlpha},
       .inject = [](World& w) {
         w.mounts = std::make_unique<Mounts>(w.h.statDirs(), "-t tmpfs -o size=64k tmpfs");
         if (!w.mounts->error.empty()) GTEST_SKIP() << "cannot mount a tmpfs: " << w.mounts->error;
         for (const std::string& dir : w.h.statDirs())
           for (demo::Kind kind : demo::kAllKinds) fs::create_directories(dir + "/" + demo::kindStatSubdir(kind));
         w.paths = w.h.logFiles();
       },
       .check = [](World& w, const Ran& ran) {
         w.h.expectFailure(ran, "No space left on device");
         // A chunk may go only when Webalizer could keep what it counted.
         for (const std::string& chunk : w.paths) {
           if (chunk.rfind(w.h.logDir(kBlog), 0) != 0 || fs::exists(chunk)) continue;
           const char kind = fs::path(chunk).filename().string()[0];
           const std::string hist = w.h.statDir(kBlog) + "/" +
                                    (kind == 'w' ? "webstat" : kind == 'a' ? "anon_ftpstat" : "ftpstat") +
                                    "/webalizer.hist";
           std::error_code ec;
           if (fs::file_size(hist, ec) == 0)
             ADD_FAILURE() << "Webalizer's history " << hist << " is empty after the full disk, yet the chunk "
                           << chunk << " was deleted: its records are lost";
         }
       },
       .fix = [](World& w) { ASSERT_TRUE(w.mounts->each("mount -o remount,size=16m")) << w.mounts->error; }},

      // -- The management service down, answering garbage, and restarted and
      // stopped between domains.
      {.name = "ManagementServiceDownAtTheStart", .scope = {.domains = {kBlog}}, .inject = serviceStopped,
       .check = [](World& w, const Ran& ran) {
         serviceUntouched(w, ran, "Unable to connect to pipe " + w.h.inst().socketPath());
       },
       .fix = serviceStarted},
      {.name = "ManagementServiceAnsweringGarbage", .scope = {.domains = {kBlog}}, .inject = serviceStopped,
       .run = [](World& w) {
         FakeService service(w.h.inst().socketPath(), FakeService::Answers::Garbage);
         return w.h.run();
       },
       .check = [](World& w, const Ran& ran) {
         w.h.expectFailure(ran, "getString(HTTPD_VHOSTS_D)");  // the request
         serviceUntouched(w, ran, "Unsupported char size");
       },
       .fix = serviceStarted},
      // Each configuration a FIFO, one domain at a time: the run stops at the
      // next domain's configuration until the test has acted. Before the 2nd
      // of 5 the service restarts (invisible to the run), before the 3rd it
      // stops, before the 5th it is back: the 3rd and 4th domains alone fail.
      {.name = "ManagementServiceRestartedThenDown", .scope = {.webLogsOnly = true}, .jobs = 1,
       .inject = [](World& w) {
         w.h.inst().setRegistryDword("AddressLookups", 0);  // they read every configuration once more
         for (const demo::DemoDomain* d : w.h.scope()) {
           w.paths.push_back(demo::configDir(w.h.vhosts(), *d) + "/" + kConfigName);
           fs::remove(w.paths.back());
           ASSERT_EQ(mkfifo(w.paths.back().c_str(), 0644), 0) << w.paths.back();
         }
       },
       .run = [](World& w) {
         auto child = w.h.start();
         std::vector<size_t> order;  // of the configurations opened
         waitUntil([&] {
           for (size_t i = 0; i < w.paths.size(); ++i) {
             const bool opened = std::count(order.begin(), order.end(), i) != 0;
             const int fd = opened ? -1 : ::open(w.paths[i].c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
             if (fd < 0) continue;
             order.push_back(i);
             if (order.size() == 2) w.h.inst().restartService();
             if (order.size() == 3) w.h.inst().stopService();
             if (order.size() == 5) w.h.inst().startService();
             const std::string xml = demo::configXml(*w.h.scope()[i]);
             EXPECT_EQ(::write(fd, xml.data(), xml.size()), static_cast<ssize_t>(xml.size()));
             ::close(fd);
           }
           return order.size() == w.paths.size() || !child->running();
         }, kRunDeadline);
         const Ran ran = child->wait();
         EXPECT_EQ(order.size(), w.paths.size()) << "configurations opened\n" << w.h.diagnostics(ran);
         for (size_t i = 0; i < order.size(); ++i)
           EXPECT_EQ(contains(ran.out, "by config '" + w.paths[order[i]] + "'"), i == 2 || i == 3)
               << w.paths[order[i]] << "\n" << w.h.diagnostics(ran);
         return ran;
       },
       .check = [](World& w, const Ran& ran) { EXPECT_EQ(ran.exitCode, 1) << w.h.diagnostics(ran); },
       .fix = [](World& w) {
         w.h.inst().removeRegistryValue("AddressLookups");
         for (size_t i = 0; i < w.paths.size(); ++i) {
           fs::remove(w.paths[i]);
           writeFile(w.paths[i], demo::configXml(*w.h.scope()[i]));
         }
       }},

      // -- An engine missing.
      {.name = "PerlMissing", .scope = {.domains = {kBooks}, .webLogsOnly = true},
       .inject = [](World& w) {
         fs::create_directories(w.h.scratch("no-perl"));
         w.h.inst().setRegistryString("INSTALLDIR", w.h.scratch("no-perl"), kPerlKey);
       },
       .check = [](World& w, const Ran& ran) {
         w.h.expectFailure(ran, w.h.scratch("no-perl") + "/bin/perl");
         EXPECT_FALSE(w.h.logFiles().empty());
       },
       .fix = [](World& w) { w.h.inst().setRegistryString("INSTALLDIR", "/usr", kPerlKey); }},

      // -- A log file the run cannot read: it belongs to another account with
      // mode 0600, as a web server running under its own account writes it,
      // and the run goes without the capabilities that override file
      // permissions, as a hardened service unit runs it.
      {.name = "LogFileUnreadable", .scope = {.domains = kAlpha, .webLogsOnly = true},
       .inject = [](World& w) {
         w.h.commandPrefix = {"/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"};
         for (const std::string& name : kAlpha) {
           w.paths.push_back(webLog(w.h, name));
           ASSERT_EQ(chown(w.paths.back().c_str(), 65534, 65534), 0) << w.paths.back();
           ASSERT_EQ(chmod(w.paths.back().c_str(), 0600), 0);
         }
         if (shell("/usr/bin/setpriv --bounding-set=-dac_override,-dac_read_search -- cat " + shq(w.paths[0])) == 0)
           GTEST_SKIP() << "the file stays readable without CAP_DAC_OVERRIDE; no way to make it unreadable here";
       },
       .check = [](World& w, const Ran& ran) {
         w.h.expectFailure(ran, "Permission denied");
         EXPECT_EQ(occurrences(ran.out, "Calculate web statistics by config"), 2u)  // an error line each
             << "both domains must fail on their unreadable log\n" << w.h.diagnostics(ran);
         for (const std::string& unreadable : w.paths)
           EXPECT_TRUE(fs::exists(unreadable)) << "an unreadable log was removed: " << unreadable;
       },
       .fix = [](World& w) {
         for (const std::string& unreadable : w.paths)
           ASSERT_TRUE(chown(unreadable.c_str(), 0, 0) == 0 && chmod(unreadable.c_str(), 0644) == 0) << unreadable;
       }},

      // -- What an engine rejects, what the control panel has not made yet
      // and what the operator configured: nothing of it may vanish, and every
      // record is counted once.
      {.name = "AWStatsRejectsTheLog", .scope = {.domains = {kBooks}, .webLogsOnly = true},
       .inject = [](World& w) {
         w.kept = readFile(webLog(w.h, kBooks));
         std::string garbage;
         for (int i = 0; i < 60; ++i) garbage += "not a record of this format " + std::to_string(i) + "\r\n";
         writeFile(webLog(w.h, kBooks), garbage);
       },
       .check = [](World& w, const Ran& ran) {
         w.h.expectFailure(ran, "did not find any valid log lines");
         EXPECT_TRUE(contains(readFile(webLog(w.h, kBooks)), "not a record")) << "the rejected log must stay";
         EXPECT_FALSE(fs::exists(w.h.statDir(kBooks) + "/webstat/index.html")) << "pages of a failed update";
       },
       .fix = [](World& w) { writeFile(webLog(w.h, kBooks), w.kept); }},
      {.name = "NewAWStatsDomainWithoutStatisticsDirectories", .scope = {.domains = {kBooks}}, .once = true,
       .inject = [](World& w) {
         fs::remove_all(w.h.statDir(kBooks));
         const std::string above = fs::path(w.h.statDir(kBooks)).parent_path();
         ASSERT_EQ(chown(above.c_str(), 65534, 65534), 0);
         ASSERT_EQ(chmod(above.c_str(), 0750), 0);
       },
       .check = [](World& w, const Ran&) {  // made with the owner and mode of the directory above
         for (demo::Kind kind : demo::kAllKinds) {
           struct stat st {};
           const std::string dir = w.h.statDir(kBooks) + "/" + demo::kindStatSubdir(kind);
           EXPECT_EQ(stat(dir.c_str(), &st), 0) << dir;
           EXPECT_EQ(st.st_mode & 07777, 0750u) << dir;
           EXPECT_EQ(st.st_uid, 65534u) << dir;
         }
       }},
      {.name = "RegistryFileWithComments", .scope = {.domains = {kBlog}}, .once = true,
       .inject = [](World& w) {
         w.kept = "; the operator's first note\r\n";
         int n = 0;
         for (std::string line : text::split(readFile(w.h.inst().registryFile()), '\n')) {
           if (!line.empty() && line.back() == '\r') line.pop_back();
           w.kept += line + "\r\n; note " + std::to_string(++n) + "\r\n\r\n";
         }
         writeFile(w.h.inst().registryFile(), w.kept);
       },
       .check = [](World& w, const Ran&) {
         const std::string after = readFile(w.h.inst().registryFile());
         EXPECT_TRUE(text::startsWith(after, w.kept)) << "comments, blank lines or order changed:\n" << after;
         EXPECT_TRUE(contains(after, "EventLog")) << "the event source was not recorded";
       }},
      {.name = "DebugOfTheWrongType", .scope = {.domains = {kBlog}}, .once = true,
       .inject = [](World& w) {  // a REG_SZ, and 20 invalid configurations
         w.h.inst().setRegistryString("Debug", "1");
         for (int i = 0; i < 20; ++i)
           writeFile(w.h.vhosts() + "/ws-zz/logs/iis/bad" + std::to_string(i) + "/" + kConfigName, "<config/>");
       },
       .check = [](World& w, const Ran& ran) {
         EXPECT_EQ(occurrences(ran.out, "The registry value Debug"), 1u) << w.h.diagnostics(ran);
         for (int i = 0; i < 20; ++i)  // errors, 16 in a row at least: one of them once went missing
           EXPECT_TRUE(contains(w.h.inst().dailyLog(), "/bad" + std::to_string(i) + "/" + kConfigName + "'. Skipped"))
               << i << "\n" << w.h.diagnostics(ran);
       }},
      // PRODUCT_ROOT_D missing, then its admin/logs: the errors go to the
      // system log, and the recovery run makes the daily log again.
      {.name = "ProductRootMissingThenItsLogs", .scope = {.domains = {kBlog}},
       .inject = [](World& w) {
         w.h.inst().removeRegistryValue("PRODUCT_ROOT_D");
         w.h.inst().setSetting("WebalizerPath", w.h.scratch("no-webalizer"));
         w.syslog = std::make_unique<SyslogReceiver>(w.h.scratch("syslog.sock"));
         w.h.environment = {"TARVO_SYSLOG_SOCKET=" + w.h.scratch("syslog.sock")};
       },
       .check = [](World& w, const Ran& ran) {
         w.h.expectFailure(ran, "CreateProcess");
         const std::string events = text::join(w.syslog->take(), "\n");
         EXPECT_TRUE(contains(events, "CreateProcess " + w.h.scratch("no-webalizer"))) << events;
         EXPECT_TRUE(contains(events, "cannot be written to the daily log")) << events;
         EXPECT_EQ(occurrences(ran.out, "cannot be written to the daily log"), 1u) << ran.out;
       },
       .fix = [](World& w) {
         w.h.inst().setRegistryString("PRODUCT_ROOT_D", w.h.inst().productRoot());
         w.h.inst().setSetting("WebalizerPath", w.h.webalizerProgram());
         fs::remove_all(w.h.inst().logsDir());
       }},

      // -- A power cut, over a Webalizer and an AWStats domain and the
      // leftovers of every recovery: the order of flushes under strace (no
      // device-mapper here for dm-flakey).
      {.name = "PowerCutOrderOfFlushesUnderStrace", .scope = {.domains = kAlpha}, .primed = true, .once = true,
       .inject = [](World& w) {
         if (shell("strace -V") != 0) GTEST_SKIP() << "strace is not installed (scripts/install-deps)";
         const auto name = [&](demo::Kind kind) { return demo::logFileName(kind, today() - kDay); };
         const std::string vars = " w=" + name(demo::Kind::Web) + " f=" + name(demo::Kind::Ftp) +
                                  " a=" + name(demo::Kind::AnonymousFtp) + " && export LC_ALL=C && ";
         // Webalizer: the unsorted records beside an unfinished sort and an
         // unfinished copy; sorted records alone; a prepared chunk with both
         // temporary files; counts saved, and a copy of them unfinished.
         ASSERT_EQ(shell("cd " + shq(w.h.logDir(kBlog)) + " &&" + vars +
                         "mv $w $w.sort1 && cut -c16- $w.sort1 | head -c 100 >$w && head -c 40 $w.sort1 >$w.sort2 && "
                         "mv $a $a.sort2 && cp $f $f.sort1 && sort $f >$f.sort2 && cut -c16- $f.sort2 >$f && "
                         "touch $f.prepared && cd " + shq(w.h.statDir(kBlog)) + "/webstat && mkdir webalizer.saved && "
                         "mkdir webalizer.saving && cp webalizer.current webalizer.hist webalizer.saved"),
                   0);
         // AWStats: the sort's unfinished output beside its sort file; a sort
         // file beside a newer log of the same name; two logs of a kind,
         // gathered into one before AWStats reads them.
         ASSERT_EQ(shell("cd " + shq(w.h.logDir(kBooks)) + " &&" + vars +
                         "mv $w $w.sort.tmp && sort $w.sort.tmp | head -n 3 >$w && "
                         "sort $f >all && n=$(($(wc -l <$f) / 2)) && head -n $n all >$f.sort.tmp && "
                         "tail -n +$((n + 1)) all >$f && rm all && "
                         "n=$(($(wc -l <$a) / 2)) && tail -n +$((n + 1)) $a >$a.1 && head -n $n $a >h && mv h $a"),
                   0);
         w.h.commandPrefix = {"strace", "-f", "-qq", "-y", "-s", "0", "-e", "signal=none", "-o", w.h.scratch("trace"),
                              "-e", "trace=openat,open,creat,write,writev,pwrite64,pwritev,pwritev2,ftruncate,"
                              "copy_file_range,sendfile,fsync,fdatasync,unlink,unlinkat,rename,renameat,renameat2,"
                              "mkdir,mkdirat,execve,clone,clone3,fork,vfork,chdir", "--"};
       },
       .check = [](World& w, const Ran&) {
         FlushOrder order({{w.h.logDir(kBlog), {demo::Engine::Webalizer, w.h.statDir(kBlog)}},
                           {w.h.logDir(kBooks), {demo::Engine::AWStats, w.h.statDir(kBooks)}}});
         order.read(w.h.scratch("trace"));
         EXPECT_GE(order.checked, 12) << "the trace shows fewer removals than the run made";
         for (const std::string& failure : order.failures) ADD_FAILURE() << failure;
       }},
  };
  return table;
}

// Every record of every day laid out counted once in the reports of the
// domains in scope, no log file left beside the configurations and no mark
// of an unfinished AWStats copy.
void expectLedger(Hosting& h) {
  for (const std::string& file : h.logFiles()) ADD_FAILURE() << "left beside the configuration: " << file;
  for (const demo::ReportCount& count : h.counts())
    EXPECT_EQ(count.counted, count.generated) << count.domain->name << " (" << demo::engineName(count.domain->engine)
                                              << ") " << demo::kindPrefix(count.kind)
                                              << ": records generated and counted in the reports differ";
  for (const std::string& dir : h.statDirs())
    for (demo::Kind kind : demo::kAllKinds)
      EXPECT_FALSE(fs::exists(dir + "/" + demo::kindStatSubdir(kind) + "/CopyAWStats.lock"))
          << "the mark of an unfinished AWStats copy stays in " << dir;
}

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class Faults : public ::testing::TestWithParam<Scenario> {};

TEST_P(Faults, EveryRecordCountedOnce) {
  const Scenario& s = GetParam();
  World w(s.scope);
  Hosting& h = w.h;
  if (s.jobs) h.inst().setRegistryDword("StatisticsJobs", s.jobs);
  if (s.primed) {
    const Ran first = h.run();
    ASSERT_EQ(first.exitCode, 0) << h.diagnostics(first);
    h.addDay();
  }
  if (s.inject) s.inject(w);
  if (IsSkipped() || HasFatalFailure()) return;
  const Ran ran = s.run ? s.run(w) : h.run();
  s.check(w, ran);
  if (s.once) {
    EXPECT_EQ(ran.exitCode, 0) << h.diagnostics(ran);
    return expectLedger(h);
  }
  h.environment.clear();
  h.commandPrefix.clear();
  for (const std::string& program : w.standIns) fs::rename(program + ".real", program);
  if (s.fix) s.fix(w);
  if (HasFatalFailure()) return;
  const size_t mark = h.inst().dailyLog().size();
  const Ran rerun = h.run();
  EXPECT_EQ(rerun.exitCode, 0) << h.diagnostics(rerun);
  const std::string recovery = h.inst().dailyLog().substr(mark);
  EXPECT_FALSE(recovery.empty()) << "the recovery run wrote no daily log";
  if (s.recoverySays) {
    EXPECT_TRUE(contains(recovery, s.recoverySays)) << "the recovery run does not say what it recovered\n" << recovery;
  }
  expectLedger(h);
}

INSTANTIATE_TEST_SUITE_P(Table, Faults, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

} // namespace
