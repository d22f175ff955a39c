// A whole nightly run, measured two ways in one run of this program.
//
// 1. Overhead and speed-up: 20 domains (10 on Webalizer, 10 on AWStats), one
//    web log each, processed by "web_statistics_executor --calculate-all"
//    with StatisticsJobs=1 and, for two more sets of 20 domains with the
//    same logs, by the program with its default number of jobs and by a
//    shell script that runs the same engine commands by hand, one after
//    another (sort, key removal, webalizer; sort, the AWStats update and its
//    21 report pages; removal of each log). Targets: with one job the
//    program adds less than 5% to the script's wall time; with the default
//    it takes at most 0.6 of it on 2 cores; every domain's record counts are
//    the same in the three runs. The program's run
//    includes its flushes to the disk (fdatasync of each file that takes
//    over records, fsync of its directory); a third run over a new day of
//    logs, under strace counting only those calls, shows what they cost.
// 2. Growth: the program's wall time for 100, 1,000 and 5,000 domains with
//    small logs. Real engines would spend hours there (an AWStats domain costs
//    22 Perl starts), so Webalizer's place is taken by a script that only
//    writes a complete index page: what is
//    measured is the program's own work per domain and log (finding and
//    reading the configuration, the sort, the key removal, starting the engine,
//    removing the log). Target: cost linear in the number of domains.
// 3. Address lookups: a Webalizer domain of LINES lines from as many distinct
//    addresses, on a name server that never answers (a private mount
//    namespace whose resolv.conf names a socket on 127.0.0.2:53 that reads
//    nothing; needs root). The program against Webalizer's own lookups with
//    the old command line (webalizer -N 15 -D cache), whose resolver gets a
//    1-second time-out and one attempt (glibc's default, 5 s and 2 attempts,
//    would take ten times longer). Target: program <= 0.1 of it; its reports
//    identical to a Webalizer run without lookups.
//
// Usage: run_bench [LINES] [SIZES...]   (default 2000 lines; 100 1000 5000)
//        run_bench lookups [LINES]      (only the address lookups)
// Needs Debian's webalizer, awstats and perl, and the built programs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bench/common/bench_installation.h"
#include "platform/process_identity.h"
#include "tests/common/stand_in_resolver.h"

namespace fs = std::filesystem;
using bench::shellQuoted;

