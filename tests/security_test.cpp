// A hostile customer on a shared server: the run is root in webspaces their
// customers own, and the customer of ws-alpha puts links, hard links, FIFOs,
// devices and odd names where the run reads and writes, and plays with its
// locks and service. For every attack the files outside ws-alpha stay as
// they were, byte for byte, and the other customers' reports count every
// record.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>

#include "tests/common/fake_service.h"
#include "tests/common/hosting.h"
#include "tests/common/test_env.h"

namespace {

namespace fs = std::filesystem;
using namespace testenv;

const std::string kAttacker = "alpha-books.example";     // AWStats, in ws-alpha
const std::string kAttackerToo = "alpha-blog.example";  // Webalizer, in ws-alpha
const std::vector<std::string> kVictims = {"beta-shop.example", "gamma-news.example"};

std::string shq(const std::string& s) { return shellQuote(s); }

// Every regular file's content under the roots, by path.
std::map<std::string, std::string> contents(const std::vector<std::string>& roots) {
  std::map<std::string, std::string> out;
  for (const std::string& root : roots) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
      if (it->is_regular_file() && !it->is_symlink()) out[it->path()] = readFile(it->path());
  }
  return out;
}

size_t changes(const std::map<std::string, std::string>& before, const std::map<std::string, std::string>& after) {
  size_t n = 0;
  for (const auto& [path, content] : before) {
    const auto it = after.find(path);
    if (it == after.end() || it->second != content) ++n;
  }
  return n + (after.size() > before.size() ? after.size() - before.size() : 0);
}

// The hosting tree after one clean run, with a new day of logs waiting, and
// the files an attacker would like to reach: root's, outside every webspace,
// and a file of another customer, inside ws-beta.
class Scene {
 public:
  Scene() : h_(Hosting::Options{{kAttacker, kAttackerToo, kVictims[0], kVictims[1]}, true, true}) {
    fs::create_directories(outside("dir"));
    writeFile(outside("root-file"), "root's own file\n");
    writeFile(outside("dir/inside"), "in root's directory\n");
    fs::permissions(outside("root-file"), fs::perms(0644));
    writeFile(victimFile(), "another customer's file\n");
    chownTo(victimFile(), h_.ownerOf(kVictims[0]));
    const Ran first = h_.run();
    if (first.exitCode != 0) ADD_FAILURE() << h_.diagnostics(first);
    h_.addDay();
    h_.keep();
  }

  Hosting& h() { return h_; }
  std::string outside(const std::string& name) const { return h_.scratch("outside/" + name); }
  std::string victimFile() const { return h_.webspaceDir(kVictims[0]) + "/private-notes.txt"; }
  std::string stat(const std::string& domain, const std::string& rest) const {
    return h_.statDir(domain) + "/webstat/" + rest;
  }
  std::string webLog(const std::string& domain) const {
    for (const auto& e : fs::directory_iterator(h_.logDir(domain)))
      if (e.path().filename().string().rfind("web_", 0) == 0) return e.path();
    return {};
  }
  // What the attack must leave alone: everything outside ws-alpha but the
  // victims' statistics and logs, which the run changes by design.
  std::vector<std::string> guarded() const {
    return {outside(""), victimFile(), h_.awstatsScript(),
            h_.awstatsRoot() + "/wwwroot/cgi-bin/awstats.model.conf", h_.inst().productRoot() + "/webalizer/conf"};
  }

  // The item at path becomes what make makes there, owned by the attacker.
  void replace(const std::string& path, const std::function<void()>& make) {
    fs::remove_all(path);
    make();
    chownTo(path, h_.ownerOf(kAttacker));
  }
  void link(const std::string& path, const std::string& target) {
    replace(path, [&] { fs::create_symlink(target, path); });
  }
  static void chownTo(const std::string& path, uid_t uid) {
    shell("chown -h " + std::to_string(uid) + ":" + std::to_string(uid) + " " + shq(path));
  }

 private:
  Hosting h_;
};

struct Attack {
  const char* name;
  std::function<void(Scene&)> plant;
  const char* said = "";  // a piece of what the program must say; "" when the run simply goes on
  std::vector<std::string> counted = {};  // the attacker's domains whose records must be counted all the same
  std::function<bool(Scene&, const Ran&)> holds = nullptr;  // further checks of the attack's own
};

