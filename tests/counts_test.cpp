// The ledger suite: for each case a night's logs of an AWStats and a
// Webalizer domain and a ledger of every record in them. After the program's
// run, hits, bytes and visits are read from the engines' own files (per day
// from AWStats' data files, per month from webalizer.hist) and held against
// the ledger, and every log is processed or set aside under its name.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "platform/text.h"
#include "support/format.h"
#include "tests/common/hosting.h"
#include "tests/common/test_env.h"

namespace fs = std::filesystem;
using namespace testenv;
using demo::UnixTime;

namespace {

const std::string kAWStatsDomain = "alpha-books.example";
const std::string kWebalizerDomain = "alpha-blog.example";
constexpr const char* kFixedFields =
    "date time s-sitename s-computername s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip cs-version "
    "cs(User-Agent) cs(Cookie) cs(Referer) cs-host sc-status sc-substatus sc-win32-status sc-bytes cs-bytes "
    "time-taken";

// Every record from a host of its own, so that each is one visit.
demo::WebHit hit(UnixTime time, int n, const std::string& host) {
  demo::WebHit h;
  h.time = time;
  h.clientIp = formatString("10.%d.%d.%d", n / 62500 % 250, n / 250 % 250, n % 250 + 1);
  h.method = "GET";
  h.path = "/page" + std::to_string(n % 17) + ".html";
  h.bytes = 1000 + n * 7 % 5000;
  h.agent = "Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0";
  h.host = host;
  return h;
}

struct Totals {
  std::int64_t hits = 0, bytes = 0, visits = 0;
  bool operator==(const Totals&) const = default;
};
using Ledger = std::map<std::string, Totals>;  // per day ("YYYYMMDD", AWStats) or month ("YYYYMM", Webalizer)

std::string dayOf(UnixTime t) { return demo::formatDayCompact(t); }

// A night of one engine: its logs and the ledger of what must be counted.
struct Night {
  std::vector<std::pair<std::string, std::string>> logs;  // file name, text
  std::vector<demo::WebHit> counted;                      // the records the reports must hold
  bool setAside = false;                                  // a log is kept aside for the operator
  std::vector<std::pair<std::string, std::string>> lastNightLogs = {};  // logs that come before the last night only
};

std::string line(const demo::WebHit& h, demo::Engine engine) {
  static const demo::ServerIdentity server{"W3SVC1", "WEB1", "192.0.2.10"};
  return engine == demo::Engine::AWStats ? demo::formatW3cWeb(h, server) : demo::sortKey(h.time) + demo::formatClf(h);
}

// Records every `step` seconds from `from`, numbered from `first`.
std::vector<demo::WebHit> records(UnixTime from, int count, int step, int first, const std::string& host) {
  std::vector<demo::WebHit> out;
  for (int i = 0; i < count; ++i) out.push_back(hit(from + i * step, first + i, host));
  return out;
}

std::string logText(const std::vector<demo::WebHit>& hits, demo::Engine engine, const std::string& end = "\n") {
  std::string text = engine == demo::Engine::AWStats
                         ? "#Software: Microsoft Internet Information Services 10.0" + end + "#Fields: " + kFixedFields +
                               end
                         : "";
  for (const auto& h : hits) text += line(h, engine) + end;
  return text;
}

Night oneLog(const std::vector<demo::WebHit>& hits, demo::Engine engine, const std::string& end = "\n") {
  return {{{"web_" + dayOf(hits.back().time) + ".log", logText(hits, engine, end)}}, hits};
}

UnixTime at(int year, int month, int day, int hour, int minute) {
  return demo::fromCivilDay(year, month, day) + hour * 3600 + minute * 60;
}

// The records under a "#Fields:" line of other fields in another order: the
// cookie left out, host and bytes first.
std::string inOtherFields(const std::vector<demo::WebHit>& hits) {
  const std::vector<std::string> fixed = text::split(kFixedFields, ' ');
  std::vector<size_t> order = {15, 19};
  for (size_t i = 0; i < fixed.size(); ++i)
    if (i != 13 && i != 15 && i != 19) order.push_back(i);
  std::string text = "#Fields:";
  for (size_t i : order) text += " " + fixed[i];
  text += "\n";
  for (const auto& h : hits) {
    const std::vector<std::string> values = text::split(line(h, demo::Engine::AWStats), ' ');
    for (size_t i = 0; i < order.size(); ++i) text += (i ? " " : "") + values[order[i]];
    text += "\n";
  }
  return text;
}

struct Case {
  const char* name;
  std::function<Night(demo::Engine, const std::string& host)> night;
  int nights = 1;
  bool webalizerOnly = false, awstatsOnly = false;
};

const Case kCases[] = {
    {"midnight and a year's end in one log, CRLF line ends, a byte-order mark before the first record",
     [](demo::Engine e, const std::string& host) {
       Night n = oneLog(records(at(2025, 12, 31, 23, 55), 80, 7, 1000, host), e, "\r\n");
       n.logs[0].second.insert(0, "\xEF\xBB\xBF");
       return n;
     }},
    {"shuffled lines, some twice, in the same second",
     [](demo::Engine e, const std::string& host) {
       std::vector<demo::WebHit> hits = records(at(2026, 11, 20, 8, 0), 150, 2, 2000, host);
       for (int i = 0; i < 30; i += 3) hits.push_back(hits[i]);  // a line written twice is two records
       for (int i = 0; i < 20; ++i) hits.push_back(hit(at(2026, 11, 20, 9, 0), 2500 + i, host));  // one second
       demo::Random random(7);
       for (size_t i = hits.size() - 1; i > 0; --i) std::swap(hits[i], hits[random.below(i + 1)]);
       return oneLog(hits, e);
     }},
    {"ten logs a night and an empty one",
     [](demo::Engine e, const std::string& host) {
       Night n;
       for (int i = 0; i < 10; ++i) {
         const auto hits = records(at(2026, 11, 21, i, 0), 30, 60, 3000 + 30 * i, host);
         n.logs.push_back({formatString("web_20261121_%02d.log", i), logText(hits, e)});
         n.counted.insert(n.counted.end(), hits.begin(), hits.end());
       }
       n.logs.push_back({"web_20261121_99.log", ""});
       return n;
     }},
    {"Host fields that are no listed alias: a port, an address, none, other case, another name",
     [](demo::Engine e, const std::string& host) {
       const std::string hosts[] = {host + ":8080", "192.0.2.10", "", "ALPHA-BOOKS.Example", "old-name.example"};
       auto hits = records(at(2026, 11, 26, 10, 0), 50, 30, 7000, host);
       for (size_t i = 0; i < hits.size(); ++i) hits[i].host = hosts[i % 5];
       return oneLog(hits, e);
     },
     1, false, true},
    {"a field list that changes inside the log",
     [](demo::Engine e, const std::string& host) {
       const auto first = records(at(2026, 11, 24, 6, 0), 50, 20, 5000, host);
       const auto then = records(at(2026, 11, 24, 7, 0), 50, 20, 5050, host);
       Night n{{{"web_20261124.log", logText(first, e) + inOtherFields(then)}}, first};
       n.counted.insert(n.counted.end(), then.begin(), then.end());
       return n;
     },
     1, false, true},
    {"records in the same second at the end of one log and the start of the next",
     [](demo::Engine e, const std::string& host) {
       const UnixTime last = at(2026, 11, 27, 10, 19);
       auto first = records(at(2026, 11, 27, 10, 0), 19, 60, 8000, host);
       auto second = records(at(2026, 11, 27, 10, 20), 18, 60, 8100, host);
       for (int i = 0; i < 3; ++i) first.push_back(hit(last, 8050 + i, host));
       for (int i = 0; i < 4; ++i) second.insert(second.begin(), hit(last, 8060 + i, host));
       Night n{{{"web_20261127_1.log", logText(first, e)}, {"web_20261127_2.log", logText(second, e)}}, first};
       n.counted.insert(n.counted.end(), second.begin(), second.end());
       return n;
     }},
    // The later log comes on the last night only: gathered with the refused
    // one on an earlier night, its records would be counted with it.
    {"a log Webalizer refuses on three nights, set aside; the later one goes on",
     [](demo::Engine e, const std::string& host) {
       demo::WebHit scanner = hit(at(2026, 11, 22, 1, 0), 4000, host);
       scanner.path = "/" + std::string(6000, 'a');
       const auto later = records(at(2026, 11, 23, 1, 0), 40, 30, 4100, host);
       Night n{{{"web_20261122.log", logText({scanner}, e)}}, later, true};
       n.lastNightLogs = {{"web_20261123.log", logText(later, e)}};
       return n;
     },
     3, true},
};

// A host's records lie within minutes, so each host is one visit.
Ledger ledgerOf(const std::vector<demo::WebHit>& hits, demo::Engine engine) {
  Ledger ledger;
  std::map<std::string, std::set<std::string>> hosts;
  for (const auto& h : hits) {
    const std::string period = engine == demo::Engine::AWStats ? dayOf(h.time) : dayOf(h.time).substr(0, 6);
    Totals& t = ledger[period];
    ++t.hits;
    t.bytes += h.bytes;
    if (hosts[period].insert(h.clientIp).second) ++t.visits;
  }
  if (engine == demo::Engine::Webalizer)
    for (auto& [month, t] : ledger) t.bytes = (t.bytes + 512) / 1024;  // webalizer.hist keeps kilobytes, rounded
  return ledger;
}

// The nights a refused log was refused on, as the next night sees them.
void makeItTheNextNight(const std::string& logDir) {
  const std::string counts = logDir + "/log_rejections.txt";
  if (!fs::exists(counts)) return;
  std::string text = readFile(counts);
  for (size_t row = text.find('\n'); row != std::string::npos && row + 1 < text.size(); row = text.find('\n', row + 1)) {
    const size_t tab = text.find('\t', row);
    if (tab != std::string::npos) text.replace(tab + 1, 8, "20000101");
  }
  writeFile(counts, text);
}

// AWStats' day rows: "BEGIN_DAY n", then "YYYYMMDD pages hits bandwidth visits".
Ledger awstatsCounts(const std::string& output) {
  Ledger counts;
  for (const auto& file : fs::directory_iterator(output)) {
    const std::string name = file.path().filename();
    if (!text::startsWith(name, "awstats") || !text::endsWith(name, "." + kAWStatsDomain + ".txt")) continue;
    std::istringstream in(readFile(file.path()));
    bool inDays = false;
    for (std::string row; std::getline(in, row) && !text::startsWith(row, "END_DAY");) {
      if (inDays) {
        std::string date;
        std::int64_t pages = 0;
        Totals t;
        std::istringstream(row) >> date >> pages >> t.hits >> t.bytes >> t.visits;
        if (t.hits > 0) counts[date] = t;
      }
      inDays = inDays || text::startsWith(row, "BEGIN_DAY");
    }
  }
  return counts;
}

// webalizer.hist: "month year hits files sites kbytes first-day last-day pages visits".
Ledger webalizerCounts(const std::string& output) {
  Ledger counts;
  std::istringstream in(fs::exists(output + "/webalizer.hist") ? readFile(output + "/webalizer.hist") : "");
  for (std::string row; std::getline(in, row);) {
    if (row.empty() || row[0] == '#') continue;
    int month = 0, year = 0;
    std::int64_t files = 0, sites = 0, first = 0, last = 0, pages = 0;
    Totals t;
    std::istringstream(row) >> month >> year >> t.hits >> files >> sites >> t.bytes >> first >> last >> pages >>
        t.visits;
    if (t.hits > 0) counts[formatString("%04d%02d", year, month)] = t;
  }
  return counts;
}

std::string describe(const Ledger& ledger) {
  std::string out;
  for (const auto& [period, t] : ledger)
    out += formatString("  %s hits %lld bytes %lld visits %lld\n", period, static_cast<long long>(t.hits),
                        static_cast<long long>(t.bytes), static_cast<long long>(t.visits));
  return out;
}

} // namespace

