#include "webalizer/output_state.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "platform/text.h"
#include "support/errors.h"
#include "support/file_ops.h"
#include "support/guard.h"
#include "support/logging.h"

namespace {
constexpr const char* kFunction = "LogForWebalizer::processLogFile";
// The state files as the shipped webalizer.conf names them (Webalizer's own
// defaults too), and the directory their copies are saved in during a run.
constexpr const char* kPageEndComment = "<!-- Webalizer Version ";
const char* const kStateFiles[] = {"webalizer.current", "webalizer.hist"};
constexpr const char* kSavedState = "webalizer.saved";
// The copies are made here and become the saved state, complete and on the
// disk, in one rename: a run killed while copying leaves no half state that
// would be put back.
constexpr const char* kSavingState = "webalizer.saving";

// The saved state's copies of the pages of one month are in the directory
// "month-YYYYMM" ("month-none" when there were no pages): the pages of that
// month and of later months are what a run may write.
constexpr const char* kSavedMonthPrefix = "month-";

std::string savedStateDir(const std::string& output) { return VFileName::combine(output, kSavedState); }

// "YYYYMM" of a month file Webalizer writes ("usage_202403.html",
// "daily_usage_202403.png", ...), else "".
std::string monthOf(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot < 8 || name[dot - 7] != '_') return {};
  const std::string extension = name.substr(dot + 1);
  if (!text::equalsNoCase(extension, "html") && !text::equalsNoCase(extension, "htm") &&
      !text::equalsNoCase(extension, "png"))
    return {};
  const std::string month = name.substr(dot - 6, 6);
  if (month.find_first_not_of("0123456789") != std::string::npos) return {};
  for (size_t i = 0; i + 7 < dot; ++i)
    if (!(name[i] >= 'a' && name[i] <= 'z') && name[i] != '_') return {};
  return month;
}

