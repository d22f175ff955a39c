// The AWStats run of one log file: configuration, domain copy, sorted log,
// one database update and the 21 report pages, then the log is removed.
#include "awstats/awstats_run.h"

#include <algorithm>
#include <map>
#include <set>
#include <random>

#include "awstats/log_fields.h"
#include "awstats/log_for_awstats.h"
#include "config/registry.h"
#include "config/settings.h"
#include "platform/account.h"
#include "platform/fs.h"
#include "platform/process_identity.h"
#include "platform/run_shared.h"
#include "platform/text.h"
#include "support/file_ops.h"
#include "support/format.h"
#include "support/guard.h"
#include "support/log_gathering.h"
#include "support/logging.h"
#include "support/process.h"
#include "support/rejected_logs.h"
#include "support/system_sort.h"
#include "support/command_line.h"

const std::vector<const char*> awstatsReportPages = {
    "",           "alldomains",   "allhosts",  "lasthosts",     "unknownip",       "alllogins",
    "lastlogins", "allrobots",    "lastrobots", "urldetail",    "urlentry",        "urlexit",
    "browserdetail", "osdetail",  "unknownbrowser", "unknownos", "refererse",      "refererpages",
    "keyphrases", "keywords",     "errors404"};

// The fixed pages of a month, and those the shipped model configuration links
// besides (ShowDownloadsStats, TrapInfosForHTTPErrorCodes), made in the same
// driver run so that a further one is rarely needed.
std::vector<std::string> awstatsPagesMadeFirst() {
  std::vector<std::string> pages(awstatsReportPages.begin(), awstatsReportPages.end());
  for (const char* page : {"downloads", "errors400", "errors403"}) pages.push_back(page);
  return pages;
}

