// The AWStats run of one log file: configuration, domain copy, sorted log,
// one database update and the 21 report pages, then the log is removed.
#include "awstats/awstats_run.h"

#include <map>
#include <random>

#include "awstats/log_fields.h"
#include "awstats/log_for_awstats.h"
#include "config/registry.h"
#include "config/settings.h"
#include "platform/account.h"
#include "platform/fs.h"
#include "platform/run_shared.h"
#include "platform/text.h"
#include "support/file_ops.h"
#include "support/format.h"
#include "support/guard.h"
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

std::string reportPageOption(size_t index) {
  return index == 0 ? std::string(" -output") : std::string(" -output=") + awstatsReportPages[index];
}

std::string reportPageFileName(size_t index, const std::string& domainName) {
  if (index == 0) return "index.html";
  return "awstats." + domainName + "." + awstatsReportPages[index] + ".html";
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

} // namespace

void processAWStatsConfig(const WebStatConfig& config) {
  recoverInterruptedSorts(config.configDir);
  std::vector<LogSource> logs;
  for (const LogSource& source : findLogSources(config.configDir))
    if (!isSortFile(source.path)) logs.push_back(source);
  processLogsInOrder(config.configDir, logs, "AWStats", [&](const LogSource& source) {
    requireRegularLogFile(source);
    LogForAWStats(source, config).processLogFile();
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

void LogForAWStats::processLogFile() {
  LogManager& log = LogManager::instance();
  log.log(Info, "Execute AWStats for domain %s", config_.domainName);

  const std::string installationRoot = getAWStatsPath();
  const std::string output = outputDirectory();
  const std::string webRoot = VFileName::combine(installationRoot, "wwwroot");
  const std::string script = "\"" + webRoot + "/cgi-bin/awstats.pl\"";
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

  std::vector<std::string> written;  // the database files the update wrote
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

    // Waited for, so that the database is complete before the pages read it.
    // An update that fails, or takes nothing from a log that holds records,
    // keeps the log, as a failed Webalizer run keeps its chunk.
    const DatabaseFiles before = databaseFiles(output, config_.domainName);
    uint32_t updateExit = 0;
    const std::string updateOutput = execExtUtil(
        perl, script + " -showsteps -showcorrupted -showdropped -config=" + config_.domainName + " -update", true,
        &updateExit, source_.path, {});
    for (const auto& [name, signature] : databaseFiles(output, config_.domainName))
      if (before.count(name) == 0 || before.at(name) != signature) written.push_back(VFileName::combine(output, name));
    if (updateExit != 0) {
      // Only a log AWStats finds no record in is refused for its records;
      // other failures (its configuration, its files) are no fault of the log.
      const std::string reason = awstatsReason(updateOutput);
      const std::string message =
          formatString("AWStats could not update the statistics of domain %s from the log file %s (exit code %lu); "
                       "the log file is kept for the next run. AWStats said: %s",
                       config_.domainName, source_.path, static_cast<unsigned long>(updateExit), reason);
      if (updateOutput.find("did not find any valid log lines") != std::string::npos)
        throw LogRejectedException(message, reason, Place{"", "LogForAWStats::processLogFile", 0});
      throw vexception(message, Place{"", "LogForAWStats::processLogFile", 0});
    }
    if (written.empty() && !holdsNoRecord(source_.path)) {
      throw LogRejectedException(formatString("AWStats took no record of the log file %s into the statistics of domain %s "
                                    "(no database file in %s was written); the log file is kept for the next run. "
                                    "AWStats said: %s",
                                    source_.path, config_.domainName, output, awstatsReason(updateOutput)),
                       awstatsReason(updateOutput), Place{"", "LogForAWStats::processLogFile", 0});
    }

    std::vector<std::string> pages;
    for (size_t i = 0; i < awstatsReportPages.size(); ++i)
      pages.push_back(createAwStatsFile(perl, script + " -config=" + config_.domainName + reportPageOption(i)));
    for (size_t i = 0; i < awstatsReportPages.size(); ++i)
      writeAWStatsHtml(output, reportPageFileName(i, config_.domainName), pages[i]);
  } catch (...) {
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

std::string LogForAWStats::createAwStatsFile(const std::string& perl, const std::string& arguments) {
  return guardRethrow(
      Place{formatString("%s: cant create HTML file", arguments), "LogForAWStats::createAwStatsFile", 514}, [&] {
        const std::string temporary = tempFileName(tempPath(), newGuidText());
        uint32_t exitCode = 0;
        const std::string said = execExtUtil(perl, arguments, true, &exitCode, {}, temporary);
        if (!said.empty()) LogManager::instance().log(Info, "%s", said);
        return temporary;
      });
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
