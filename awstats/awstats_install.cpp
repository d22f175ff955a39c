// The domain's own copy of AWStats inside its statistics directory: checked
// before every run, replaced when missing, stale or left half-copied, and
// undone when a copy fails. Also the clean-up of configurations of domains
// that no longer use AWStats.
#include <cstdlib>
#include <functional>

#include "awstats/awstats_run.h"
#include "awstats/log_for_awstats.h"
#include "config/settings.h"
#include "platform/text.h"
#include "support/file_ops.h"
#include "support/format.h"
#include "support/guard.h"
#include "support/logging.h"

namespace {

constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAlreadyExists = 183;

std::string inOutput(const std::string& outputDirectory, const std::string& relative) {
  return appendBackslash(outputDirectory) + relative;
}

// One directory creation, as CreateDirectory does it: an existing item or a
// missing parent fails.
void createSingleDirectory(const std::string& path) {
  const Place place{"", "makeDir", 43};
  const std::string textOf = formatString("CreateDirectory(%s)", path);
  if (fileExist(path)) throwOsException(textOf, kErrorAlreadyExists, place);
  bool parentIsDirectory = false;
  if (!fileExist(directoryOf(path), &parentIsDirectory) || !parentIsDirectory)
    throwOsException(textOf, kErrorPathNotFound, place);
  try {
    makeDir(path);
  } catch (const vosexception& e) {
    throwOsException(textOf, e.errorCode(), place);
  }
}

std::string versionText(const std::string& path) { return text::fromAnsi(readFileContents(path)); }

bool isReparsePoint(const std::string& path) {
  return (getFileAttributes(path) & file_attribute::ReparsePoint) != 0;
}

bool isConfigurationFile(const std::string& name) { return matchFilePattern("*.conf", name); }

// A copy made before only the domain's own configuration went into it may
// hold the configurations of other domains: they go.
void removeOtherDomainsConfigurations(const std::string& cgiBin, const std::string& configName) {
  std::vector<std::string> others;
  VFileFinder finder;
  for (bool found = finder.first(VFileName::combine(cgiBin, "*.conf")); found; found = finder.next())
    if (!finder.isDirectory() && !text::equalsNoCase(finder.name(), configName)) others.push_back(finder.name());
  for (const std::string& name : others) {
    removeFile(VFileName::combine(cgiBin, name), true, false, 0, 0);
    LogManager::instance().log(Warning, "Removed %s from %s: it is not this domain's configuration", name, cgiBin);
  }
}

} // namespace

int compareVersions(const std::string& a, const std::string& b) {
  const char* pa = a.c_str();
  const char* pb = b.c_str();
  for (;;) {
    char* endA = nullptr;
    char* endB = nullptr;
    const long na = std::strtol(pa, &endA, 10);
    const long nb = std::strtol(pb, &endB, 10);
    if (na < nb) return -1;
    if (na > nb) return 1;
    const bool dotA = *endA == '.';
    const bool dotB = *endB == '.';
    if (!dotA && !dotB) return 0;
    if (!dotA) return -1;
    if (!dotB) return 1;
    pa = endA + 1;
    pb = endB + 1;
  }
}

void createCopyLock(const std::string& outputDirectory) {
  VFile lock;
  lock.open(inOutput(outputDirectory, kCopyLockName), file_open::GenericWrite, 0, file_open::CreateNew,
            file_open::AttributeNormal | file_open::SequentialScan);
  lock.close();
}

void copyDirectoryTree(const std::string& source, const std::string& destination, bool copyFiles,
                       const std::function<bool(const std::string&)>& skipFile) {
  std::vector<std::string> directories;
  std::vector<std::string> files;
  VFileFinder finder;
  if (finder.first(VFileName::combine(source, "*.*"))) {
    do {
      if (finder.isDots()) continue;
      (finder.isDirectory() ? directories : files).push_back(finder.name());
    } while (finder.next());
  }
  makeDir(destination);
  if (copyFiles) {
    for (const std::string& name : files)
      if (!skipFile || !skipFile(name))
        copyFile(VFileName::combine(source, name), VFileName::combine(destination, name), true);
  }
  for (const std::string& name : directories)
    copyDirectoryTree(VFileName::combine(source, name), VFileName::combine(destination, name), copyFiles, skipFile);
}