namespace {

using Clock = std::chrono::steady_clock;

double secondsOf(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

const char* const kPages[] = {"alldomains", "allhosts", "lasthosts", "unknownip", "alllogins", "lastlogins",
                              "allrobots", "lastrobots", "urldetail", "urlentry", "urlexit", "osdetail",
                              "unknownos", "browserdetail", "unknownbrowser", "refererse", "refererpages",
                              "keyphrases", "keywords", "errors404"};

// Records of one day for a domain, in the format its engine reads, shuffled a
// little (two servers writing one file).
std::string webLog(const std::string& domain, bool awstats, int day, int lines) {
  std::string log;
  char buffer[600];
  for (int i = 0; i < lines; ++i) {
    const int n = (i * 7919) % lines;  // out of order
    const int seconds = static_cast<int>(static_cast<long long>(n) * 86399 / lines);
    const int h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
    if (awstats) {
      std::snprintf(buffer, sizeof buffer,
                    "2026-11-%02d %02d:%02d:%02d W3SVC1 WEB1 192.0.2.10 GET /dir%d/page%d.html - 80 - 10.0.%d.%d "
                    "HTTP/1.1 Mozilla/5.0+(X11;+Linux+x86_64;+rv:128.0)+Gecko/20100101+Firefox/128.0 - "
                    "http://search.example.org/?q=term%d %s %d 0 0 %d 300 15\r\n",
                    day, h, m, s, n % 13, n % 101, n % 7, n % 250, n % 37, domain.c_str(), n % 29 ? 200 : 404,
                    1000 + n % 4000);
    } else {
      std::snprintf(buffer, sizeof buffer,
                    "202611%02d%02d%02d%02d 10.0.%d.%d - - [%02d/Nov/2026:%02d:%02d:%02d +0000] \"GET /dir%d/page%d.html "
                    "HTTP/1.1\" %d %d \"http://search.example.org/?q=term%d\" \"Mozilla/5.0 (X11; Linux x86_64; "
                    "rv:128.0) Gecko/20100101 Firefox/128.0\"\n",
                    day, h, m, s, n % 7, n % 250, day, h, m, s, n % 13, n % 101, n % 29 ? 200 : 404, 1000 + n % 4000,
                    n % 37);
    }
    log += buffer;
  }
  return log;
}

struct Domain {
  std::string name;
  std::string webspace;
  bool awstats = false;
  fs::path logDir;  // where the configuration and the logs lie
  fs::path output;  // the web statistics directory
};

class Tree {
 public:
  explicit Tree(const bench::Installation& inst) : inst_(inst) {}

  Domain add(const std::string& name, bool awstats) {
    Domain d;
    d.name = name;
    d.webspace = "ws-" + name;
    d.awstats = awstats;
    d.logDir = inst_.vhosts() / d.webspace / "logs/iis";
    d.output = inst_.vhosts() / d.webspace / ".tarvo/statistics" / name / "webstat";
    fs::create_directories(d.output);
    bench::writeText(d.logDir / "web_stat_executor.conf",
                     "<config><domain name=\"" + name + "\" webspaceName=\"" + d.webspace +
                         "\" default_doc=\"index.html\"><alias name=\"www." + name + "\"/><webstat type=\"" +
                         (awstats ? "awstats" : "webalizer") + "\"/></domain></config>\n");
    return d;
  }
  // Puts a configuration out of the program's sight and back.
  static void hide(const Domain& d, bool hidden) {
    const fs::path conf = d.logDir / "web_stat_executor.conf";
    const fs::path off = d.logDir / "web_stat_executor.conf.off";
    fs::rename(hidden ? conf : off, hidden ? off : conf);
  }

 private:
  const bench::Installation& inst_;
};

void putLog(const Domain& d, int day, int lines) {
  char name[32];
  std::snprintf(name, sizeof name, "web_202611%02d.log", day);
  bench::writeText(d.logDir / name, webLog(d.name, d.awstats, day, lines));
}

// The engine commands the program runs for the domains, by hand.
// Webalizer only reads the names the program looked up before (-N 0).
std::string script(const std::vector<Domain>& domains, const fs::path& webalizerRoot, const fs::path& awstatsRoot) {
  std::ostringstream s;
  s << "set -e\nexport LC_ALL=C\n"
    << "aw=" << shellQuoted((awstatsRoot / "wwwroot/cgi-bin/awstats.pl").string()) << "\n"
    << "wb=" << shellQuoted((webalizerRoot / "bin/webalizer").string()) << "\n"
    << "wc=" << shellQuoted((webalizerRoot / "conf/webalizer.conf").string()) << "\n";
  for (const Domain& d : domains) {
    s << "d=" << d.name << "\nout=" << shellQuoted(d.output.string()) << "\n"
      << "for log in " << shellQuoted(d.logDir.string()) << "/web_*.log; do\n";
    if (d.awstats) {
      // The program points the domain's configuration at each log in turn.
      s << "  sed -i \"s|^LogFile=.*|LogFile=\\\"$log\\\"|\" \"$(dirname \"$aw\")/awstats.$d.conf\"\n"
        << "  mv \"$log\" \"$log.sort.tmp\"\n  sort -o \"$log\" \"$log.sort.tmp\"\n  rm \"$log.sort.tmp\"\n"
        << "  /usr/bin/perl \"$aw\" -showsteps -showcorrupted -showdropped -config=$d -update >/dev/null\n"
        << "  /usr/bin/perl \"$aw\" -config=$d -output >\"$out/index.html\"\n  for p in";
      for (const char* page : kPages) s << " " << page;
      s << "; do /usr/bin/perl \"$aw\" -config=$d -output=$p >\"$out/awstats.$d.$p.html\"; done\n";
    } else {
      s << "  mv \"$log\" \"$log.sort1\"\n  sort \"$log.sort1\" -o \"$log.sort2\"\n"
        << "  cut -c16- \"$log.sort2\" >\"$log\"\n  rm \"$log.sort1\" \"$log.sort2\"\n"
        << "  \"$wb\" -q -c \"$wc\" -n $d -N 0 -p -o \"$out\" \"$log\"\n";
    }
    s << "  rm \"$log\"\ndone\n";
  }
  return s.str();
}

void runProgram(const std::string& what, const std::string& prefix = {}) {
  const std::string program = bench::builtProgram("web_statistics_executor");
  if (std::system((prefix + shellQuoted(program) + " --calculate-all >/dev/null 2>&1").c_str()) != 0)
    std::printf("  (%s: the program did not end with exit code 0)\n", what.c_str());
}

// The program under strace, which stops only at fsync and fdatasync (through
// seccomp, so every other call runs at full speed) and adds up the wall time
// spent in them. Gives back the calls and their seconds; the run's own wall
// time in wall.
std::pair<long, double> flushesOfARun(const fs::path& counts, double& wall) {
  const auto start = Clock::now();
  runProgram("run under strace", "strace -f --seccomp-bpf -c -w -e trace=fsync,fdatasync -o " +
                                     shellQuoted(counts.string()) + " ");
  wall = secondsOf(start);
  std::ifstream in(counts);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    double percent = 0, seconds = 0;
    long perCall = 0, calls = 0;
    std::string name;
    if (fields >> percent >> seconds >> perCall >> calls >> name && name == "total") return {calls, seconds};
  }
  return {0, 0};
}

long logsLeft(const fs::path& vhosts) {
  long left = 0;
  for (const auto& e : fs::recursive_directory_iterator(vhosts))
    if (e.is_regular_file() && e.path().filename().string().rfind("web_2026", 0) == 0) ++left;
  return left;
}

// StatisticsJobs in the registry file: n workers at once; 0 removes it (the
// default: the processors the program may use).
void setJobs(const bench::Installation& inst, unsigned n) {
  const fs::path file = inst.root() / "registry.reg";
  std::ifstream in(file, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("\"StatisticsJobs\"=", 0) == 0) continue;
    out += line + "\n";
    if (n > 0 && line.rfind("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvo\\ZUL Config\\Config]", 0) == 0) {
      char value[64];
      std::snprintf(value, sizeof value, "\"StatisticsJobs\"=dword:%08x\r\n", n);
      out += value;
    }
  }
  bench::writeText(file, out);
}

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// What the engine counted for November 2026: AWStats' day rows, Webalizer's
// month line of its history (hits, files, sites, kilobytes, days, pages,
// visits).
std::string counts(const Domain& d) {
  std::istringstream in(d.awstats ? readText(d.output / ("awstats112026." + d.name + ".txt"))
                                  : readText(d.output / "webalizer.hist"));
  std::string found;
  bool days = false;
  for (std::string line; std::getline(in, line);) {
    if (d.awstats) {
      if (line.rfind("END_DAY", 0) == 0) days = false;
      if (days) found += line + "\n";
      if (line.rfind("BEGIN_DAY", 0) == 0) days = true;
    } else if (line.rfind("11 2026 ", 0) == 0) {
      found = line;
    }
  }
  return found;
}