namespace {

constexpr const char* kPerlKey = "SOFTWARE\\Tarvo\\Installer\\CorvanitePerl";
constexpr const char* kNotInstalledMessage =
    "AWStats is not installed. You should download it from https://www.awstats.org/#DOWNLOAD and extract to the "
    "%tarvo_dir%/Additional/AWStats folder, where %tarvo_dir% is the folder where Tarvo is installed.";


// The exit code stays at this value when the sort program could not be run.
constexpr uint32_t kNotRun = 0xFFFFFFFFu;

std::string newGuidText() {
  static std::mt19937_64 generator{std::random_device{}()};
  const uint64_t high = generator();
  const uint64_t low = generator();
  return formatString("{%08X-%04X-%04X-%04X-%012llX}", static_cast<unsigned>(high >> 32),
                      static_cast<unsigned>((high >> 16) & 0xFFFF), static_cast<unsigned>(high & 0xFFFF),
                      static_cast<unsigned>(low >> 48), static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
}

// A new empty file "<directory><first 3 characters of prefix><hex>.tmp",
// as GetTempFileName makes it with unique number 0.
std::string tempFileName(const std::string& directory, const std::string& prefix) {
  static std::mt19937 generator{std::random_device{}()};
  const std::string start = prefix.substr(0, 3);
  uint32_t number = generator() & 0xFFFF;
  for (int attempt = 0; attempt < 0x10000; ++attempt, number = (number + 1) & 0xFFFF) {
    if (number == 0) continue;
    const std::string path = appendBackslash(directory) + start + formatString("%X", number) + ".tmp";
    try {
      VFile file;
      file.open(path, file_open::GenericWrite, 0, file_open::CreateNew, file_open::AttributeNormal);
      return path;
    } catch (const VFileExistsException&) {
    } catch (const VAlreadyExistsException&) {
    } catch (const vosexception& e) {
      throwOsException("GetTempFileName in " + directory, e.errorCode(), Place{"", "tempFileName", 122});
    }
  }
  throwOsException("GetTempFileName in " + directory, 80, Place{"", "tempFileName", 122});
}

// Moves a file over an existing one, as MoveFileEx with REPLACE_EXISTING, in
// one step; 0 or the error code.
uint32_t moveReplacing(const std::string& from, const std::string& to) {
  return platform::fs::renameEntry(VFileName::toLongPath(from), VFileName::toLongPath(to), true);
}

// Deletes a file as DeleteFile does; 0 or the error code.
uint32_t deleteFile(const std::string& path) {
  try {
    if (!fileExist(path)) return 2;
    removeFile(path, false, false, 0, 0);
    return 0;
  } catch (const vosexception& e) {
    return e.errorCode();
  }
}

constexpr const char* kSortSuffix = ".sort.tmp";
// The sort's input when the log's records had to be brought into the fixed
// field order first; the sort file keeps the log as it was meanwhile.
constexpr const char* kFieldsSuffix = ".fields.tmp";

bool isSortFile(const std::string& path) {
  return text::endsWith(path, kSortSuffix) || text::endsWith(path, kFieldsSuffix);
}

std::string withoutSuffix(const std::string& path, const char* suffix) {
  return path.substr(0, path.size() - std::string(suffix).size());
}

// A sort file beside the configuration was left by a run killed while it
// sorted: it holds every record of its log. What stands at the log path is
// either the sort's output, made of the lines of the sort's input (the sort
// file, or the copy in the fixed field order), which gives way to it, or a
// newer log of the same name, which moves aside to a free name and is
// processed next as a log of its own. So nothing is lost and nothing is
// counted twice. A field-order copy without its sort file is left by a run
// killed after the sorted log was complete: it goes.
void recoverInterruptedSorts(const std::string& directory) {
  LogManager& log = LogManager::instance();
  for (const LogSource& source : findLogSources(directory)) {
    if (text::endsWith(source.path, kFieldsSuffix)) {
      const std::string logPath = withoutSuffix(source.path, kFieldsSuffix);
      if (fileExist(logPath + kSortSuffix)) continue;  // goes with its sort file
      if (fileExist(logPath)) {
        removeFile(source.path, true, false, 0, 0);
      } else {
        flushFileToDisk(source.path);
        renameFile(source.path, logPath, 1);
      }
      continue;
    }
    if (!text::endsWith(source.path, kSortSuffix)) continue;
    const std::string logPath = withoutSuffix(source.path, kSortSuffix);
    const std::string fields = logPath + kFieldsSuffix;
    const bool reordered = fileExist(fields);
    // The killed run may have left its records short of the disk.
    flushFileToDisk(source.path);
    moveNewerLogAside(logPath, reordered ? fields : source.path, 0, {kSortSuffix, kFieldsSuffix});
    flushDirectoryToDisk(directory);
    if (const uint32_t code = moveReplacing(source.path, logPath))
      throwOsException("Unable to rename log file from " + source.path + " to " + logPath, code,
                       Place{"", "processAWStatsConfig", 0});
    if (reordered) removeFile(fields, true, false, 0, 0);
    log.log(Warning, "Log file %s was left by an interrupted run; its records are back in %s", source.path, logPath);
  }
}

// AWStats' database files in the output directory ("awstats" + MMYYYY + "." +
// domain + ".txt"), each with its size and modification time.
using DatabaseFiles = std::map<std::string, std::pair<uint64_t, int64_t>>;

DatabaseFiles databaseFiles(const std::string& output, const std::string& domainName) {
  DatabaseFiles files;
  VFileFinder finder;
  for (bool found = finder.first(VFileName::combine(output, "awstats*." + domainName + ".txt")); found;
       found = finder.next()) {
    if (finder.isDirectory()) continue;
    platform::fs::EntryStatus status;
    if (platform::fs::statEntry(VFileName::combine(output, finder.name()), status) == 0)
      files[finder.name()] = {status.size, status.modified};
  }
  return files;
}

// True when the log holds nothing but empty lines and "#" comments: AWStats
// then has nothing to write, and the log may go.
bool holdsNoRecord(const std::string& logPath) {
  VFile file;
  file.open(logPath, file_open::GenericRead, file_open::ShareRead, file_open::OpenExisting, file_open::SequentialScan);
  BufferedFileReader reader(file);
  for (std::string line; reader.readLine(line);) {
    const size_t first = line.find_first_not_of(" \t");
    if (first != std::string::npos && line[first] != '#') return false;
  }
  return true;
}

// What AWStats said about a failed update, in a few lines: its error
// message; else its count of the records it found and the first record it
// could not use.
std::string awstatsReason(const std::string& output) {
  static const char* const kSteps[] = {"Create/Update database", "From data in log file", "Phase ",
                                       "Searching new records", "Jumped lines", "Parsed lines"};
  std::vector<std::string> said, found, example;
  for (std::string line : text::split(output, '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > 300) line = line.substr(0, 300) + "...";
    bool step = line.find_first_not_of(' ') == std::string::npos;
    for (const char* prefix : kSteps) step = step || text::startsWith(line, prefix);
    if (step) continue;
    if (text::startsWith(line, " Found ")) {
      found.push_back(line.substr(7));
    } else if (text::startsWith(line, "Corrupted record") || text::startsWith(line, "Dropped record")) {
      if (example.empty()) example.push_back(line);
    } else if (said.size() < 4) {
      said.push_back(line);
    }
  }
  if (said.empty() && !found.empty()) said.push_back("Found " + text::join(found, " "));
  said.insert(said.end(), example.begin(), example.end());
  return said.empty() ? std::string("(nothing)") : text::join(said, "\n");
}


// The report pages of one month. The clock's month has index.html and
// "awstats.<domain>.<page>.html"; an earlier month has
// "awstats.<domain>.<YYYYMM>.html" and "awstats.<domain>.<YYYYMM>.<page>.html",
// so that a month's pages stay when the month is over. Links between pages are
// static, to these names: a published report has no CGI behind it.
struct MonthPages {
  std::string domainName;
  std::string yearMonth;  // "YYYYMM"; empty for the clock's month

  std::string linkPrefix() const {
    return "awstats." + domainName + (yearMonth.empty() ? "" : "." + yearMonth);
  }
  std::string arguments(const std::string& page) const {
    std::string arguments = " -config=" + domainName + (page.empty() ? " -output" : " -output=" + page);
    if (yearMonth.empty()) return arguments + " -staticlinks";
    return arguments + " -month=" + yearMonth.substr(4) + " -year=" + yearMonth.substr(0, 4) +
           " -staticlinks=" + linkPrefix();
  }
  std::string fileName(const std::string& page) const {
    if (page.empty()) return yearMonth.empty() ? "index.html" : linkPrefix() + ".html";
    return linkPrefix() + "." + page + ".html";
  }
};

// "YYYYMM" of a database file "awstatsMMYYYY.<domain>.txt"; empty for others.
std::string yearMonthOfDatabase(const std::string& path, const std::string& domainName) {
  const std::string name = path.substr(path.find_last_of('/') + 1);
  if (name.size() != 14 + domainName.size() + 4 || !text::startsWith(name, "awstats") ||
      name.compare(13, std::string::npos, "." + domainName + ".txt") != 0)
    return {};
  const std::string digits = name.substr(7, 6);
  if (digits.find_first_not_of("0123456789") != std::string::npos) return {};
  return digits.substr(2) + digits.substr(0, 2);
}

// The month AWStats shows without -month: that of the local clock.
std::string clockYearMonth() {
  const platform::LocalTime now = platform::localTime();
  return formatString("%04d%02d", now.year, now.month);
}

// The pages a main page links to ("downloads", one per HTTP error code the
// configuration traps, ...), so that every link of it leads to a page.
std::vector<std::string> linkedPages(const std::string& mainPage, const MonthPages& month) {
  const std::string start = "href=\"" + month.linkPrefix() + ".";
  std::vector<std::string> found;
  for (size_t at = mainPage.find(start); at != std::string::npos; at = mainPage.find(start, at + 1)) {
    const size_t begin = at + start.size();
    const size_t end = mainPage.find(".html\"", begin);
    if (end == std::string::npos) break;
    const std::string page = mainPage.substr(begin, end - begin);
    if (page.empty() || page.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789") != std::string::npos) continue;
    if (std::find(found.begin(), found.end(), page) == found.end()) found.push_back(page);
  }
  return found;
}

// Links to the earlier months' main pages, put into the clock month's main
// page: AWStats' own month selector needs the CGI.
void linkEarlierMonths(const std::string& mainPagePath, const std::vector<std::string>& yearMonths,
                       const std::string& domainName) {
  if (yearMonths.empty()) return;
  std::string page = readFileContents(mainPagePath);
  std::string links = "<p class=\"aws_months\">Earlier months:";
  for (auto month = yearMonths.rbegin(); month != yearMonths.rend(); ++month)
    links += " <a href=\"" + MonthPages{domainName, *month}.fileName("") + "\">" + month->substr(0, 4) + "-" +
             month->substr(4) + "</a>";
  links += "</p>\n";
  const size_t body = page.rfind("</body>");
  page.insert(body == std::string::npos ? page.size() : body, links);
  VFile file;
  file.open(mainPagePath, file_open::GenericWrite, 0, file_open::CreateAlways, file_open::AttributeNormal);
  file.write(page.data(), page.size());
}

// The months whose main pages are in the output directory already or are
// being made now, oldest first, without the clock's month.
std::vector<std::string> earlierMonths(const std::string& output, const std::string& domainName,
                                       const std::vector<std::string>& making) {
  std::vector<std::string> months = making;
  VFileFinder finder;
  for (bool found = finder.first(VFileName::combine(output, "awstats." + domainName + ".??????.html")); found;
       found = finder.next()) {
    const std::string month = finder.name().substr(8 + domainName.size() + 1, 6);
    if (month.find_first_not_of("0123456789") == std::string::npos) months.push_back(month);
  }
  std::sort(months.begin(), months.end());
  months.erase(std::unique(months.begin(), months.end()), months.end());
  return months;
}

// Every AWStats run gets Perl's hash order fixed: AWStats lists rows of
// equal counts in hash order, which Perl otherwise seeds anew in each
// process, so two runs over the same database would differ in those rows.
std::vector<std::string> perlEnvironment() {
  std::vector<std::string> environment = environmentWith("PERL_HASH_SEED", "0");
  std::erase_if(environment, [](const std::string& entry) { return text::startsWith(entry, "PERL_PERTURB_KEYS="); });
  environment.push_back("PERL_PERTURB_KEYS=0");
  return environment;
}

constexpr const char* kDriverName = "awstats_driver.pl";

// The driver is shipped with the program in share/tarvo: below the
// program's directory in the build tree, beside it in an installation.
std::string awstatsDriverPath() {
  const std::string directory = directoryOf(platform::programPath());
  const std::string candidates[] = {VFileName::combine(directory, std::string("share/tarvo/") + kDriverName),
                                    VFileName::combine(directory, std::string("../share/tarvo/") + kDriverName)};
  for (const std::string& candidate : candidates)
    if (fileExist(candidate)) return candidate;
  throw vexception(formatString("The AWStats driver of this program is missing (neither %s nor %s exists); install "
                                "the program again",
                                candidates[0], candidates[1]),
                   Place{"", "LogForAWStats::processLogFile", 0});
}

// One run of awstats.pl through the driver and how it ended.
struct AWStatsRun {
  bool update = false;
  std::string arguments;  // the quoted script, then AWStats' options, as on a command line
  std::string input;      // the update's log
  std::string output;     // a page's temporary file; the update's output is caught with its errors
  bool reported = false;  // the driver said how it ended
  std::string how;        // "exit", "signal" or "error" (it could not start)
  uint32_t code = 0;
  std::string said;       // its standard error (the update: all it wrote); for "error", why
  // A page's option name ("" for a main page), its month ("" for the
  // clock's) and the file it is put in place as.
  std::string page, yearMonth, fileName;
};

std::string endedText(const AWStatsRun& run) {
  if (run.how == "signal") return formatString("was ended by signal %lu", static_cast<unsigned long>(run.code));
  if (run.how == "error") return "could not be started: " + run.said;
  return formatString("ended with exit code %lu", static_cast<unsigned long>(run.code));
}

// Writes what the driver reads: per run its kind, standard input, standard
// output, the number of arguments and the arguments, each ended by a NUL.
void writeRequests(const std::string& path, const std::vector<AWStatsRun>& runs, const std::string& perl) {
  std::string text;
  const auto field = [&](const std::string& value) { text += value + '\0'; };
  for (const AWStatsRun& run : runs) {
    // Split as the interpreter's own command line would be, without the
    // interpreter and the script.
    std::vector<std::string> argv = splitProgramCommandLine("\"" + perl + "\" " + run.arguments);
    argv.erase(argv.begin(), argv.begin() + std::min<size_t>(2, argv.size()));
    field(run.update ? "update" : "page");
    field(run.input);
    field(run.output);
    field(std::to_string(argv.size()));
    for (const std::string& argument : argv) field(argument);
  }
  VFile file;
  file.open(path, file_open::GenericWrite, 0, file_open::CreateAlways, file_open::AttributeNormal);
  file.write(text.data(), text.size());
}

// Reads the driver's results: "INDEX HOW CODE LENGTH\n", LENGTH bytes, "\n".
void readResults(const std::string& path, std::vector<AWStatsRun>& runs) {
  const std::string text = readFileContents(path);
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) return;
    const std::vector<std::string> head = text::split(text.substr(at, end - at), ' ');
    if (head.size() != 4) return;
    const size_t index = std::strtoul(head[0].c_str(), nullptr, 10);
    const size_t length = std::strtoul(head[3].c_str(), nullptr, 10);
    if (index >= runs.size() || end + 1 + length > text.size()) return;
    AWStatsRun& run = runs[index];
    run.reported = true;
    run.how = head[1];
    run.code = static_cast<uint32_t>(std::strtoul(head[2].c_str(), nullptr, 10));
    run.said = text::fromAnsi(text.substr(end + 1, length));
    while (!run.said.empty() && (run.said.back() == '\n' || run.said.back() == '\r')) run.said.pop_back();
    at = end + 1 + length + 1;
  }
}

// The update and the pages in one driver run: awstats.pl is compiled once;
// the pages run after a successful update, jobs at once. Gives back how the
// driver itself ended, for the runs it did not report.
std::string runThroughDriver(const std::string& perl, const std::string& script, unsigned jobs,
                             std::vector<AWStatsRun>& runs) {
  const std::string driver = awstatsDriverPath();
  const std::string requests = tempFileName(tempPath(), newGuidText());
  std::string results;
  const auto removeFiles = [&] {
    deleteFile(requests);
    if (!results.empty()) deleteFile(results);
  };
  try {
    writeRequests(requests, runs, perl);
    results = tempFileName(tempPath(), newGuidText());
    const std::vector<std::string> environment = perlEnvironment();
    uint32_t exitCode = 0;
    const std::string said =
        execExtUtil(perl,
                    quoteCommandArgument(driver) + " " + quoteCommandArgument(script) + " " + std::to_string(jobs),
                    true, &exitCode, requests, results, &environment);
    readResults(results, runs);
    removeFiles();
    return formatString("the AWStats driver %s ended with exit code %lu%s%s", driver,
                        static_cast<unsigned long>(exitCode), said.empty() ? "" : ": ", said);
  } catch (...) {
    removeFiles();
    throw;
  }
}



void addPageRuns(std::vector<AWStatsRun>& runs, const std::string& script, const MonthPages& month,
                 const std::vector<std::string>& pages) {
  for (const std::string& page : pages) {
    AWStatsRun run;
    run.arguments = script + month.arguments(page);
    run.output = tempFileName(tempPath(), newGuidText());
    run.page = page;
    run.yearMonth = month.yearMonth;
    run.fileName = month.fileName(page);
    runs.push_back(std::move(run));
  }
}

void logRuns(const std::string& perl, const std::vector<AWStatsRun>& runs) {
  LogManager& log = LogManager::instance();
  for (const AWStatsRun& run : runs) {
    if (!run.reported) continue;
    log.log(Info, "Execute %s %s result: %s", perl, maskPasswords(run.arguments), run.said);
  }
}

// Every page must be whole before the first is put in place.
void requirePagesMade(const std::vector<AWStatsRun>& runs, const std::string& driverEnded) {
  for (const AWStatsRun& page : runs) {
    if (page.update || (page.reported && page.how == "exit" && page.code == 0)) continue;
    const std::string reason =
        page.reported ? "AWStats " + endedText(page) + (page.how == "error" || page.said.empty() ? "" : ": " + page.said)
                      : driverEnded + " before this page was made";
    throw vexception(reason, Place{formatString("%s: cant create HTML file", page.arguments),
                                   "LogForAWStats::createAwStatsFile", 514});
  }
}

// After the clock month's pages (made with the update), those of every
// earlier month whose database the update wrote (the first night of a month
// counts the last day of the one before) and those a main page links to
// beyond the ones made, in further driver runs over the same database. Every
// page made is added to made, failing or not, so that it can be removed.
void makeFurtherPages(const std::string& perl, const std::string& scriptPath, unsigned jobs,
                      const std::string& domainName, const std::vector<std::string>& earlier,
                      std::vector<AWStatsRun> runs, std::string driverEnded, std::vector<AWStatsRun>& made) {
  const std::string script = "\"" + scriptPath + "\"";
  std::set<std::string> madeFiles;
  for (bool firstPass = true;; firstPass = false) {
    requirePagesMade(runs, driverEnded);
    for (const AWStatsRun& run : runs) madeFiles.insert(run.fileName);
    std::vector<AWStatsRun> next;
    if (firstPass)
      for (const std::string& month : earlier)
        addPageRuns(next, script, {domainName, month}, awstatsPagesMadeFirst());
    for (const AWStatsRun& run : runs) {
      if (run.update || !run.page.empty()) continue;
      const MonthPages month{domainName, run.yearMonth};
      std::vector<std::string> beyond;
      for (const std::string& page : linkedPages(readFileContents(run.output), month))
        if (madeFiles.count(month.fileName(page)) == 0) beyond.push_back(page);
      addPageRuns(next, script, month, beyond);
    }
    if (next.empty()) return;
    made.insert(made.end(), next.begin(), next.end());
    runs = std::move(next);
    driverEnded = runThroughDriver(perl, scriptPath, jobs, runs);
    logRuns(perl, runs);
  }
}

} // namespace

void processAWStatsConfig(const WebStatConfig& config, unsigned jobs) {
  recoverInterruptedGathering(config.configDir);
  recoverInterruptedSorts(config.configDir);
  std::vector<LogSource> logs;
  for (const LogSource& source : findLogSources(config.configDir))
    if (!isSortFile(source.path) && !isGatheringFile(source.path)) logs.push_back(source);
  logs = gatherLogsOfEachKind(
      config.configDir, logs, [](const LogSource&) { return true; }, std::string("#Fields: ") + kIisLogFields);
  processLogsInOrder(config.configDir, logs, "AWStats", [&](const LogSource& source) {
    requireRegularLogFile(source);
    LogForAWStats(source, config).processLogFile(jobs);
  });
}

// The log is sorted in place through the sort file. Whatever happens, the
// records stay at the log path, sorted or not, or at the sort file when it
// cannot be moved back. AWStats skips every record older than one it has
// read, so it never gets an unsorted log: a sort that cannot run fails the
// domain and the log waits, unsorted, for the next run.
void LogForAWStats::sortLog() {
  const std::string& logPath = source_.path;
  const std::string sortFile = logPath + kSortSuffix;
  const auto keptUnsorted = [&](const std::string& reason) {
    return vexception(formatString("The log file %s could not be sorted: %s. AWStats is not given an unsorted log "
                                   "(it would skip most of its records); the log file is kept for the next run. "
                                   "See that the sort program can run and the disk has room for a copy of the log",
                                   logPath, reason),
                      Place{"", "LogForAWStats::processLogFile", 0});
  };

  // Never over a sort file: one that is there holds records of its own.
  if (const uint32_t code = platform::fs::renameEntry(VFileName::toLongPath(logPath), VFileName::toLongPath(sortFile),
                                                      false))
    throw keptUnsorted(formatSystemMessage(code, "Unable to rename it to " + sortFile));

  // Records after a "#Fields:" line of other fields are brought into the
  // fixed order before the sort separates them from that line.
  const std::string fields = logPath + kFieldsSuffix;
  bool reordered = false;
  std::string reason;
  if (auto failure = guardCapture(Place{"", "LogForAWStats::processLogFile", 0}, [&] {
        if (!needsFixedFieldOrder(sortFile)) return;
        LogManager::instance().log(Info, "The log file %s changes its fields; its records are put in one order",
                                   logPath);
        reordered = true;
        writeInFixedFieldOrder(sortFile, fields);
      }))
    reason = failure->message();

  const SortCommand command = makeSortCommand(reordered ? fields : sortFile, logPath);
  uint32_t exitCode = kNotRun;
  uint64_t inputSize = 0;
  std::string output;
  if (reason.empty()) {
    guardLog(Warning, Place{"", "LogForAWStats::processLogFile", 0}, [&] { inputSize = sortInputSize(command); });
    output = execExtUtil(command.program, command.arguments, false, &exitCode, command.input, command.output,
                         &command.environment);
  }
  const auto dropFields = [&] {
    if (!reordered) return;
    if (const uint32_t code = deleteFile(fields))
      LogManager::instance().log(Warning, "Unable to remove %s: %s", fields, formatSystemMessage(code, ""));
  };
  if (!reason.empty()) {
    // The copy in the fixed field order could not be made; nothing was sorted.
  } else if (exitCode == 0) {
    if (auto failure = guardCapture(Place{"", "LogForAWStats::processLogFile", 0},
                                    [&] { expectCompleteSortOutput(command, inputSize); }))
      reason = failure->message();
  } else if (exitCode == kNotRun) {
    reason = formatString("unable to run the sort program %s %s", command.program, command.arguments);
  } else {
    reason = formatString("%s %s failed[%lu]: %s", command.program, command.arguments,
                          static_cast<unsigned long>(exitCode), output);
  }
  if (reason.empty()) {
    // The sorted copy is all that stays of the records once the sort file goes.
    flushFileToDisk(logPath);
    flushDirectoryToDisk(directoryOf(logPath));
    if (const uint32_t code = deleteFile(sortFile))
      LogManager::instance().log(Warning, "Unable to remove log file %s: %s", sortFile, formatSystemMessage(code, ""));
    dropFields();
    return;
  }

  flushFileToDisk(sortFile);
  flushDirectoryToDisk(directoryOf(sortFile));
  if (const uint32_t code = moveReplacing(sortFile, logPath)) {
    throwOsException("Unable to rename log file from " + sortFile + " to " + logPath, code,
                     Place{"", "LogForAWStats::processLogFile", 276});
  }
  dropFields();
  throw keptUnsorted(reason);
}

void LogForAWStats::processLogFile(unsigned jobs) {
  LogManager& log = LogManager::instance();
  log.log(Info, "Execute AWStats for domain %s", config_.domainName);

  const std::string installationRoot = getAWStatsPath();
  const std::string output = outputDirectory();
  const std::string webRoot = VFileName::combine(installationRoot, "wwwroot");
  const std::string scriptPath = webRoot + "/cgi-bin/awstats.pl";
  const std::string script = "\"" + scriptPath + "\"";
  const std::string cgiBin = VFileName::combine(webRoot, "cgi-bin");

  if (!fileExist(cgiBin)) {
    // Once per run, whichever worker finds it first.
    if (!platform::runFlag(platform::RunFlag::AWStatsNotInstalledReported).exchange(true))
      log.log(Error, "%s", kNotInstalledMessage);
    return;
  }

  if (fileExist(output)) requireDirectoryItself(output);
  const std::string configName = awstatsConfigName(config_);
  const std::string workingConfig = VFileName::combine(cgiBin, configName);
  {
    ConfigText text = sourceLines(VFileName::combine(webRoot, "cgi-bin/awstats.model.conf"));
    configure(text, source_.kind);
    {
      // The working configuration is the installation's; AWStats reads it as
      // the domain's owner, and no other customer may.
      const platform::account::ProgramAccountScope asProgram;
      writeConfig(workingConfig, text);
      if (const uint32_t code = platform::account::shareWithActingGroup(workingConfig))
        throwOsException("Give the owner of domain " + config_.domainName + " read access to " + workingConfig, code,
                         Place{"", "LogForAWStats::processLogFile", 0});
    }
    // A new domain's statistics directories may not exist yet; AWStats
    // creates none of them.
    makeDirLikeParent(output);
    const std::string domainCopy = checkAWStats(installationRoot, configName);
    configure_CustomDate(text);
    writeConfig(domainCopy, text);
  }

  std::vector<std::string> written;         // the database files the update wrote
  std::vector<AWStatsRun> pages;            // their temporary files are removed unless put in place
  try {
    // The log goes at the end, so a log that cannot be read must fail here,
    // while it is still kept.
    VFile readable;
    readable.open(source_.path, file_open::GenericRead, file_open::ShareRead, file_open::OpenExisting, 0);
    readable.close();
    sortLog();

    std::string perlDirectory;
    const uint32_t found = registry::lookup(registry::HKEY_LOCAL_MACHINE, kPerlKey, "INSTALLDIR", perlDirectory,
                                            registry::REG_SZ, registry::View32);
    if (found != 0 || perlDirectory.empty())
      throw vexception("Perl installation directory is undefined", Place{"", "LogForAWStats::processLogFile", 291});
    const std::string perl = VFileName::combine(perlDirectory, "bin/perl");

    // One driver run makes the update, then the clock month's pages over the
    // database it wrote. An update that fails, or takes nothing from a log that holds
    // records, keeps the log, as a failed Webalizer run keeps its chunk.
    std::vector<AWStatsRun> runs(1);
    runs[0].update = true;
    runs[0].arguments = script + " -showsteps -showcorrupted -showdropped -config=" + config_.domainName + " -update";
    runs[0].input = source_.path;
    addPageRuns(runs, script, {config_.domainName, ""}, awstatsPagesMadeFirst());
    pages.assign(runs.begin() + 1, runs.end());
    const DatabaseFiles before = databaseFiles(output, config_.domainName);
    const std::string driverEnded = runThroughDriver(perl, scriptPath, jobs, runs);
    logRuns(perl, runs);
    for (const auto& [name, signature] : databaseFiles(output, config_.domainName))
      if (before.count(name) == 0 || before.at(name) != signature) written.push_back(VFileName::combine(output, name));

    const AWStatsRun& update = runs[0];
    if (!update.reported) {
      throw vexception(formatString("AWStats could not update the statistics of domain %s from the log file %s: %s "
                                    "before the update ended; the log file is kept for the next run",
                                    config_.domainName, source_.path, driverEnded),
                       Place{"", "LogForAWStats::processLogFile", 0});
    }
    if (update.how != "exit" || update.code != 0) {
      const uint32_t code = update.how == "signal" ? 128 + update.code : update.code;
      const std::string reason = update.how == "exit" ? awstatsReason(update.said) : endedText(update);
      const std::string message =
          formatString("AWStats could not update the statistics of domain %s from the log file %s (exit code %lu); "
                       "the log file is kept for the next run. AWStats said: %s",
                       config_.domainName, source_.path, static_cast<unsigned long>(code), reason);
      // Only a log AWStats finds no record in is refused for its records;
      // other failures (its configuration, its files, a signal) are no fault of the log.
      if (update.how == "exit" && update.said.find("did not find any valid log lines") != std::string::npos)
        throw LogRejectedException(message, reason, Place{"", "LogForAWStats::processLogFile", 0});
      throw vexception(message, Place{"", "LogForAWStats::processLogFile", 0});
    }
    if (written.empty() && !holdsNoRecord(source_.path)) {
      throw LogRejectedException(formatString("AWStats took no record of the log file %s into the statistics of domain %s "
                                    "(no database file in %s was written); the log file is kept for the next run. "
                                    "AWStats said: %s",
                                    source_.path, config_.domainName, output, awstatsReason(update.said)),
                       awstatsReason(update.said), Place{"", "LogForAWStats::processLogFile", 0});
    }

    std::vector<std::string> earlier;  // months over whose database the update wrote
    for (const std::string& path : written) {
      const std::string month = yearMonthOfDatabase(path, config_.domainName);
      if (!month.empty() && month != clockYearMonth()) earlier.push_back(month);
    }
    makeFurtherPages(perl, scriptPath, jobs, config_.domainName, earlier, runs, driverEnded, pages);
    linkEarlierMonths(pages.front().output, earlierMonths(output, config_.domainName, earlier), config_.domainName);
    for (AWStatsRun& page : pages) {
      writeAWStatsHtml(output, page.fileName, page.output);
      page.output.clear();
    }
  } catch (...) {
    for (const AWStatsRun& page : pages)
      if (!page.output.empty()) deleteFile(page.output);
    const platform::account::ProgramAccountScope asProgram;
    if (const uint32_t code = deleteFile(workingConfig))
      log.log(Info, "%s", formatSystemMessage(code, "Delete file " + workingConfig));
    throw;
  }

  // The log's records now live in the database files only.
  for (const std::string& path : written) flushFileToDisk(path);
  if (!written.empty()) flushDirectoryToDisk(output);
  removeFile(source_.path, true, false, 0, 0);
  log.log(Info, "AWStats finished");
}

void LogForAWStats::writeAWStatsHtml(const std::string& outputDirectory, const std::string& pageFileName,
                                     const std::string& temporaryPath) {
  guardRethrow(
      Place{formatString("%s: cant move HTML file", pageFileName), "LogForAWStats::writeAWStatsHtml", 527}, [&] {
        const std::string target = VFileName::combine(outputDirectory, pageFileName);
        if (fileExist(target)) removeFile(target, true, false, 0, 0);
        copyFile(temporaryPath, target, false);
        removeFile(temporaryPath, true, false, 0, 0);
      });
}
