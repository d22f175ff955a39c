// The statistics configuration of one domain (web_stat_executor.conf), the
// log files beside it and the per-kind constants of those files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct WebStatConfig {
  std::string domainName;    // lower case
  std::string webspaceName;  // as written
  std::string type;          // "awstats" or "webalizer", any letter case
  std::string configDir;     // directory of the configuration file, no trailing separator
  std::string defaultDoc;    // line feeds turned into spaces
  std::vector<std::string> aliases;  // lower case, document order
};

enum class LogKind : int32_t { Web = 0, AnonymousFtp = 1, Ftp = 2 };

struct LogSource {
  LogKind kind = LogKind::Web;
  std::string path;
};

struct LogKindInfo {
  const char* prefix;           // "web", "ano", "ftp"
  const char* statSubdir;       // "webstat", "anon_ftpstat", "ftpstat"
  const char* webalizerFormat;  // " -F clf " or " -F ftp "
};
extern const LogKindInfo logKindTable[3];
inline const LogKindInfo& logKindInfo(LogKind kind) { return logKindTable[static_cast<int>(kind)]; }

// Fills the record from the file; false when it lacks "domain" or "webstat".
// Malformed XML raises "<reason> at load <path>".
bool loadWebStatConfig(const std::string& path, WebStatConfig& config);
// Raises unless the webspace and domain names of the record, read from the
// file at path, are plain (isPlainDirectoryName). Asked only of a record
// that is to be processed: a parked configuration without a webspace name
// does not stop the others.
void requirePlainNames(const WebStatConfig& config, const std::string& path);
// The log files beside a configuration, sorted by file name: every item
// named like a log (but a directory with a configuration of its own, which
// is another domain's).
std::vector<LogSource> findLogSources(std::string directory);
// Raises, naming the item and what it is, unless the log is a regular file
// with one name: a link, a FIFO, a device or a directory in a log's place is
// never read nor removed.
void requireRegularLogFile(const LogSource& source);
// The same as a question: false where requireRegularLogFile raises.
bool isRegularLogFile(const LogSource& source);
// vhosts root / webspace / ".tarvo/statistics" / domain. Raises for a record
// whose names fail isPlainDirectoryName.
std::string statisticsDir(const WebStatConfig& config);

// The webspace and domain names become directory names below the
// virtual-hosts root. A plain name is one such name and nothing more: not
// empty, not "." or "..", no "/" or "\\", no control character.
// requirePlainNames raises for a record whose names are not plain.
bool isPlainDirectoryName(const std::string& name);
// "Invalid <what> '<value>' <where>: ..." explaining the refusal, with
// control characters shown as \xHH.
std::string refusedNameMessage(const char* what, const std::string& value, const std::string& where);