void overhead(int lines) {
  bench::Installation inst;
  const fs::path webalizer = inst.root() / "webalizer";
  const fs::path awstats = inst.product() / "awstats";
  bench::runOrDie(shellQuoted(std::string(TARVO_SOURCE_DIR) + "/scripts/setup-webalizer") + " " +
                  shellQuoted(webalizer.string()) + " >/dev/null");
  bench::runOrDie(shellQuoted(std::string(TARVO_SOURCE_DIR) + "/scripts/setup-awstats") + " " +
                  shellQuoted(awstats.string()) + " >/dev/null");
  inst.addSettings("WebalizerPath=" + (webalizer / "bin/webalizer").string() + "\ncomponent.awstats=" +
                   awstats.string() + "\n");

  // Three sets of the same 20 domains and logs: the program with the default
  // number of jobs, the program with one, the shell script.
  Tree tree(inst);
  std::vector<Domain> byProgram, byOneJob, byScript;
  for (int i = 0; i < 20; ++i) {
    const bool aw = i % 2 == 1;
    char name[64];
    std::snprintf(name, sizeof name, "p%02d-%s.example", i, aw ? "aw" : "wb");
    byProgram.push_back(tree.add(name, aw));
    std::snprintf(name, sizeof name, "o%02d-%s.example", i, aw ? "aw" : "wb");
    byOneJob.push_back(tree.add(name, aw));
    std::snprintf(name, sizeof name, "s%02d-%s.example", i, aw ? "aw" : "wb");
    byScript.push_back(tree.add(name, aw));
  }
  const std::vector<const std::vector<Domain>*> sets = {&byProgram, &byOneJob, &byScript};
  // Steady state for all sets: the AWStats configurations, the domain
  // copies and the statistics databases exist.
  for (const auto* set : sets)
    for (const Domain& d : *set) putLog(d, 1, 20);
  runProgram("first run");
  // The program removes the AWStats configurations of domains it no longer
  // sees, so the script's are kept aside while the program runs.
  const fs::path cgi = awstats / "wwwroot/cgi-bin";
  const fs::path kept = inst.root() / "kept-configs";
  fs::create_directories(kept);
  for (const Domain& d : byScript)
    if (d.awstats) fs::copy_file(cgi / ("awstats." + d.name + ".conf"), kept / ("awstats." + d.name + ".conf"));

  for (const auto* set : sets)
    for (const Domain& d : *set) putLog(d, 2, lines);
  const fs::path scriptFile = inst.root() / "by-hand.sh";
  bench::writeText(scriptFile, script(byScript, webalizer, awstats));

  // The program over one set, the others out of its sight.
  const auto programOver = [&](const std::vector<Domain>& set, unsigned jobs) {
    for (const auto* other : sets)
      if (other != &set)
        for (const Domain& d : *other) Tree::hide(d, true);
    setJobs(inst, jobs);
    const auto start = Clock::now();
    runProgram("20 domains, " + std::to_string(jobs) + " jobs");
    const double wall = secondsOf(start);
    for (const auto* other : sets)
      if (other != &set)
        for (const Domain& d : *other) Tree::hide(d, false);
    return wall;
  };
  const double oneJob = programOver(byOneJob, 1);
  const double program = programOver(byProgram, 0);
  for (const auto& e : fs::directory_iterator(kept)) fs::copy_file(e.path(), cgi / e.path().filename(),
                                                                    fs::copy_options::overwrite_existing);

  const auto scriptStart = Clock::now();
  const fs::path scriptLog = inst.root() / "by-hand.log";
  if (std::system(("bash " + shellQuoted(scriptFile.string()) + " >" + shellQuoted(scriptLog.string()) + " 2>&1").c_str())) {
    std::printf("the script failed:\n");
    std::system(("tail -n 20 " + shellQuoted(scriptLog.string())).c_str());
  }
  const double byHand = secondsOf(scriptStart);

  std::vector<std::string> differing;
  for (size_t i = 0; i < byScript.size(); ++i) {
    const std::string serial = counts(byScript[i]);
    if (serial.empty() || counts(byOneJob[i]) != serial || counts(byProgram[i]) != serial)
      differing.push_back(byScript[i].name.substr(4));
  }

  std::printf("20 domains (10 Webalizer, 10 AWStats), one web log of %d lines each\n", lines);
  std::printf("  %-40s %9.2f s  %6.3f of the script (target < 1.05)\n", "web_statistics_executor, StatisticsJobs=1",
              oneJob, oneJob / byHand);
  std::printf("  %-40s %9.2f s  %6.3f of the script (target <= 0.6 on 2 cores)\n",
              ("web_statistics_executor, default (" + std::to_string(platform::usableProcessorCount()) + " jobs)").c_str(),
              program, program / byHand);
  std::printf("  %-40s %9.2f s\n", "shell script, same commands, serial", byHand);
  std::printf("  record counts identical in the three runs: %zu of %zu domains%s", byScript.size() - differing.size(),
              byScript.size(), differing.empty() ? "" : "; differing:");
  for (const std::string& name : differing) std::printf(" %s", name.c_str());
  std::printf("\n  logs left: %ld\n", logsLeft(inst.vhosts()));

  for (const Domain& d : byProgram) putLog(d, 3, lines);
  double wall = 0;
  const auto [calls, seconds] = flushesOfARun(inst.root() / "flushes.txt", wall);
  std::printf("  flushes of the program's run over the next day: %ld calls, %.3f s of %.2f s (%.2f%% of the run)\n",
              calls, seconds, wall, wall > 0 ? seconds / wall * 100 : 0);
}

