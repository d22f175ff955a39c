// The AWStats run of one log file: configuration, domain copy, sorted log,
// one database update and the 21 report pages, then the log is removed.
#include "awstats/awstats_run.h"

#include <random>

#include "awstats/log_for_awstats.h"
#include "config/registry.h"
#include "config/settings.h"
#include "platform/account.h"
#include "platform/run_shared.h"
#include "platform/text.h"
#include "support/file_ops.h"
#include "support/format.h"
#include "support/guard.h"
#include "support/logging.h"
#include "support/process.h"
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

// Moves a file over an existing one, as MoveFileEx with REPLACE_EXISTING;
// 0 or the error code.
uint32_t moveReplacing(const std::string& from, const std::string& to) {
  try {
    if (fileExist(to)) removeFile(to, false, false, 0, 0);
    renameFile(from, to, 1);
    return 0;
  } catch (const vosexception& e) {
    return e.errorCode();
  }
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

bool isSortFile(const std::string& path) { return text::endsWith(path, kSortSuffix); }

// A sort file beside the configuration was left by a run killed while it
// sorted: it holds every record of its log, whereas whatever stands at the
// log path is the sort's unfinished output. The sort file becomes the log
// again, so nothing is lost and nothing is counted twice.
void recoverInterruptedSorts(const std::string& directory) {
  for (const LogSource& source : findLogSources(directory)) {
    if (!isSortFile(source.path)) continue;
    const std::string logPath = source.path.substr(0, source.path.size() - std::string(kSortSuffix).size());
    if (const uint32_t code = moveReplacing(source.path, logPath))
      throwOsException("Unable to rename log file from " + source.path + " to " + logPath, code,
                       Place{"", "processAWStatsConfig", 0});
    LogManager::instance().log(Warning, "Log file %s was left by an interrupted run; its records are back in %s",
                               source.path, logPath);
  }
}

} // namespace

void processAWStatsConfig(const WebStatConfig& config) {
  recoverInterruptedSorts(config.configDir);
  for (const LogSource& source : findLogSources(config.configDir)) {
    if (isSortFile(source.path)) continue;
    requireRegularLogFile(source);
    LogForAWStats(source, config).processLogFile();
  }
}

// The log is sorted in place through the sort file. Whatever happens, the
// records stay at the log path, sorted or not, or at the sort file when it
// cannot be moved back.
void LogForAWStats::sortLog() {
  LogManager& log = LogManager::instance();
  const std::string& logPath = source_.path;
  const std::string sortFile = logPath + ".sort.tmp";

  if (const uint32_t code = moveReplacing(logPath, sortFile)) {
    log.log(Warning, "Unable to rename log file from %s to %s: %s", logPath, sortFile, formatSystemMessage(code, ""));
    return;
  }

  const SortCommand command = makeSortCommand(sortFile, logPath);
  uint32_t exitCode = kNotRun;
  uint64_t inputSize = 0;
  guardLog(Warning, Place{"", "LogForAWStats::processLogFile", 0}, [&] { inputSize = sortInputSize(command); });
  const std::string output = execExtUtil(command.program, command.arguments, false, &exitCode, command.input,
                                         command.output, &command.environment);
  std::string incomplete;
  if (exitCode == 0) {
    if (auto failure = guardCapture(Place{"", "LogForAWStats::processLogFile", 0},
                                    [&] { expectCompleteSortOutput(command, inputSize); }))
      incomplete = failure->message();
  }
  if (exitCode == 0 && incomplete.empty()) {
    if (const uint32_t code = deleteFile(sortFile))
      log.log(Warning, "Unable to remove log file %s: %s", sortFile, formatSystemMessage(code, ""));
    return;
  }

  if (!incomplete.empty()) {
    log.log(Warning, "%s; the log file %s is processed unsorted", incomplete, logPath);
  } else if (exitCode == kNotRun) {
    log.log(Warning, "Unable to run the sort program %s %s; the log file %s is processed unsorted", command.program,
            command.arguments, logPath);
  } else {
    log.log(Warning, "Execute %s %s failed[%lu]: %s", command.program, command.arguments,
            static_cast<unsigned long>(exitCode), output);
  }
  if (const uint32_t code = moveReplacing(sortFile, logPath)) {
    throwOsException("Unable to rename log file from " + sortFile + " to " + logPath, code,
                     Place{"", "LogForAWStats::processLogFile", 276});
  }
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
    const std::string domainCopy = checkAWStats(installationRoot, configName);
    configure_CustomDate(text);
    writeConfig(domainCopy, text);
  }

  try {
    // AWStats' own failures are not looked at and the log goes at the end, so
    // a log that cannot be read must fail here, while it is still kept.
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
    uint32_t updateExit = 0;
    const std::string updateOutput = execExtUtil(
        perl, script + " -showsteps -showcorrupted -showdropped -config=" + config_.domainName + " -update", true,
        &updateExit, source_.path, {});
    if (updateExit != 0) {
      log.log(Warning, "AWStats update for domain %s ended with exit code %lu: %s", config_.domainName,
              static_cast<unsigned long>(updateExit), updateOutput);
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