const std::vector<Attack>& attacks() {
  static const std::vector<Attack> table = {
      {"index.html (AWStats) a link to a root file",
       [](Scene& s) { s.link(s.stat(kAttacker, "index.html"), s.outside("root-file")); }, "", {kAttacker}},
      {"AWStats a link to a root directory", [](Scene& s) { s.link(s.stat(kAttacker, "AWStats"), s.outside("dir")); },
       "", {kAttacker}, [](Scene& s, const Ran&) { return !fs::is_symlink(s.stat(kAttacker, "AWStats")); }},
      {"webalizer.current a link to a root file",
       [](Scene& s) { s.link(s.stat(kAttackerToo, "webalizer.current"), s.outside("root-file")); },
       "A symbolic link is in the way"},
      {"webalizer.hist a hard link to a root file",
       [](Scene& s) {
         const std::string hist = s.stat(kAttackerToo, "webalizer.hist");
         s.replace(hist, [&] { fs::create_hard_link(s.outside("root-file"), hist); });
       }},
      {"webalizer.saved a link to a root directory",
       [](Scene& s) { s.link(s.stat(kAttackerToo, "webalizer.saved"), s.outside("dir")); },
       "is a symbolic link; nothing is written through it"},
      {"webstat (Webalizer) a link to another customer's reports",
       [](Scene& s) { s.link(s.h().statDir(kAttackerToo) + "/webstat", s.h().statDir(kVictims[1]) + "/webstat"); },
       "is a symbolic link"},
      {"a log a link to another customer's log",
       [](Scene& s) { s.link(s.webLog(kAttacker), s.webLog(kVictims[0])); }, "is a symbolic link to"},
      {"a log a FIFO",
       [](Scene& s) {
         const std::string log = s.webLog(kAttackerToo);
         s.replace(log, [&] { ASSERT_EQ(mkfifo(log.c_str(), 0644), 0); });
       },
       "is a FIFO"},
      {"a log renamed to a link while the run sorts it",
       [](Scene& s) {
         // The sort stand-in swaps its input for a link to another
         // customer's log, then sorts what it was given.
         const std::string dir = s.h().scratch("system");
         fs::create_directories(dir);
         writeScript(dir + "/sort", "#!/bin/sh\nin=$(readlink /proc/$$/fd/0)\ncase $in in */ws-alpha/*)\n"
                                             "  rm -f \"$in\"; ln -s " + shq(s.webLog(kVictims[0])) +
                                             " \"$in\" ;;\nesac\nexec /usr/bin/sort \"$@\"\n");
         s.h().environment = {"TARVO_SYSTEM_DIR=" + dir};
       },
       "", {kAttacker, kAttackerToo}},
      {"log names with a line feed and with non-UTF-8 bytes",
       [](Scene& s) {
         fs::rename(s.webLog(kAttacker), s.h().logDir(kAttacker) + "/web_new\nline.log");
         fs::rename(s.webLog(kAttackerToo), s.h().logDir(kAttackerToo) + "/web_\xff\xfe.log");
       },
       "", {kAttacker, kAttackerToo}},
      {"a 2 GB sparse log",
       [](Scene& s) {
         const std::string log = s.h().logDir(kAttackerToo) + "/web_sparse.log";
         writeFile(log, "");
         fs::resize_file(log, 2ull << 30);
         Scene::chownTo(log, s.h().ownerOf(kAttacker));
       },
       "holds unwritten bytes"},
      {"logs/iis a link to another customer's logs",
       [](Scene& s) {
         s.link(s.h().webspaceDir(kAttacker) + "/logs/iis", s.h().webspaceDir(kVictims[0]) + "/logs/iis");
       },
       "is a symbolic link in a webspace that belongs to a customer"},
      {"a configuration a FIFO",
       [](Scene& s) {
         const std::string conf = s.h().logDir(kAttacker) + "/web_stat_executor.conf";
         s.replace(conf, [&] { ASSERT_EQ(mkfifo(conf.c_str(), 0644), 0); });
       },
       "Not a regular file"},
      {"the domain's copy holds another domain's configuration",
       [](Scene& s) {
         writeFile(s.stat(kAttacker, "AWStats/cgi-bin/awstats." + kVictims[0] + ".conf"),
                   "SiteDomain=\"" + kVictims[0] + "\"\n");
       },
       "", {kAttacker},
       [](Scene& s, const Ran&) {
         return !fs::exists(s.stat(kAttacker, "AWStats/cgi-bin/awstats." + kVictims[0] + ".conf"));
       }},
      {"the daily log's lock held by another account",
       [](Scene& s) {
         // As an older installation left it: a lock file every account
         // could open, held by one that never lets go.
         const std::string lock = s.h().inst().lockDir() + "/tarvolog_debug_mutex.lock";
         writeFile(lock, "");
         fs::permissions(lock, fs::perms(0666));
         s.h().inst().setRegistryDword("LockWaitTimeout", 5);
         // The holder's pid is kept so that it alone is ended afterwards.
         shell("setpriv --reuid=65534 --regid=65534 --clear-groups flock " + shq(lock) + " sleep 60 >/dev/null 2>&1 & "
               "echo $! >" + shq(s.h().scratch("holder.pid")) + "; sleep 0.5");
       },
       "", {}, [](Scene& s, const Ran& ran) {
         const std::string pid = std::to_string(std::atoi(readFile(s.h().scratch("holder.pid")).c_str()));
         shell("kill $(ps -o pid= --ppid " + pid + ") " + pid);
         s.h().inst().removeRegistryValue("LockWaitTimeout");
         return ran.exitCode == 0;
       }},
  };
  return table;
}