void growth(const std::vector<int>& sizes) {
  bench::Installation inst;
  const fs::path noop = inst.root() / "noop-webalizer";
  fs::create_directories(noop / "bin");
  fs::create_directories(noop / "conf");
  // The program takes a run without a complete index page for a failed one.
  bench::writeText(noop / "bin/webalizer",
                   "#!/bin/sh\nwhile [ $# -gt 1 ]; do [ \"$1\" = -o ] && out=$2; shift; done\n"
                   "printf '<HTML>\\n<!-- Webalizer Version 2.23 -->\\n</HTML>\\n' >\"$out/index.html\"\n");
  fs::permissions(noop / "bin/webalizer", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                              fs::perms::others_read | fs::perms::others_exec);
  bench::writeText(noop / "conf/webalizer.conf", "Quiet yes\n");
  inst.addSettings("WebalizerPath=" + (noop / "bin/webalizer").string() + "\n");

  Tree tree(inst);
  int made = 0;
  std::printf("growth: domains with one small web log (20 lines) each, Webalizer replaced by a page-writing script\n");
  std::printf("  %8s %12s %16s %10s\n", "domains", "wall [s]", "per domain [ms]", "vs first");
  double firstPerDomain = 0;
  for (int size : sizes) {
    for (; made < size; ++made) tree.add("g" + std::to_string(made) + ".example", false);
    for (int i = 0; i < size; ++i) {
      Domain d;
      d.name = "g" + std::to_string(i) + ".example";
      d.logDir = inst.vhosts() / ("ws-" + d.name) / "logs/iis";
      putLog(d, 3, 20);
    }
    const auto start = Clock::now();
    runProgram(std::to_string(size) + " domains");
    const double wall = secondsOf(start);
    const double perDomain = wall / size * 1e3;
    if (firstPerDomain == 0) firstPerDomain = perDomain;
    std::printf("  %8d %12.2f %16.3f %9.2fx   logs left: %ld\n", size, wall, perDomain, perDomain / firstPerDomain,
                logsLeft(inst.vhosts()));
  }
  std::printf("  target: linear growth (per-domain cost about constant, 'vs first' near 1)\n");
}

