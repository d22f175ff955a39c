// What the program adds to an AWStats run: one log of 100,000 lines through
// the program's whole AWStats sequence (configuration, domain copy check,
// sort, update, 21 pages, log removal), against the same commands run by a
// shell script, in the same run on the same machine.
//
// Then the Perl runs alone for a small log: the update and the 21 pages as
// 22 separate runs of "perl awstats.pl" against one run of the program's
// driver, which compiles awstats.pl once; one job and the processors the
// program may use; the 21 pages of both compared byte for byte over the same
// database. Target: the driver takes at most 0.3 of the separate runs.
//
// Usage: awstats_bench [lines] [rounds] [small-log lines]
// Needs Debian's awstats and perl, and the built tarvo-mgmt-service.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include "awstats/log_for_awstats.h"
#include "platform/process_identity.h"
#include "support/errors.h"

namespace fs = std::filesystem;

namespace {

std::string shq(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

void writeFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

void run(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// W3C extended records of one day, shuffled so that the sort has work to do.
std::string makeLog(const std::string& host, int day, int lines, unsigned seed) {
  std::vector<std::string> records;
  records.reserve(static_cast<size_t>(lines));
  char buffer[512];
  for (int i = 0; i < lines; ++i) {
    const int seconds = static_cast<int>(static_cast<long long>(i) * 86399 / std::max(lines, 1));
    std::snprintf(buffer, sizeof buffer,
                  "2024-03-%02d %02d:%02d:%02d W3SVC1 WEB1 192.0.2.10 GET /dir%d/page%d.html q=%d 80 - 10.%d.%d.%d "
                  "HTTP/1.1 Mozilla/5.0+(X11;+Linux+x86_64;+rv:120.0)+Gecko/20100101+Firefox/120.0 - "
                  "http://search.example.org/?q=term%d %s %d 0 0 %d 300 15\r\n",
                  day, seconds / 3600, seconds / 60 % 60, seconds % 60, i % 17, i % 211, i % 5, (i / 65536) % 256,
                  (i / 256) % 256, i % 256, i % 97, host.c_str(), i % 23 ? 200 : 404, 1000 + i % 5000);
    records.emplace_back(buffer);
  }
  std::mt19937 generator(seed);
  std::shuffle(records.begin(), records.end(), generator);
  std::string log;
  for (const std::string& r : records) log += r;
  return log;
}

struct World {
  std::string root;
  std::string awstats;
  std::string vhosts;
  std::string pidFile;

  World() {
    const char* tmp = std::getenv("TMPDIR");
    root = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarvo-awstats-bench-" + std::to_string(std::random_device{}());
    awstats = root + "/awstats";
    vhosts = root + "/vhosts";
    fs::create_directories(root + "/pipes");
    fs::create_directories(root + "/locks");
    fs::create_directories(vhosts);
    run(shq(std::string(TARVO_SOURCE_DIR) + "/scripts/setup-awstats") + " " + shq(awstats) + " >/dev/null");
    writeFile(root + "/registry.reg",
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvo\\Installer\\CorvanitePerl]\r\n\"INSTALLDIR\"=\"/usr\"\r\n");
    writeFile(root + "/mgmt-service.conf", "HTTPD_VHOSTS_D=" + vhosts + "\nPRODUCT_ROOT_D=" + root +
                                               "\nAWStatsPath=" + awstats + "\ncomponent.awstats=" + awstats + "\n");
    setenv("TARVO_REGISTRY", (root + "/registry.reg").c_str(), 1);
    setenv("TARVO_PIPE_DIR", (root + "/pipes").c_str(), 1);
    setenv("TARVO_LOCK_DIR", (root + "/locks").c_str(), 1);
    pidFile = root + "/service.pid";
    const std::string service = std::string(TARVO_BUILD_DIR) + "/tools/mgmt_service/tarvo-mgmt-service";
    run(shq(service) + " " + shq(root + "/mgmt-service.conf") + " >" + shq(root + "/service.log") +
        " 2>&1 & echo $! >" + shq(pidFile));
    for (int i = 0; i < 100 && !fs::exists(root + "/pipes/zulpipe"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!fs::exists(root + "/pipes/zulpipe")) throw std::runtime_error("the management service did not start");
  }
  ~World() {
    std::ifstream in(pidFile);
    long pid = 0;
    if (in >> pid && pid > 0) std::system(("kill " + std::to_string(pid) + " 2>/dev/null").c_str());
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  WebStatConfig domain(const std::string& name) const {
    WebStatConfig config;
    config.domainName = name;
    config.webspaceName = "ws1";
    config.type = "awstats";
    config.defaultDoc = "index.html";
    config.configDir = vhosts + "/ws1/logs/iis/" + name;
    fs::create_directories(config.configDir);
    fs::create_directories(vhosts + "/ws1/.tarvo/statistics/" + name + "/webstat");
    return config;
  }
  std::string output(const WebStatConfig& config) const {
    return vhosts + "/ws1/.tarvo/statistics/" + config.domainName + "/webstat";
  }
};

// Records AWStats counted for the domain: the hits of its day rows, which
// leave out the requests answered with an HTTP error, and those errors.
long countedHits(const World& world, const WebStatConfig& config) {
  std::ifstream in(world.output(config) + "/awstats032024." + config.domainName + ".txt");
  std::string line, section;
  long hits = 0;
  while (std::getline(in, line)) {
    if (line.rfind("BEGIN_", 0) == 0) {
      section = line.substr(6, line.find(' ') - 6);
    } else if (line.rfind("END_", 0) == 0) {
      section.clear();
    } else if (section == "DAY" || section == "ERRORS") {
      std::istringstream row(line);
      std::string key;
      long first = 0, second = 0;
      row >> key >> first >> second;
      hits += section == "DAY" ? second : first;  // day: date pages hits ...; error: code hits bytes
    }
  }
  return hits;
}

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

double runProgram(const WebStatConfig& config, const std::string& logName, const std::string& content) {
  LogSource source;
  source.kind = LogKind::Web;
  source.path = config.configDir + "/" + logName;
  writeFile(source.path, content);
  const auto start = std::chrono::steady_clock::now();
  LogForAWStats(source, config).processLogFile();
  return seconds(std::chrono::steady_clock::now() - start);
}

// The same commands by hand: sort, the update, the page runs, the removal.
double runScript(const World& world, const WebStatConfig& config, const std::string& logName,
                 const std::string& content) {
  const std::string log = config.configDir + "/" + logName;
  writeFile(log, content);
  std::ostringstream script;
  script << "set -e\n"
         << "log=" << shq(log) << "\nout=" << shq(world.output(config)) << "\nd=" << config.domainName << "\n"
         << "aw=" << shq(world.awstats + "/wwwroot/cgi-bin/awstats.pl") << "\n"
         << "mv \"$log\" \"$log.sort.tmp\"\n"
         << "LC_ALL=C sort -o \"$log\" \"$log.sort.tmp\"\n"
         << "rm \"$log.sort.tmp\"\n"
         << "/usr/bin/perl \"$aw\" -showsteps -showcorrupted -showdropped -config=$d -update <\"$log\" >/dev/null\n"
         << "m=awstats.$d.202403\n";
  // The pages the program makes: those of the clock's month and, the records
  // being of March 2024, that month's own.
  for (const std::string& page : awstatsPagesMadeFirst()) {
    const std::string option = page.empty() ? "-output" : "-output=" + page;
    script << "/usr/bin/perl \"$aw\" -config=$d " << option << " -staticlinks >\"$out/"
           << (page.empty() ? "index" : "awstats.$d." + page) << ".html\"\n"
           << "/usr/bin/perl \"$aw\" -config=$d " << option << " -month=03 -year=2024 -staticlinks=$m >\"$out/$m"
           << (page.empty() ? "" : "." + page) << ".html\"\n";
  }
  script << "rm \"$log\"\n";
  const std::string path = config.configDir + "/run.sh";
  writeFile(path, script.str());
  const auto start = std::chrono::steady_clock::now();
  run("bash " + shq(path));
  return seconds(std::chrono::steady_clock::now() - start);
}


std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

const char* pageOption(size_t i) { return i == 0 ? "-output" : nullptr; }

std::string pageFile(size_t i) { return i == 0 ? "index" : awstatsReportPages[i]; }

// The driver's requests: kind, standard input, standard output, the number
// of arguments, the arguments, each ended by a NUL.
std::string driverRequests(const std::string& domain, const std::string& log, const std::string& pages) {
  std::string text;
  const auto field = [&](const std::string& value) { text += value + '\0'; };
  if (!log.empty()) {
    for (const std::string& f : {std::string("update"), log, std::string(), std::string("5"), std::string("-showsteps"),
                                 std::string("-showcorrupted"), std::string("-showdropped"), "-config=" + domain,
                                 std::string("-update")})
      field(f);
  }
  for (size_t i = 0; i < awstatsReportPages.size(); ++i) {
    field("page");
    field("");
    field(pages + "/" + pageFile(i) + ".html");
    field("2");
    field("-config=" + domain);
    field(pageOption(i) ? pageOption(i) : std::string("-output=") + awstatsReportPages[i]);
  }
  return text;
}

const std::string kPerlEnvironment = "PERL_HASH_SEED=0 PERL_PERTURB_KEYS=0 ";

// Processor time of the children that ended so far (user and system).
double childrenCpu() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Cost {
  double wall = 0, cpu = 0;
};

Cost timed(const std::string& command) {
  const auto start = std::chrono::steady_clock::now();
  const double cpu = childrenCpu();
  run(command);
  return {seconds(std::chrono::steady_clock::now() - start), childrenCpu() - cpu};
}

// 22 separate runs, the pages jobs at once.
Cost separateRuns(const World& world, const std::string& domain, const std::string& log, const std::string& pages,
                    unsigned jobs) {
  const std::string aw = shq(world.awstats + "/wwwroot/cgi-bin/awstats.pl");
  std::string list;
  for (size_t i = 0; i < awstatsReportPages.size(); ++i)
    list += pageFile(i) + " " + (pageOption(i) ? pageOption(i) : std::string("-output=") + awstatsReportPages[i]) + "\n";
  writeFile(pages + "/list", list);
  return timed("export " + kPerlEnvironment + "; /usr/bin/perl " + aw + " -showsteps -showcorrupted -showdropped -config=" +
               domain + " -update <" + shq(log) + " >/dev/null && xargs -P " + std::to_string(jobs) +
               " -L 1 sh -c '/usr/bin/perl " + aw + " -config=" + domain + " \"$1\" >" + shq(pages) +
               "/\"$0\".html' <" + shq(pages + "/list"));
}

Cost driverRun(const World& world, const std::string& domain, const std::string& log, const std::string& pages,
                 unsigned jobs) {
  const std::string requests = pages + "/requests";
  writeFile(requests, driverRequests(domain, log, pages));
  return timed(kPerlEnvironment + "/usr/bin/perl " + shq(std::string(TARVO_BUILD_DIR) + "/share/tarvo/awstats_driver.pl") +
               " " + shq(world.awstats + "/wwwroot/cgi-bin/awstats.pl") + " " + std::to_string(jobs) + " <" +
               shq(requests) + " >" + shq(pages + "/results"));
}

void perlRuns(const World& world, int lines) {
  const WebStatConfig config = world.domain("perl.example");
  runProgram(config, "web_1.log", makeLog(config.domainName, 1, 50, 1));  // configuration, domain copy, database
  const std::string database = world.output(config) + "/awstats032024." + config.domainName + ".txt";
  const std::string saved = readText(database);
  std::string log = makeLog(config.domainName, 2, lines, 2);
  {
    std::vector<std::string> records;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) records.push_back(line + "\n");
    std::sort(records.begin(), records.end());
    log.clear();
    for (const std::string& r : records) log += r;
  }
  const std::string logPath = world.root + "/perl-runs.log";
  writeFile(logPath, log);

  const unsigned usable = platform::usableProcessorCount();
  std::printf("\nPerl runs of one AWStats log of %d lines: the update and 21 pages\n", lines);
  std::printf("%-6s %14s %12s %8s %18s %16s %10s\n", "jobs", "separate [s]", "driver [s]", "ratio",
              "separate cpu [s]", "driver cpu [s]", "cpu ratio");
  std::vector<unsigned> jobCounts{1};
  if (usable > 1) jobCounts.push_back(usable);
  double lastRatio = 0;
  for (unsigned jobs : jobCounts) {
    const std::string dir = world.root + "/perl-runs-" + std::to_string(jobs);
    writeFile(database, saved);
    const Cost separate = separateRuns(world, config.domainName, logPath, dir + "/separate", jobs);
    writeFile(database, saved);
    const Cost driver = driverRun(world, config.domainName, logPath, dir + "/driver", jobs);
    lastRatio = driver.wall / separate.wall;
    std::printf("%-6u %14.3f %12.3f %8.3f %18.3f %16.3f %10.3f\n", jobs, separate.wall, driver.wall, lastRatio,
                separate.cpu, driver.cpu, driver.cpu / separate.cpu);
  }
  // Pages over one database: separate runs, then the driver.
  const std::string dir = world.root + "/perl-runs-compared";
  separateRuns(world, config.domainName, logPath, dir + "/separate", usable);
  driverRun(world, config.domainName, {}, dir + "/driver", usable);
  std::vector<std::string> differing;
  for (size_t i = 0; i < awstatsReportPages.size(); ++i) {
    const std::string name = pageFile(i) + ".html";
    if (readText(dir + "/separate/" + name) != readText(dir + "/driver/" + name) ||
        readText(dir + "/driver/" + name).empty())
      differing.push_back(name);
  }
  std::printf("pages byte-identical between the driver and separate runs: %zu of %zu%s\n",
              awstatsReportPages.size() - differing.size(), awstatsReportPages.size(), differing.empty() ? "" : "; differing:");
  for (const std::string& name : differing) std::printf("  %s\n", name.c_str());
  std::printf("driver / separate runs with %u jobs: %.3f (target <= 0.3)\n", jobCounts.back(), lastRatio);
}
} // namespace

int main(int argc, char** argv) {
  const int lines = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const int smallLines = argc > 3 ? std::atoi(argv[3]) : 100;
  try {
    World world;
    std::printf("AWStats sequence over one log of %d lines, %d rounds\n", lines, rounds);
    std::printf("%-6s %12s %12s %8s\n", "round", "program [s]", "script [s]", "ratio");

    std::vector<double> programTimes, scriptTimes;
    for (int round = 1; round <= rounds && lines > 0; ++round) {
      const WebStatConfig byProgram = world.domain("prog" + std::to_string(round) + ".example");
      const WebStatConfig byScript = world.domain("script" + std::to_string(round) + ".example");
      // The records name their own site (AWStats drops the others).
      const std::string programLog = makeLog(byProgram.domainName, 2, lines, 2);
      const std::string scriptLog = makeLog(byScript.domainName, 2, lines, 2);
      // Steady state for both: the domain copy and the database exist.
      runProgram(byProgram, "web_1.log", makeLog(byProgram.domainName, 1, 50, 1));
      // Also writes the script domain's configuration.
      runProgram(byScript, "web_1.log", makeLog(byScript.domainName, 1, 50, 1));

      double program = 0, script = 0;
      if (round % 2) {
        program = runProgram(byProgram, "web_1.log", programLog);
        script = runScript(world, byScript, "web_1.log", scriptLog);
      } else {
        script = runScript(world, byScript, "web_1.log", scriptLog);
        program = runProgram(byProgram, "web_1.log", programLog);
      }
      for (const WebStatConfig* config : {&byProgram, &byScript}) {
        if (countedHits(world, *config) != lines + 50)
          throw std::runtime_error("AWStats did not count every record of " + config->domainName + ": " +
                                   std::to_string(countedHits(world, *config)) + " of " +
                                   std::to_string(lines + 50));
      }
      programTimes.push_back(program);
      scriptTimes.push_back(script);
      std::printf("%-6d %12.3f %12.3f %8.3f\n", round, program, script, program / script);
    }
    if (!programTimes.empty()) {
      std::sort(programTimes.begin(), programTimes.end());
      std::sort(scriptTimes.begin(), scriptTimes.end());
      const double p = programTimes[programTimes.size() / 2];
      const double s = scriptTimes[scriptTimes.size() / 2];
      std::printf("median  program %.3f s, script %.3f s, ratio %.3f (program adds %+.1f%%; target <= +5%%)\n", p, s,
                  p / s, (p / s - 1) * 100);
    }
    perlRuns(world, smallLines);
    return 0;
  } catch (const vexception& e) {
    std::fprintf(stderr, "awstats_bench: %s\n", e.fullMessage().c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "awstats_bench: %s\n", e.what());
  }
  return 1;
}