std::string LogForAWStats::checkAWStats(const std::string& installationRoot, const std::string& configName) {
  const std::string output = outputDirectory();
  const std::string folder = inOutput(output, kAWStatsFolder);
  const std::string cgiBin = inOutput(output, "AWStats/cgi-bin");
  const std::string lock = inOutput(output, kCopyLockName);

  const bool scriptExists = fileExist(inOutput(output, "AWStats/cgi-bin/awstats.pl"));
  const bool lockExisted = fileExist(lock);
  bool lockExists = lockExisted;
  bool update = false;

  if (scriptExists) {
    const std::string installationVersion = VFileName::combine(installationRoot, "version");
    const std::string domainVersion = VFileName::combine(output, "AWStats/version");
    if (fileExist(installationVersion)) {
      if (!fileExist(domainVersion)) {
        update = true;
        LogManager::instance().log(Warning,
                                   "AWStats needs to be updated for domain %s. Domain version file doesn't exist",
                                   config_.domainName);
      } else {
        const std::string installed = versionText(installationVersion);
        const std::string domains = versionText(domainVersion);
        if (compareVersions(domains, installed) == -1) {
          update = true;
          LogManager::instance().log(Warning, "AWStats needs to be updated for domain %s", config_.domainName);
        }
      }
    }
    if (!update && isReparsePoint(cgiBin)) update = true;
  }

  if (!scriptExists || lockExisted || update) {
    if (fileExist(folder)) {
      guardLog(Warning, Place{"Unable to delete reparse point", "LogForAWStats::checkAWStats", 205}, [&] {
        if (fileExist(cgiBin) && isReparsePoint(cgiBin)) removeDirReparsePoint(cgiBin);
      });
      if (!lockExists) {
        createCopyLock(output);
        lockExists = true;
      }
      removeDir(folder, true, {});
    }
    if (!lockExists) createCopyLock(output);
    copyAWStats(installationRoot, output, configName);
    if (fileExist(lock)) removeFile(lock, true, false, 0, 0);
  } else {
    removeOtherDomainsConfigurations(cgiBin, configName);
  }
  return inOutput(output, "AWStats/cgi-bin/") + configName;
}

void LogForAWStats::copyAWStats(const std::string& installationRoot, const std::string& outputDirectory,
                                const std::string& configName) {
  const std::string folder = inOutput(outputDirectory, kAWStatsFolder);
  const std::string lock = inOutput(outputDirectory, kCopyLockName);
  auto from = [&](const std::string& relative) { return VFileName::combine(installationRoot, relative); };
  auto to = [&](const std::string& relative) { return VFileName::combine(outputDirectory, relative); };

  const auto copyError = guardCapture(
      Place{formatString("Unable to copy AWStats (webspace: %s, domain: %s):", config_.webspaceName,
                         config_.domainName),
            "LogForAWStats::copyAWStats", 433},
      [&] {
        createSingleDirectory(folder);
        // The installation's configurations are other domains' (names,
        // aliases, log paths): only the domain's own goes into its copy.
        for (const char* tree : {"classes", "css", "icon", "js", "cgi-bin"})
          copyDirectoryTree(from(std::string("wwwroot/") + tree), to(std::string("AWStats/") + tree), true,
                            isConfigurationFile);
        copyFile(from("wwwroot/cgi-bin/awredir.pl"), to("AWStats/cgi-bin/awredir.pl"), false);
        copyFile(from("wwwroot/cgi-bin/awstats.pl"), to("AWStats/cgi-bin/awstats.pl"), false);
        copyFile(from("wwwroot/cgi-bin/" + configName), to("AWStats/cgi-bin/" + configName), false);
        copyFile(from("version"), to("AWStats/version"), false);
      });
  if (!copyError) {
    removeFile(lock, true, false, 0, 0);
    return;
  }

  const auto rollbackError = guardCapture(Place{"Unable to remove AWStats:", "LogForAWStats::copyAWStats", 443}, [&] {
    if (fileExist(folder)) removeDir(folder, true, {});
    if (fileExist(lock)) removeFile(lock, true, false, 0, 0);
  });
  if (rollbackError) {
    throw vexception("Rollback failed: \n" + rollbackError->fullMessage() + "\n for: \n" + copyError->fullMessage(),
                     Place{"", "LogForAWStats::copyAWStats", 446});
  }
  throw vexception(copyError->fullMessage(), Place{"", "LogForAWStats::copyAWStats", 448});
}

void cleanAWstats(const std::vector<WebStatConfig>& processed) {
  guardLog(Error, Place{"Remove unused awstats configs", "cleanAWstats", 571}, [&] {
    const std::string component = getComponentPath("awstats");
    if (component.empty()) return;
    const std::string cgiBin = VFileName::combine(component, "wwwroot/cgi-bin");

    // Names first: removing while the directory is being read could skip entries.
    std::vector<std::string> names;
    VFileFinder finder;
    if (finder.first(VFileName::combine(cgiBin, "*.conf"))) {
      do {
        if (finder.isDots() || finder.isDirectory()) continue;
        if (text::equalsNoCase(finder.name(), "awstats.model.conf") || text::equalsNoCase(finder.name(), "awstats.conf"))
          continue;
        names.push_back(finder.name());
      } while (finder.next());
    }

    for (const std::string& name : names) {
      bool used = false;
      for (const WebStatConfig& config : processed) {
        if (text::equalsNoCase(name, awstatsConfigName(config))) {
          used = true;
          break;
        }
      }
      if (used) continue;
      const std::string path = VFileName::combine(cgiBin, name);
      guardLog(Error, Place{formatString("Remove file '%s'", path), "cleanAWstats", 566},
               [&] { removeFile(path, true, false, 0, 0); });
    }
  });
}