// The report pages of a Webalizer output directory, without the lines that
// say when they were made.
std::string reportsOf(const fs::path& output) {
  std::vector<fs::path> pages;
  for (const auto& e : fs::directory_iterator(output))
    if (e.path().extension() == ".html") pages.push_back(e.path());
  std::sort(pages.begin(), pages.end());
  std::string text;
  for (const fs::path& page : pages) {
    text += "== " + page.filename().string() + "\n";
    std::ifstream in(page);
    for (std::string line; std::getline(in, line);)
      if (line.find("Generated") == std::string::npos) text += line + "\n";
  }
  return text;
}

// A Webalizer domain whose chunk has one record from each of lines
// addresses; records gets the same records as the program hands them to
// Webalizer (without sort keys, line feeds alone).
Domain lookupDomain(Tree& tree, const std::string& name, int lines, std::string& records) {
  const Domain d = tree.add(name, false);
  std::string chunk;
  records.clear();
  char buffer[400];
  for (int i = 0; i < lines; ++i) {
    const int seconds = static_cast<int>(static_cast<long long>(i) * 86399 / lines);
    const int h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
    std::snprintf(buffer, sizeof buffer,
                  "172.%d.%d.%d - - [01/Nov/2026:%02d:%02d:%02d +0000] \"GET /page%d.html HTTP/1.1\" 200 %d \"-\" "
                  "\"Mozilla/5.0\"",
                  16 + i / 62500, i / 250 % 250, i % 250 + 1, h, m, s, i % 101, 1000 + i % 4000);
    char key[32];
    std::snprintf(key, sizeof key, "20261101%02d%02d%02d ", h, m, s);
    chunk += key + std::string(buffer) + "\n";
    records += std::string(buffer) + "\n";
  }
  bench::writeText(d.logDir / "web_20261101.log", chunk);
  return d;
}

// The lines where the reports of the two directories first differ, or "".
std::string firstDifference(const fs::path& program, const fs::path& other) {
  const std::string got = reportsOf(program), wanted = reportsOf(other);
  if (got == wanted && !wanted.empty()) return {};
  std::istringstream a(got), b(wanted);
  std::string left, right;
  while (std::getline(a, left) && std::getline(b, right) && left == right) {
  }
  return "program '" + left + "', other '" + right + "'";
}