// One case a test, so that ctest runs the cases side by side.
class LedgerSuite : public ::testing::TestWithParam<size_t> {};

TEST_P(LedgerSuite, EveryRecordOfTheNightIsCountedOrSetAsideUnderItsName) {
  const Case& c = kCases[GetParam()];
  SCOPED_TRACE(c.name);
  Hosting hosting(Hosting::Options{.domains = {kAWStatsDomain, kWebalizerDomain}, .webLogsOnly = true});
  hosting.inst().setRegistryDword("StatisticsJobs", 2);
  std::map<std::string, Night> nights;  // by domain
  for (const std::string& name : {kAWStatsDomain, kWebalizerDomain}) {
    const demo::Engine engine = Hosting::domain(name).engine;
    // A domain of its own for the case: no log, no counts of earlier cases.
    for (const auto& entry : fs::directory_iterator(hosting.logDir(name)))
      if (entry.path().filename() != "web_stat_executor.conf") fs::remove_all(entry.path());
    fs::remove_all(hosting.statDir(name) + "/webstat");
    if ((c.webalizerOnly && engine != demo::Engine::Webalizer) || (c.awstatsOnly && engine != demo::Engine::AWStats))
      continue;
    nights[name] = c.night(engine, name);
    for (const auto& [file, text] : nights[name].logs) writeFile(hosting.logDir(name) + "/" + file, text);
  }
  for (int night = 0; night < c.nights; ++night) {
    if (night > 0) makeItTheNextNight(hosting.logDir(kWebalizerDomain));
    if (night + 1 == c.nights)
      for (const auto& [name, n] : nights)
        for (const auto& [file, text] : n.lastNightLogs) writeFile(hosting.logDir(name) + "/" + file, text);
    hosting.run();
  }

  for (const auto& [name, n] : nights) {
    SCOPED_TRACE(name);
    const demo::Engine engine = Hosting::domain(name).engine;
    const std::string output = hosting.statDir(name) + "/webstat";
    const Ledger expected = ledgerOf(n.counted, engine);
    const Ledger counted = engine == demo::Engine::AWStats ? awstatsCounts(output) : webalizerCounts(output);
    EXPECT_EQ(counted, expected) << "counted:\n" << describe(counted) << "ledger:\n" << describe(expected)
                                 << hosting.inst().dailyLog();
    std::vector<std::string> aside, left;
    for (const auto& entry : fs::directory_iterator(hosting.logDir(name))) {
      const std::string file = entry.path().filename();
      if (text::startsWith(file, "rejected_")) {
        if (!text::endsWith(file, ".prepared")) aside.push_back(file);  // its marker goes with it
      } else if (file != "web_stat_executor.conf" && file != "log_rejections.txt") {
        left.push_back(file);
      }
    }
    EXPECT_EQ(left, std::vector<std::string>{}) << "every log is processed or set aside";
    EXPECT_EQ(aside.size(), n.setAside ? 1u : 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, LedgerSuite, ::testing::Range<size_t>(0, std::size(kCases)));