// The month files in the output directory, by month.
std::vector<std::pair<std::string, std::string>> monthFiles(const std::string& output) {
  std::vector<std::pair<std::string, std::string>> files;  // month, name
  VFileFinder finder;
  for (bool found = finder.first(VFileName::combine(output, "*_*.*")); found; found = finder.next()) {
    if (finder.isDirectory() || (finder.attributes() & file_attribute::ReparsePoint)) continue;
    const std::string month = monthOf(finder.name());
    if (!month.empty()) files.emplace_back(month, finder.name());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// A killed run can leave index.html moved aside under its backup name
// (index.html followed by digits). The newest backup goes back when
// index.html is missing; the others go.
void recoverIndexBackups(const std::string& output) {
  const std::string indexPath = VFileName::combine(output, "index.html");
  std::vector<std::pair<int64_t, std::string>> backups;  // modification time, path
  VFileFinder finder;
  for (bool found = finder.first(VFileName::combine(output, "index.html*")); found; found = finder.next()) {
    const std::string& name = finder.name();
    if (finder.isDirectory() || name.size() <= 10 || name.find_first_not_of("0123456789-", 10) != std::string::npos)
      continue;
    const std::string path = VFileName::combine(output, name);
    platform::fs::EntryStatus status;
    platform::fs::statEntry(path, status);
    backups.emplace_back(status.modified, path);
  }
  std::sort(backups.rbegin(), backups.rend());
  LogManager& log = LogManager::instance();
  for (const auto& [time, path] : backups) {
    if (!fileExist(indexPath) && platform::fs::renameEntry(path, indexPath, false) == 0) {
      log.log(Warning, "Backup %s was left by an interrupted run; it is %s again", path, indexPath);
      continue;
    }
    log.log(Warning, "Backup %s was left by an interrupted run; removed", path);
    guardLog(Warning, Place{"Unable to delete backup index html", kFunction, 168},
             [&] { removeFile(path, true, false, 0, 0); });
  }
}

void putSavedStateBack(const std::string& output) {
  const std::string saved = savedStateDir(output);
  for (const char* name : kStateFiles) {
    const std::string path = VFileName::combine(output, name);
    const std::string copy = VFileName::combine(saved, name);
    if (!fileExist(copy)) {
      removeFile(path, true, false, 0, 0);  // it came with the failed run
      continue;
    }
    flushFileToDisk(copy);
    flushDirectoryToDisk(saved);
    if (const uint32_t code = platform::fs::renameEntry(copy, path, true))
      throwOsException("Put back " + copy + " as " + path, code, Place{"", kFunction, 0});
  }
  // The month's pages go back with the counts they show; pages of later
  // months came with the failed run. A saved state without its month (made
  // by an earlier version) leaves the pages as they are.
  std::string month;
  VFileFinder finder;
  for (bool found = finder.first(VFileName::combine(saved, std::string(kSavedMonthPrefix) + "*")); found;
       found = finder.next())
    if (finder.isDirectory() && !(finder.attributes() & file_attribute::ReparsePoint))
      month = finder.name().substr(std::string(kSavedMonthPrefix).size());
  const bool known = month == "none" || (month.size() == 6 && month.find_first_not_of("0123456789") == std::string::npos);
  if (known) {
    const std::string pages = VFileName::combine(saved, kSavedMonthPrefix + month);
    for (const auto& [fileMonth, name] : monthFiles(output)) {
      if (month != "none" && fileMonth < month) continue;
      const std::string path = VFileName::combine(output, name);
      const std::string copy = VFileName::combine(pages, name);
      if (!fileExist(copy)) {
        removeFile(path, true, false, 0, 0);
        continue;
      }
      if (const uint32_t code = platform::fs::renameEntry(copy, path, true))
        throwOsException("Put back " + copy + " as " + path, code, Place{"", kFunction, 0});
    }
  }
  removeDir(saved, true, {});
}
} // namespace

void recoverInterruptedWebalizerRun(const std::string& output) {
  recoverIndexBackups(output);
  // Copies the killed run did not finish; the state itself was not touched yet.
  const std::string saving = VFileName::combine(output, kSavingState);
  if (fileExist(saving)) removeDir(saving, true, {});
  if (!fileExist(savedStateDir(output))) return;
  requireDirectoryItself(savedStateDir(output));  // a link there is the customer's, not our saved state
  putSavedStateBack(output);
  LogManager::instance().log(Warning,
                             "Webalizer's counts in %s were left by an interrupted run; they are back as they were "
                             "before it",
                             output);
}

void saveWebalizerState(const std::string& output) {
  const std::string saving = VFileName::combine(output, kSavingState);
  try {
    makeDir(saving);
    for (const char* name : kStateFiles) {
      const std::string path = VFileName::combine(output, name);
      if (!fileExist(path)) continue;
      const std::string copy = VFileName::combine(saving, name);
      copyFile(path, copy, false);
      flushFileToDisk(copy);
    }
    // Webalizer skips records older than the last one it counted: of the
    // month pages, it rewrites only the latest month's and adds later ones.
    // The pages are no records: a power cut costs at most the latest
    // month's page, which the next run writes again.
    const auto months = monthFiles(output);
    const std::string month = months.empty() ? std::string("none") : months.back().first;
    const std::string pages = VFileName::combine(saving, kSavedMonthPrefix + month);
    makeDir(pages);
    for (const auto& [fileMonth, name] : months)
      if (fileMonth == month) copyFile(VFileName::combine(output, name), VFileName::combine(pages, name), false);
    flushDirectoryToDisk(pages);
    flushDirectoryToDisk(saving);
    renameFile(saving, savedStateDir(output), 1);
    flushDirectoryToDisk(output);
  } catch (...) {
    guardLog(Warning, Place{"Remove " + saving, kFunction, 0}, [&] { removeDir(saving, true, {}); });
    throw;
  }
}

void restoreWebalizerState(const std::string& output) {
  if (!fileExist(savedStateDir(output))) return;
  guardLog(Warning, Place{"Put back Webalizer's counts in " + output, kFunction, 0},
           [&] { putSavedStateBack(output); });
}

void dropSavedWebalizerState(const std::string& output) {
  // The counts are on the disk before their saved copies go, and the copies'
  // removal is before the chunk goes: a power cut in between neither loses
  // the counts nor puts old ones back over a removed chunk.
  for (const char* name : kStateFiles) {
    const std::string path = VFileName::combine(output, name);
    if (fileExist(path)) flushFileToDisk(path);
  }
  flushDirectoryToDisk(output);
  removeDir(savedStateDir(output), true, {});
  flushDirectoryToDisk(output);
}

void expectCompleteReports(const std::string& output, const std::string& chunk) {
  const std::string indexPath = VFileName::combine(output, "index.html");
  std::string page;
  if (fileExist(indexPath)) {
    try {
      page = readFileContents(indexPath);
    } catch (const vexception&) {
    }
  }
  // Webalizer ends every page with its version comment, after all of the
  // report and before the operator's HTMLEnd, which may replace "</html>".
  if (page.find(kPageEndComment) != std::string::npos) return;

  if (fileExist(indexPath))
    guardLog(Warning, Place{"Remove " + indexPath, kFunction, 0}, [&] { removeFile(indexPath, true, false, 0, 0); });
  const std::string what = "Webalizer did not write complete reports into " + output + "; the log file " + chunk +
                           " is kept for the next run";
  if (const uint32_t code = platform::fs::refusesWrites(output)) throwOsException(what, code, Place{"", kFunction, 134});
  throw vexception(what + " (is the disk full or the directory read-only?)", Place{"", kFunction, 134});
}