void lookupsInNamespace(int lines) {
  if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    throw std::runtime_error(std::string("a private mount namespace needs root: ") + std::strerror(errno));
  bench::Installation inst;
  const fs::path resolvConf = inst.root() / "resolv.conf";
  bench::writeText(resolvConf, "nameserver 127.0.0.2\noptions timeout:1 attempts:1\n");
  if (::mount(resolvConf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
    throw std::runtime_error(std::string("bind-mount resolv.conf: ") + std::strerror(errno));
  const fs::path webalizer = inst.root() / "webalizer";
  bench::runOrDie(shellQuoted(std::string(TARVO_SOURCE_DIR) + "/scripts/setup-webalizer") + " " +
                  shellQuoted(webalizer.string()) + " >/dev/null");
  inst.addSettings("WebalizerPath=" + (webalizer / "bin/webalizer").string() + "\n");
  const std::string wb = shellQuoted((webalizer / "bin/webalizer").string()) + " -Q -c " +
                         shellQuoted((webalizer / "conf/webalizer.conf").string());
  Tree tree(inst);
  const fs::path byHand = inst.root() / "records.log";
  // Webalizer by hand over the records into a new directory; its seconds.
  const auto webalizerRun = [&](const Domain& d, const std::string& options, const std::string& directory) {
    const fs::path output = inst.root() / directory;
    fs::create_directories(output);
    const auto start = Clock::now();
    bench::runOrDie(wb + " -n " + d.name + options + " -p -F clf -o " + shellQuoted(output.string()) + " " +
                    shellQuoted(byHand.string()));
    return secondsOf(start);
  };
  const auto timedProgram = [&] {
    const auto start = Clock::now();
    runProgram("lookups");
    return secondsOf(start);
  };
  std::printf("address lookups: a Webalizer domain of %d lines from %d addresses\n", lines, lines);

  {
    // A name server that reads nothing and answers nothing.
    const int silent = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(0x7f000002);
    if (silent < 0 || ::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error(std::string("a silent name server on 127.0.0.2:53: ") + std::strerror(errno));
    std::string records;
    const Domain d = lookupDomain(tree, "silent.example", lines, records);
    bench::writeText(byHand, records);
    const double program = timedProgram();
    const double oldLine =
        webalizerRun(d, " -D " + shellQuoted((inst.root() / "silent.cache").string()) + " -N 15", "silent-old");
    webalizerRun(d, " -N 0", "silent-none");
    ::close(silent);
    const std::string difference = firstDifference(d.output, inst.root() / "silent-none");
    std::printf("  a name server that never answers:\n");
    std::printf("    %-44s %9.2f s\n", "webalizer -N 15 -D cache (resolver: 1 s, 1 try)", oldLine);
    std::printf("    %-44s %9.2f s\n", "web_statistics_executor (2 s per lookup)", program);
    std::printf("    program / old command line: %.3f (target <= 0.1); reports identical to a run without lookups: %s\n",
                program / oldLine, difference.empty() ? "yes" : ("NO, " + difference).c_str());
  }
  {
    // A name server that gives every address a name at once.
    const testenv::StandInResolver answering({}, {"*.dyn.example.de"}, "127.0.0.2", 53);
    std::string records;
    const Domain d = lookupDomain(tree, "answered.example", lines, records);
    bench::writeText(byHand, records);
    const double program = timedProgram();
    const double oldLine =
        webalizerRun(d, " -D " + shellQuoted((inst.root() / "answered.cache").string()) + " -N 15", "answered-old");
    const std::string difference = firstDifference(d.output, inst.root() / "answered-old");
    std::printf("  a name server that answers every address with a name:\n");
    std::printf("    %-44s %9.2f s\n", "webalizer -N 15 -D cache", oldLine);
    std::printf("    %-44s %9.2f s\n", "web_statistics_executor", program);
    const bool named = reportsOf(d.output).find(".dyn.example.de") != std::string::npos;
    std::printf("    reports identical to Webalizer's own lookups (site names, countries): %s; names shown: %s\n",
                difference.empty() ? "yes" : ("NO, " + difference).c_str(), named ? "yes" : "NO");
  }
}

// In a child of its own: the mount namespace stays there.
void lookups(int lines) {
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child == 0) {
    int code = 0;
    try {
      lookupsInNamespace(lines);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "run_bench: address lookups: %s\n", e.what());
      code = 1;
    }
    std::fflush(stdout);
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
}

} // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "lookups") {
    lookups(argc > 2 ? std::atoi(argv[2]) : 2000);
    return 0;
  }
  // Webalizer's own lookups (-N 15, the old command line of the lookups row)
  // wait for the resolver's time-out where no name server answers; a short
  // one keeps that row to minutes.
  ::setenv("RES_OPTIONS", "timeout:1 attempts:1", 0);
  const int lines = argc > 1 ? std::atoi(argv[1]) : 2000;
  std::vector<int> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {100, 1000, 5000};
  try {
    if (lines > 0) overhead(lines);
    if (lines > 0) lookups(lines);
    growth(sizes);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "run_bench: %s\n", e.what());
  }
  return 1;
}
