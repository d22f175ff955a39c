// A hosting server in a temporary directory for whole-run tests: the
// installation with both real engines (Debian's webalizer, awstats.pl
// through perl), the real management service, and a small demo tree of
// webspaces and domains (tools/demo_data), optionally owned by ordinary
// accounts as on a real server. The built program runs over it as a child
// process with a deadline, and the records of every day laid out are
// counted in the engines' own files afterwards.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/common/test_installation.h"
#include "tools/demo_data/demo_tree.h"

namespace testenv {

using Ran = TestInstallation::RunResult;  // exitCode is 128 + signal when a signal ended it

inline constexpr demo::UnixTime kDay = 86400;
inline constexpr const char* kPerlKey = "SOFTWARE\\Tarvo\\Installer\\CorvanitePerl";
inline constexpr const char* kConfigName = "web_stat_executor.conf";
// The longest a run over the demo tree may take on a loaded machine, and the
// longest a test waits for a run to reach a point, a file or a process to go.
inline constexpr std::chrono::seconds kRunDeadline{240};

// A shell command line's exit code; its output (with standard error) in
// *output when asked.
int shell(const std::string& command, std::string* output = nullptr);
bool contains(const std::string& text, const std::string& piece);
size_t occurrences(const std::string& text, const std::string& piece);
// The start of today (UTC), for demo days.
demo::UnixTime today();

// A started program (a shell command line run with exec), with its standard
// output and error in files; killed and reaped when the object ends.
class Child {
 public:
  Child(const std::string& command, const std::string& base);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  bool running() const;
  void kill() const;
  // Waits at most the deadline (a test failure past it, and the child is
  // killed).
  Ran wait(std::chrono::milliseconds deadline = kRunDeadline);

 private:
  pid_t pid_ = -1;
  std::string out_, err_;
};

class Hosting {
 public:
  struct Options {
    std::set<std::string> domains{};  // the demo domains that keep their logs; empty: all
    bool webLogsOnly = false;       // no FTP logs: fewer engine runs
    // Each webspace belongs to an ordinary account (uid = gid = 61000 + its
    // index) instead of root, and the tree can be walked by every account.
    bool ownedByCustomers = false;
  };
  Hosting();
  explicit Hosting(Options options);

  TestInstallation& inst() { return inst_; }
  const TestInstallation& inst() const { return inst_; }
  std::string vhosts() const { return inst_.vhostsDir(); }
  std::string scratch(const std::string& name) const;  // a path of the test's own, outside the tree
  std::string webalizerProgram() const { return inst_.productRoot() + "/webalizer/bin/webalizer"; }
  std::string awstatsRoot() const { return inst_.productRoot() + "/awstats"; }
  std::string awstatsScript() const { return awstatsRoot() + "/wwwroot/cgi-bin/awstats.pl"; }

  static const demo::DemoDomain& domain(const std::string& name);
  bool inScope(const demo::DemoDomain& d) const;
  std::vector<const demo::DemoDomain*> scope() const;
  std::string logDir(const std::string& name) const { return demo::configDir(vhosts(), domain(name)); }
  std::string statDir(const std::string& name) const { return demo::statisticsDir(vhosts(), domain(name)); }
  std::string webspaceDir(const std::string& name) const { return vhosts() + "/" + domain(name).webspace; }
  // The account that owns the domain's webspace (0 when root owns it).
  uid_t ownerOf(const std::string& name) const;

  void addDay();  // the next day of logs for every domain in scope
  std::vector<std::string> logFiles() const;  // of the domains in scope
  std::vector<std::string> statDirs() const;  // of the domains in scope

  // In front of the program on its command line (e.g. setpriv), and added to
  // its environment as NAME=value.
  std::vector<std::string> commandPrefix, environment;
  std::unique_ptr<Child> start(const std::vector<std::string>& arguments = {"--calculate-all"});
  Ran run(const std::vector<std::string>& arguments = {"--calculate-all"}) { return start(arguments)->wait(); }

  std::vector<demo::ReportCount> counts() const;  // of the domains and kinds in scope

  std::string diagnostics(const Ran& ran) const;
  // A run under the fault: it fails (exit code 1) and says why.
  void expectFailure(const Ran& ran, const std::string& reason) const;

  // The vhosts tree as it is now, kept aside; restore() puts it back, so that
  // scenarios start from the same reports without a run of their own.
  void keep();
  void restore();

 private:
  void prune();

  Options options_;
  TestInstallation inst_;
  int runs_ = 0;
};

} // namespace testenv