void PrintTo(const Attack& a, std::ostream* os) { *os << a.name; }

// One scene per process, put back before every attack.
class Security : public ::testing::TestWithParam<Attack> {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() == 0) scene_ = new Scene;
  }
  static void TearDownTestSuite() {
    delete scene_;
    scene_ = nullptr;
  }
  static Scene* scene_;
};
Scene* Security::scene_ = nullptr;

TEST_P(Security, AHostileCustomerGetsNoRootHelpAndStopsNobodyElse) {
  if (!scene_) GTEST_SKIP() << "acting as the webspaces' owners needs root";
  const Attack& attack = GetParam();
  Scene& scene = *scene_;
  Hosting& h = scene.h();
  h.restore();
  h.environment.clear();
  attack.plant(scene);
  const auto before = contents(scene.guarded());
  const Ran ran = h.run();
  EXPECT_EQ(changes(before, contents(scene.guarded())), 0u) << "files outside the attacker's webspace changed\n"
                                                            << h.diagnostics(ran);
  std::vector<std::string> counted = kVictims;
  counted.insert(counted.end(), attack.counted.begin(), attack.counted.end());
  for (const demo::ReportCount& row : h.counts()) {
    if (std::count(counted.begin(), counted.end(), row.domain->name)) {
      EXPECT_EQ(row.counted, row.generated) << row.domain->name << "\n" << h.diagnostics(ran);
    }
  }
  if (*attack.said) {
    EXPECT_TRUE(contains(ran.out, attack.said)) << "the program must say " << attack.said << "\n" << h.diagnostics(ran);
  }
  if (attack.holds) {
    EXPECT_TRUE(attack.holds(scene, ran)) << h.diagnostics(ran);
  }
}

INSTANTIATE_TEST_SUITE_P(Attacks, Security, ::testing::ValuesIn(attacks()));

// A service that takes the request and never answers: the run ends within
// the bound with the service's failure, and no log is touched.
TEST(SilentService, FailsTheRunWithinTheBound) {
  Hosting h(Hosting::Options{{kAttackerToo}, true, false});
  const std::vector<std::string> logs = h.logFiles();
  h.inst().setRegistryDword("PipeAnswerTimeout", 2);
  h.inst().stopService();
  FakeService silent(h.inst().socketPath(), FakeService::Answers::None);
  const auto started = std::chrono::steady_clock::now();
  const Ran ran = h.run();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60)) << "the run waited on past the bound";
  h.expectFailure(ran, "The management service did not answer within 2 seconds");
  EXPECT_EQ(h.logFiles(), logs);
}

} // namespace
