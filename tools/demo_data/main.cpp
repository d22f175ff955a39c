// tarvo-demo-data: lays out the demo hosting tree that scripts/demo and the
// end-to-end tests run the program over.
#include "tools/demo_data/demo_tree.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

namespace {

const char kUsage[] =
    "usage: tarvo-demo-data --vhosts=DIR [--seed=N] [--days=N] [--start=YYYY-MM-DD]\n"
    "                       [--records=N] [--count]\n"
    "       tarvo-demo-data --vhosts=DIR --append-day [--count]\n"
    "       tarvo-demo-data --vhosts=DIR --counted\n"
    "\n"
    "Lays out three webspaces with five domains (AWStats and Webalizer) under the\n"
    "virtual-hosts root DIR: each domain's web_stat_executor.conf, its statistics\n"
    "directories and N days (default 3) of web, FTP and anonymous-FTP logs.\n"
    "  --seed=N        random seed (default 1); the same seed gives the same tree\n"
    "  --days=N        days of logs (default 3)\n"
    "  --start=DAY     first day (UTC); default: the days end yesterday\n"
    "  --records=N     web records per day of a typical domain (default 1500)\n"
    "  --append-day    add the day after the last one laid out (for a second run)\n"
    "  --count         print the records written per domain and kind, tab-separated\n"
    "  --counted       print, per domain and kind, the records of all days laid out\n"
    "                  and the records the engines' reports count (tab-separated)\n"
    "Exit code 0 on success, 1 on an error, 3 when --append-day finds that the tree\n"
    "already reaches today (no later day can be added).\n"
    "\n"
    "Webalizer logs: every line is a 15-byte sort key \"YYYYMMDDhhmmss \" and a\n"
    "Combined Log Format record (web) or an xferlog record (ftp, ano).\n"
    "AWStats logs: W3C extended lines with the 22 fields date time s-sitename\n"
    "s-computername s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip\n"
    "cs-version cs(User-Agent) cs(Cookie) cs(Referer) cs-host sc-status sc-substatus\n"
    "sc-win32-status sc-bytes cs-bytes time-taken.\n";

bool option(const std::string& arg, const char* name, std::string& value) {
  const std::string prefix = std::string(name) + "=";
  if (arg.compare(0, prefix.size(), prefix) != 0) return false;
  value = arg.substr(prefix.size());
  return true;
}

long long number(const std::string& name, const std::string& text, long long min) {
  try {
    std::size_t used = 0;
    const long long n = std::stoll(text, &used);
    if (used == text.size() && n >= min) return n;
  } catch (const std::exception&) {
  }
  throw std::runtime_error(name + " needs a whole number of at least " + std::to_string(min) +
                           ", not '" + text + "'");
}

demo::UnixTime today() {
  using namespace std::chrono;
  const auto day = floor<days>(system_clock::now());
  return duration_cast<seconds>(day.time_since_epoch()).count();
}

int run(int argc, char** argv) {
  std::string vhosts, value;
  demo::TreeSettings settings;
  int days = 3;
  demo::UnixTime start = -1;
  bool append = false, count = false, counted = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (option(arg, "--vhosts", value)) {
      vhosts = value;
    } else if (option(arg, "--seed", value)) {
      settings.seed = std::uint64_t(number("--seed", value, 0));
    } else if (option(arg, "--days", value)) {
      days = int(number("--days", value, 1));
    } else if (option(arg, "--records", value)) {
      settings.webRecordsPerDay = int(number("--records", value, 1));
    } else if (option(arg, "--start", value)) {
      if (!demo::parseDay(value, start)) throw std::runtime_error("--start needs a day as YYYY-MM-DD, not '" + value + "'");
    } else if (arg == "--append-day") {
      append = true;
    } else if (arg == "--count") {
      count = true;
    } else if (arg == "--counted") {
      counted = true;
    } else {
      throw std::runtime_error("unknown argument '" + arg + "'; see --help");
    }
  }
  if (vhosts.empty()) throw std::runtime_error("--vhosts=DIR is required; see --help");

  if (counted) {
    std::fputs(demo::reportTable(demo::reportCounts(vhosts)).c_str(), stdout);
    return 0;
  }
  demo::Counts counts;
  if (append) {
    counts = demo::appendDay(vhosts, today());
  } else {
    if (start < 0) start = today() - days * 86400;
    counts = demo::layOut(vhosts, settings, start, days);
  }
  if (count) {
    std::fputs(demo::countTable(counts).c_str(), stdout);
  } else {
    long long total = 0;
    for (const auto& c : counts) total += c.records;
    std::printf("%s: %lld log records for %zu domains under %s\n",
                append ? "appended a day" : "laid out the demo tree", total, demo::demoDomains().size(),
                vhosts.c_str());
  }
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const demo::NoDayLeft& e) {
    std::fprintf(stderr, "tarvo-demo-data: %s\n", e.what());
    return 3;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarvo-demo-data: %s\n", e.what());
    return 1;
  }
}
