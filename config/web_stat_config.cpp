#include "config/web_stat_config.h"

#include <set>

#include "config/settings.h"
#include "config/xml_document.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "support/errors.h"
#include "support/file_ops.h"
#include "support/format.h"

const LogKindInfo logKindTable[3] = {
    {"web", "webstat", " -F clf "},
    {"ano", "anon_ftpstat", " -F ftp "},
    {"ftp", "ftpstat", " -F ftp "},
};

namespace {

constexpr const char* kConfigFileName = "web_stat_executor.conf";

struct Utf16Less {
  bool operator()(const std::string& a, const std::string& b) const { return text::utf16Less(a, b); }
};

std::string directoryOfConfig(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash);
  while (!dir.empty() && dir.back() == '/') dir.pop_back();
  return dir;
}

// A value shown in a message with its control characters made visible.
std::string printable(const std::string& value) {
  std::string out;
  for (const char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F)
      out += formatString("\\x%02x", static_cast<unsigned>(u));
    else
      out.push_back(c);
  }
  return out;
}

void requirePlainName(const char* what, const std::string& value, const std::string& configFile,
                      const Place& place) {
  if (isPlainDirectoryName(value)) return;
  throw vexception(refusedNameMessage(what, value, "in the config file '" + configFile + "'"), place);
}

} // namespace

bool loadWebStatConfig(const std::string& path, WebStatConfig& config) {
  config = WebStatConfig{};
  const XmlDocument document = vxmlLoad(path);
  const XmlElement root = document.documentElement();

  const std::optional<XmlElement> domain = root.selectFirstElement("domain");
  if (!domain) return false;
  config.domainName = text::toLower(domain->attributeOrEmpty("name"));
  config.configDir = directoryOfConfig(path);
  config.webspaceName = domain->attributeOrEmpty("webspaceName");
  std::string defaultDoc = domain->attributeOrEmpty("default_doc");
  for (char& c : defaultDoc)
    if (c == '\n') c = ' ';
  config.defaultDoc = std::move(defaultDoc);
  for (const XmlElement& alias : domain->selectElements("./alias"))
    config.aliases.push_back(text::toLower(alias.attributeOrEmpty("name")));

  const std::optional<XmlElement> webstat = domain->selectFirstElement("webstat");
  if (!webstat) return false;
  config.type = webstat->attributeOrEmpty("type");

  return true;
}

void requirePlainNames(const WebStatConfig& config, const std::string& path) {
  // The engines build directories from these two names; a file that could
  // send them outside the tree is refused before any engine sees it.
  requirePlainName("webspace name", config.webspaceName, path, Place{"", "loadWebStatConfig", 77});
  requirePlainName("domain name", config.domainName, path, Place{"", "loadWebStatConfig", 78});
}

std::vector<LogSource> findLogSources(std::string directory) {
  std::set<std::string, Utf16Less> names;
  VFileFinder finder;
  if (finder.first(VFileName::combine(directory, "*.*"))) {
    do {
      if (finder.isDots()) continue;
      const std::string& name = finder.name();
      // A directory with a configuration of its own is another domain's.
      if (finder.isDirectory() && fileExist(VFileName::combine(VFileName::combine(directory, name), kConfigFileName)))
        continue;
      if (text::equalsNoCase(name, kConfigFileName)) continue;
      if (text::startsWith(name, "web") || text::startsWith(name, "ftp") || text::startsWith(name, "ano"))
        names.insert(name);
    } while (finder.next());
  }

  std::vector<LogSource> sources;
  sources.reserve(names.size());
  for (const std::string& name : names) {
    LogSource source;
    if (text::startsWith(name, "web"))
      source.kind = LogKind::Web;
    else if (text::startsWith(name, "ftp"))
      source.kind = LogKind::Ftp;
    else
      source.kind = LogKind::AnonymousFtp;
    source.path = VFileName::combine(directory, name);
    sources.push_back(std::move(source));
  }
  return sources;
}

void requireRegularLogFile(const LogSource& source) {
  platform::fs::EntryStatus status;
  if (const uint32_t code = platform::fs::statEntry(source.path, status))
    throwOsException("Log file " + source.path, code, Place{"", "requireRegularLogFile", 0});
  std::string what;
  if (!status.isRegular) {
    what = std::string("is a ") + status.kind;
    std::string target;
    if (status.isSymlink && platform::fs::readSymlink(source.path, target) == 0) what += " to '" + target + "'";
  } else if (status.links > 1) {
    what = formatString("has %u names (hard links); one of them may be another's file", status.links);
  } else if (uint64_t hole = 0; platform::fs::firstHole(source.path, hole) == 0 && hole < status.size) {
    // What a web server writes has no holes; a sparse file would only cost
    // the night a sort of its zeros.
    what = formatString("holds unwritten bytes from byte %llu of %llu on (a sparse file)",
                        static_cast<unsigned long long>(hole), static_cast<unsigned long long>(status.size));
  } else {
    return;
  }
  throw vexception(formatString("Log file '%s' %s, not a log file of its own: it is neither read nor removed, and "
                                "the domain's statistics wait until it is replaced by a regular file or removed",
                                source.path, what),
                   Place{"", "requireRegularLogFile", 0});
}

bool isRegularLogFile(const LogSource& source) {
  try {
    requireRegularLogFile(source);
    return true;
  } catch (const vexception&) {
    return false;
  }
}

bool isPlainDirectoryName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) return false;
  }
  return true;
}

std::string refusedNameMessage(const char* what, const std::string& value, const std::string& where) {
  return formatString(
      "Invalid %s '%s' %s: a name that is empty, \".\" or \"..\", or holds a path separator or a control "
      "character, would lead outside the virtual-hosts directory",
      what, printable(value), where);
}

std::string statisticsDir(const WebStatConfig& config) {
  // Records normally come checked from loadWebStatConfig; this keeps a record
  // made any other way from pointing an engine outside the tree.
  const std::string where = VFileName::combine(config.configDir, kConfigFileName);
  requirePlainName("webspace name", config.webspaceName, where, Place{"", "statisticsDir", 120});
  requirePlainName("domain name", config.domainName, where, Place{"", "statisticsDir", 121});
  return VFileName::combine(getVhostsDir(), config.webspaceName + "/.tarvo/statistics/" + config.domainName);
}
