// The AWStats engine for one log file: the per-domain AWStats configuration
// rewritten from the installation's model, the domain's own copy of the
// AWStats scripts, and the run that leaves the report pages in the domain's
// statistics directory.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "config/web_stat_config.h"

// W3C extended fields as the IIS-style logs of the panel carry them, in the
// order AWStats is told to read them.
inline constexpr const char* kIisLogFields =
    "date time s-sitename s-computername s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip "
    "cs-version cs(User-Agent) cs(Cookie) cs(Referer) cs-host sc-status sc-substatus sc-win32-status sc-bytes "
    "cs-bytes time-taken";

// A configuration file as AWStats reads it: 8-bit lines, each with its own
// line end (the line feed and a carriage return before it belong to the line).
using ConfigText = std::vector<std::string>;

// "awstats." + domain name + ".conf".
std::string awstatsConfigName(const WebStatConfig& config);

// Compares dotted decimal versions ("7.8" < "7.10" < "7.10.1"); -1, 0 or 1.
int compareVersions(const std::string& a, const std::string& b);

// Creates destination and every subdirectory of source below it; with
// copyFiles, copies the files too (an existing file fails the copy), but for
// those whose names skipFile picks.
void copyDirectoryTree(const std::string& source, const std::string& destination, bool copyFiles,
                       const std::function<bool(const std::string&)>& skipFile = {});
// Creates the empty marker "CopyAWStats.lock" of an unfinished copy in the
// output directory; fails when it exists already.
void createCopyLock(const std::string& outputDirectory);

inline constexpr const char* kAWStatsFolder = "AWStats";
inline constexpr const char* kCopyLockName = "CopyAWStats.lock";

// The 21 report pages of a month in the order they are produced: the AWStats
// output option name of each ("" for the main page).
extern const std::vector<const char*> awstatsReportPages;
// Those, then the pages the shipped model configuration links besides; the
// output option names, "" first.
std::vector<std::string> awstatsPagesMadeFirst();

class LogForAWStats {
 public:
  LogForAWStats(const LogSource& source, const WebStatConfig& config);
  // The same, with the domain's statistics directory given instead of asked
  // of the management service.
  LogForAWStats(const LogSource& source, const WebStatConfig& config, std::string statisticsDirectory);

  // The whole AWStats run for the log file, with at most jobs pages made at
  // once; failures are exceptions.
  void processLogFile(unsigned jobs = 1);

  // The model (or any configuration file) read into lines.
  ConfigText sourceLines(const std::string& path);
  // Rewrites the thirteen keys the program owns, appending the missing ones.
  // Refuses values that would change what AWStats reads from the file.
  void configure(ConfigText& text, LogKind kind);
  // Points "DirIcons" of the domain's copy at "../icon".
  void configure_CustomDate(ConfigText& text);
  void writeConfig(const std::string& path, const ConfigText& text);

  // Makes sure the output directory holds a current copy of AWStats and gives
  // back the path of the domain's configuration file inside it.
  std::string checkAWStats(const std::string& installationRoot, const std::string& configName);
  // Copies the installation into the output directory; undoes a failed copy.
  void copyAWStats(const std::string& installationRoot, const std::string& outputDirectory,
                   const std::string& configName);

  // Puts one page in place from its temporary file.
  void writeAWStatsHtml(const std::string& outputDirectory, const std::string& pageFileName,
                        const std::string& temporaryPath);

  // The statistics directory of the domain joined with the kind's subdirectory.
  std::string outputDirectory(LogKind kind);
  std::string outputDirectory() { return outputDirectory(source_.kind); }

 private:
  std::string statisticsDirectory();
  std::string keyValue(size_t key, LogKind kind);
  std::string writtenLine(size_t key, LogKind kind);
  void refuseUnsafeValues(LogKind kind);
  void sortLog();

  const LogSource& source_;
  const WebStatConfig& config_;
  std::optional<std::string> statisticsDirectory_;
};

// The matching rule of a configuration line against a key: leading white
// space skipped, "#" starts a comment, the key (any ASCII letter case) must be
// followed by white space or "=" within the line.
bool configLineMatchesKey(const std::string& line, const std::string& key);
// The "HostAliases" value: wildcard aliases "_.rest" become a REGEX rule.
std::string hostAliasesValue(const std::vector<std::string>& aliases);
