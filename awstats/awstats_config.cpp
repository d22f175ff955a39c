// The per-domain AWStats configuration: the installation's model with the
// thirteen keys the program owns rewritten, every other line passed through
// byte for byte.
#include <array>
#include <string_view>

#include "awstats/log_for_awstats.h"
#include "platform/text.h"
#include "support/file_ops.h"
#include "support/format.h"
#include "support/guard.h"

namespace {

enum Key : size_t {
  LogType,
  LogFormat,
  SiteDomain,
  HostAliases,
  DNSLookup,
  DirData,
  DirCgi,
  DirIcons,
  SaveDatabaseFilesWithPermissionsForEveryone,
  DefaultFile,
  LogFile,
  LevelForRobotsDetection,
  HTMLEndSection,
  KeyCount
};

// In the order the lines are matched and appended.
constexpr std::array<const char*, KeyCount> kKeyNames = {
    "LogType",  "LogFormat", "SiteDomain", "HostAliases", "DNSLookup", "DirData", "DirCgi",
    "DirIcons", "SaveDatabaseFilesWithPermissionsForEveryone", "DefaultFile", "LogFile",
    "LevelForRobotsDetection", "HTMLEndSection"};


// isspace of the C locale; bytes 128..255 never count.
bool isConfigSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The bytes at text[pos...] equal word without regard to ASCII letter case.
bool equalsAsciiNoCaseAt(const std::string& text, size_t pos, std::string_view word) {
  if (text.size() - pos < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (asciiLower(text[pos + i]) != asciiLower(word[i])) return false;
  }
  return true;
}

std::string quoted(const std::string& value) { return "\"" + value + "\""; }

// The fields AWStats is told to read. The Host field goes under a name
// AWStats does not know ("x-unused"; with "x-cs-host" AWStats 7.8 took no
// record at all): it drops every record whose Host is not SiteDomain
// or a HostAliases entry (a port after the name, the server's address, "-",
// another name), though each log holds its own domain's records only. The
// aliases still tell its own pages from other sites among the referrers.
std::string logFormatValue() {
  std::string format = kIisLogFields;
  const size_t host = format.find(" cs-host ");
  if (host != std::string::npos) format.replace(host, 9, " x-unused ");
  return format;
}

// A value as a message may show it: line breaks made visible.
std::string shown(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

// AWStats replaces __NAME__ in every value by the environment variable NAME.
bool hasEnvironmentReference(const std::string& value) {
  auto plain = [](char c) { return c != '_' && !isConfigSpace(c); };
  for (size_t i = 0; i + 1 < value.size(); ++i) {
    if (value[i] != '_' || value[i + 1] != '_') continue;
    size_t j = i + 2;
    if (j >= value.size() || !plain(value[j])) continue;
    while (j < value.size()) {
      while (j < value.size() && plain(value[j])) ++j;
      if (j + 1 < value.size() && value[j] == '_' && value[j + 1] == '_') return true;
      if (j + 1 < value.size() && value[j] == '_' && plain(value[j + 1])) {
        ++j;
        continue;
      }
      break;
    }
  }
  return false;
}

// Why the value would change what AWStats reads from the configuration, or "".
std::string unsafeReason(Key key, const std::string& value) {
  if (value.find_first_of("\r\n") != std::string::npos)
    return "a line break would end the setting and start another one";
  if (value.find('"') != std::string::npos) return "a double quote would end the quoted value early";
  for (size_t i = 1; i < value.size(); ++i) {
    if (value[i] == '#' && isConfigSpace(value[i - 1]))
      return "AWStats would cut the value at the \"#\" that follows white space, as a comment";
  }
  if (hasEnvironmentReference(value))
    return "AWStats would replace the __NAME__ part by the value of an environment variable";
  if (key == SiteDomain) {
    for (char c : value) {
      if (isConfigSpace(c) || c == '/' || c == '\\')
        return "the domain name goes unquoted into the AWStats command lines and into the configuration file "
               "name, where white space or a path separator would change their meaning";
    }
  }
  return {};
}

const char* valueOwner(Key key) {
  switch (key) {
    case SiteDomain: return "domain name";
    case HostAliases: return "aliases of the domain";
    case DirData: return "path of the statistics directory";
    case DefaultFile: return "default documents of the domain";
    default: return "value";
  }
}

} // namespace

std::string awstatsConfigName(const WebStatConfig& config) { return "awstats." + config.domainName + ".conf"; }

bool configLineMatchesKey(const std::string& line, const std::string& key) {
  size_t p = 0;
  while (p < line.size() && isConfigSpace(line[p])) ++p;
  if (p < line.size() && line[p] == '#') return false;
  if (line.size() - p <= key.size()) return false;
  if (!equalsAsciiNoCaseAt(line, p, key)) return false;
  const char next = line[p + key.size()];
  return isConfigSpace(next) || next == '=';
}

std::string hostAliasesValue(const std::vector<std::string>& aliases) {
  std::vector<std::string> rules = aliases;
  for (std::string& alias : rules) {
    if (!text::startsWith(alias, "_.")) continue;
    std::string rest;
    for (char c : alias.substr(2)) {
      if (c == '.') rest += '\\';
      rest += c;
    }
    alias = formatString("REGEX[[^\\.]+\\.%s$]", rest);
  }
  return quoted(text::toAnsi(text::join(rules, " ")));
}

std::string LogForAWStats::keyValue(size_t key, LogKind kind) {
  const bool web = kind == LogKind::Web;
  switch (static_cast<Key>(key)) {
    case LogType: return web ? "W" : "F";
    case LogFormat: return quoted(logFormatValue());
    case SiteDomain: return quoted(text::toAnsi(config_.domainName));
    case HostAliases: return hostAliasesValue(config_.aliases);
    case DNSLookup: return "2";
    case DirData: return quoted(text::toAnsi(outputDirectory(kind)));
    case DirCgi: return quoted("AWStats/cgi-bin");
    case DirIcons: return quoted("AWStats/icon");
    case SaveDatabaseFilesWithPermissionsForEveryone: return "0";
    case DefaultFile: return quoted(text::toAnsi(config_.defaultDoc));
    // AWStats reads the log as its standard input, which the program opens:
    // a link or a FIFO put in the log's place cannot make it read another.
    case LogFile: return quoted("-");
    case LevelForRobotsDetection: return web ? "2" : "0";
    case HTMLEndSection: return quoted("");
    case KeyCount: break;
  }
  return {};
}

std::string LogForAWStats::writtenLine(size_t key, LogKind kind) {
  return std::string(kKeyNames[key]) + "=" + keyValue(key, kind) + "\r\n";
}

void LogForAWStats::refuseUnsafeValues(LogKind kind) {
  for (Key key : {SiteDomain, HostAliases, DirData, DefaultFile}) {
    std::string value = keyValue(key, kind);
    if (key != HostAliases && value.size() >= 2) value = value.substr(1, value.size() - 2);
    if (key == HostAliases) {
      // Each alias on its own: the joined value holds blanks by design.
      for (const std::string& alias : config_.aliases) {
        const std::string reason = unsafeReason(key, text::toAnsi(alias));
        if (reason.empty()) continue;
        throw vexception(formatString(
            "Refused to write the alias '%s' of domain '%s' into the AWStats configuration for log file '%s': %s. "
            "Nothing was written and the log file stays where it is; correct the %s and run again.",
            shown(alias), shown(config_.domainName), shown(source_.path), reason, valueOwner(key)));
      }
      continue;
    }
    const std::string reason = unsafeReason(key, value);
    if (reason.empty()) continue;
    throw vexception(formatString(
        "Refused to write %s=\"%s\" into the AWStats configuration of domain '%s' for log file '%s': %s. "
        "Nothing was written and the log file stays where it is; correct the %s and run again.",
        kKeyNames[key], shown(value), shown(config_.domainName), shown(source_.path), reason, valueOwner(key)));
  }
}

ConfigText LogForAWStats::sourceLines(const std::string& path) {
  return guardRethrow(
      Place{formatString("%s: read awstats.model.conf", config_.domainName), "LogForAWStats::sourceLines", 77},
      [&] {
        VFile file;
        file.open(path, file_open::GenericRead, file_open::ShareRead, file_open::OpenExisting,
                  file_open::AttributeNormal | file_open::SequentialScan);
        std::string content;
        char buffer[1024];
        while (const size_t count = file.read(buffer, sizeof buffer)) content.append(buffer, count);
        ConfigText lines;
        size_t start = 0;
        while (start < content.size()) {
          const size_t end = content.find('\n', start);
          if (end == std::string::npos) {
            lines.push_back(content.substr(start));
            break;
          }
          lines.push_back(content.substr(start, end + 1 - start));
          start = end + 1;
        }
        return lines;
      });
}

void LogForAWStats::configure(ConfigText& text, LogKind kind) {
  guardRethrow(
      Place{formatString("%s: configure AWStats.conf", config_.domainName), "LogForAWStats::configure", 156}, [&] {
        refuseUnsafeValues(kind);
        std::array<bool, KeyCount> done{};
        for (std::string& line : text) {
          for (size_t key = 0; key < KeyCount; ++key) {
            if (!configLineMatchesKey(line, kKeyNames[key])) continue;
            line = writtenLine(key, kind);
            done[key] = true;
            break;
          }
        }
        for (size_t key = 0; key < KeyCount; ++key) {
          if (!done[key]) text.push_back(writtenLine(key, kind));
        }
      });
}

void LogForAWStats::configure_CustomDate(ConfigText& text) {
  guardRethrow(Place{formatString("%s: configure AWStats.conf", config_.domainName),
                     "LogForAWStats::configure_CustomDate", 489},
               [&] {
                 const std::string line = std::string(kKeyNames[DirIcons]) + "=" + quoted("../icon") + "\r\n";
                 for (std::string& existing : text) {
                   if (configLineMatchesKey(existing, kKeyNames[DirIcons])) {
                     existing = line;
                     return;
                   }
                 }
                 text.push_back(line);
               });
}

void LogForAWStats::writeConfig(const std::string& path, const ConfigText& text) {
  guardRethrow(
      Place{formatString("%s: write AWStats.conf", config_.domainName), "LogForAWStats::writeConfig", 95}, [&] {
        VFile file;
        file.open(path, file_open::GenericWrite, file_open::ShareRead, file_open::CreateAlways,
                  file_open::AttributeNormal | file_open::SequentialScan);
        for (const std::string& line : text) file.write(line.data(), line.size());
        file.close();
      });
}
