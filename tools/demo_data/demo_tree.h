// The demo hosting tree: three webspaces with five domains, each with its
// statistics configuration file, its statistics directories and days of web,
// FTP and anonymous-FTP logs in the format of its engine.
//
// Layout under the virtual-hosts root:
//   <webspace>/logs/iis[/<subdir>]/web_stat_executor.conf
//   <webspace>/logs/iis[/<subdir>]/{web,ftp,ano}_YYYYMMDD.log
//   <webspace>/.tarvo/statistics/<domain>/{webstat,ftpstat,anon_ftpstat}/
//   demo-data.state   (seed, records per day, first and last day laid out)
//
// Every (seed, domain, day, kind) has its own random stream, so a day's logs
// are the same whether they were laid out at first or appended later.
#pragma once

#include "tools/demo_data/demo_records.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace demo {

enum class Engine { AWStats, Webalizer };
enum class Kind { Web, AnonymousFtp, Ftp };

const char* engineName(Engine engine);  // "awstats", "webalizer"
const char* kindPrefix(Kind kind);      // "web", "ano", "ftp"
const char* kindStatSubdir(Kind kind);  // "webstat", "anon_ftpstat", "ftpstat"
constexpr Kind kAllKinds[] = {Kind::Web, Kind::AnonymousFtp, Kind::Ftp};

struct DemoDomain {
  std::string webspace;
  std::string name;
  Engine engine;
  std::string configSubdir;  // below logs/iis; empty: logs/iis itself
  std::vector<std::string> sections;
  std::vector<std::string> words;
  double traffic;            // share of the base record count
};

const std::vector<DemoDomain>& demoDomains();

struct TreeSettings {
  std::uint64_t seed = 1;
  int webRecordsPerDay = 1500;  // base; each domain and day varies around it
};

// Paths of one domain under the virtual-hosts root.
std::string configDir(const std::string& vhostsRoot, const DemoDomain& domain);
std::string statisticsDir(const std::string& vhostsRoot, const DemoDomain& domain);
std::string logFileName(Kind kind, UnixTime day);  // e.g. web_20261201.log
std::string stateFilePath(const std::string& vhostsRoot);

// The configuration file text of one domain.
std::string configXml(const DemoDomain& domain);

// One day's records of one kind for one domain, formatted for the domain's
// engine, in the order a log file holds them (nearly, not strictly, in time
// order, as two servers writing one file produce). No line ending.
std::vector<std::string> dayLines(const TreeSettings& settings, std::size_t domainIndex, Kind kind,
                                  UnixTime day);

// What one invocation wrote for one domain and kind.
struct KindCount {
  const DemoDomain* domain;
  Kind kind;
  int files = 0;
  std::int64_t records = 0;
};
using Counts = std::vector<KindCount>;

// Lays out a new tree with `days` days of logs from `firstDay` on. Fails when
// the root already holds a demo tree.
Counts layOut(const std::string& vhostsRoot, const TreeSettings& settings, UnixTime firstDay,
              int days);

// Raised by appendDay when the tree already reaches `today`.
struct NoDayLeft : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Adds the day after the last one laid out to every domain. Fails when there
// is no demo tree, and with NoDayLeft when that day lies after `today` (AWStats
// takes records of a later day for corrupted ones).
Counts appendDay(const std::string& vhostsRoot, UnixTime today);

// The counts as a tab-separated table with a "#" header line.
std::string countTable(const Counts& counts);

// The records an engine's reports in one output directory count: for
// Webalizer the hits of every month in webalizer.hist, for AWStats the viewed
// and not-viewed hits of the hours in every awstatsMMYYYY.*.txt data file
// (robots and error answers included). 0 when there are no reports.
std::int64_t countedInReports(const std::string& outputDir, Engine engine);

// Per domain and kind: the records of every day the tree holds, and what its
// reports count.
struct ReportCount {
  const DemoDomain* domain;
  Kind kind;
  std::int64_t generated = 0;
  std::int64_t counted = 0;
};
std::vector<ReportCount> reportCounts(const std::string& vhostsRoot);
std::string reportTable(const std::vector<ReportCount>& rows);

} // namespace demo
