#include "support/log_gathering.h"

#include <set>

#include "platform/fs.h"
#include "platform/text.h"
#include "support/errors.h"
#include "support/file_ops.h"
#include "support/format.h"
#include "support/logging.h"
#include "support/rejected_logs.h"
#include "support/system_sort.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kFieldsPrefix = "#Fields:";
// The list lies in the customer's directory: more than this is no list the
// program wrote.
constexpr uint64_t kMaxListSize = 1 << 20;

struct Listed {
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t modified = 0;
  std::string name;
};

struct GatheringList {
  uint64_t copyInode = 0;
  uint64_t copySize = 0;
  std::vector<Listed> logs;
};

bool endsWith(const std::string& path, const char* suffix) { return text::endsWith(path, suffix); }
std::string without(const std::string& path, const char* suffix) {
  return path.substr(0, path.size() - std::string(suffix).size());
}
std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

bool isLogName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && name != "." && name != ".." &&
         (text::startsWith(name, "web") || text::startsWith(name, "ftp") || text::startsWith(name, "ano"));
}

std::string listText(const GatheringList& list) {
  std::string out = formatString("copy\t%llu\t%llu\n", static_cast<unsigned long long>(list.copyInode),
                                 static_cast<unsigned long long>(list.copySize));
  for (const Listed& log : list.logs)
    out += formatString("%llu\t%llu\t%lld\t%s\n", static_cast<unsigned long long>(log.inode),
                        static_cast<unsigned long long>(log.size), static_cast<long long>(log.modified), log.name);
  return out + formatString("end\t%zu\n", list.logs.size());
}

// False unless the list is whole, as the program wrote it, and names only
// logs of its own directory.
bool readList(const std::string& path, GatheringList& list) {
  platform::fs::EntryStatus status;
  if (platform::fs::statEntry(path, status) != 0 || !status.isRegular || status.size > kMaxListSize) return false;
  std::vector<std::string> lines;
  try {
    lines = text::split(readFileContents(path), '\n');
  } catch (const vexception&) {
    return false;
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.size() < 2) return false;
  try {
    const std::vector<std::string> copy = text::split(lines.front(), '\t');
    const std::vector<std::string> end = text::split(lines.back(), '\t');
    if (copy.size() != 3 || copy[0] != "copy" || end.size() != 2 || end[0] != "end" ||
        std::stoull(end[1]) != lines.size() - 2)
      return false;
    list.copyInode = std::stoull(copy[1]);
    list.copySize = std::stoull(copy[2]);
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
      const std::vector<std::string> fields = text::split(lines[i], '\t');
      if (fields.size() != 4 || !isLogName(fields[3])) return false;
      list.logs.push_back({std::stoull(fields[0]), std::stoull(fields[1]), std::stoll(fields[2]), fields[3]});
    }
  } catch (const std::exception&) {
    return false;
  }
  return !list.logs.empty();
}

bool isCopy(const std::string& path, const GatheringList& list) {
  platform::fs::EntryStatus status;
  return platform::fs::statEntry(path, status) == 0 && status.isRegular && status.inode == list.copyInode &&
         status.size == list.copySize;
}

// The last step, from a whole list: the logs still as listed go, the copy
// takes the first one's name (or the next free one, when another log took it
// meanwhile) and the list goes.
void finishGathering(const std::string& directory, const std::string& copyPath, const std::string& listPath,
                     const GatheringList& list) {
  const std::string first = VFileName::combine(directory, list.logs.front().name);
  const bool copyThere = isCopy(copyPath, list);
  if (copyThere || isCopy(first, list)) {
    for (const Listed& log : list.logs) {
      const std::string path = VFileName::combine(directory, log.name);
      platform::fs::EntryStatus status;
      if (platform::fs::statEntry(path, status) != 0 || !status.isRegular || status.inode == list.copyInode) continue;
      if (status.inode == log.inode && status.size == log.size && status.modified == log.modified)
        removeFile(path, true, false, 0, 0);
    }
    if (copyThere) renameFile(copyPath, fileExist(first) ? freeNameAfter(first, {}) : first, 1);
    flushDirectoryToDisk(directory);
  } else {
    LogManager::instance().log(Warning,
                               "The gathered copy %s of the log files listed in %s is gone; the log files are kept",
                               copyPath, listPath);
  }
  removeFile(listPath, true, false, 0, 0);
}

// Copies the logs into copyPath, each line ended with a line feed, without a
// byte-order mark; raises when a log changes meanwhile.
GatheringList copyLogs(const std::vector<LogSource>& run, const std::string& copyPath, const std::string& fieldsLine) {
  GatheringList list;
  VFile out;
  out.open(copyPath, file_open::GenericWrite, file_open::ShareRead, file_open::CreateNew, file_open::OpenReparsePoint);
  BufferedFileWriter writer(out);
  bool earlierHadFields = false;
  for (const LogSource& log : run) {
    VFile in;
    in.open(log.path, file_open::GenericRead, file_open::ShareRead, file_open::OpenExisting,
            file_open::OpenReparsePoint | file_open::SequentialScan);
    platform::fs::EntryStatus before;
    if (const uint32_t code = platform::fs::statHandle(in.fd(), before))
      throwOsException("Log file " + log.path, code, Place{"", "gatherLogsOfEachKind", 0});
    if (!before.isRegular || before.links != 1)
      throw vexception(log.path + " is not a log file of its own", Place{"", "gatherLogsOfEachKind", 0});
    BufferedFileReader reader(in);
    bool fieldsPending = !fieldsLine.empty() && earlierHadFields;
    std::string line;
    for (bool firstLine = true; reader.readLine(line); firstLine = false) {
      if (firstLine && text::startsWith(line, kByteOrderMark)) line.erase(0, kByteOrderMark.size());
      if (text::startsWith(line, kFieldsPrefix)) {
        earlierHadFields = true;
        fieldsPending = false;
      } else if (fieldsPending && !line.empty() && line[0] != '#') {
        writer.append(fieldsLine);
        writer.append("\n");
        fieldsPending = false;
      }
      writer.append(line);
      writer.append("\n");
    }
    platform::fs::EntryStatus after, named;
    if (platform::fs::statHandle(in.fd(), after) != 0 || after.size != before.size ||
        after.modified != before.modified || platform::fs::statEntry(log.path, named) != 0 ||
        named.inode != before.inode)
      throw vexception(log.path + " changed while it was copied", Place{"", "gatherLogsOfEachKind", 0});
    list.logs.push_back({before.inode, before.size, before.modified, nameOf(log.path)});
  }
  writer.finish();
  platform::fs::EntryStatus copy;
  if (const uint32_t code = platform::fs::statHandle(out.fd(), copy))
    throwOsException("Gathered copy " + copyPath, code, Place{"", "gatherLogsOfEachKind", 0});
  list.copyInode = copy.inode;
  list.copySize = copy.size;
  return list;
}

// One run of logs into its first; false when it stays as it was.
bool gatherRun(const std::string& directory, const std::vector<LogSource>& run, const std::string& fieldsLine) {
  const std::string copyPath = run.front().path + kGatheringSuffix;
  const std::string listPath = run.front().path + kGatheredSuffix;
  GatheringList list;
  try {
    list = copyLogs(run, copyPath, fieldsLine);
    VFile file;
    file.open(listPath, file_open::GenericWrite, 0, file_open::CreateNew, file_open::OpenReparsePoint);
    const std::string contents = listText(list);
    file.write(contents.data(), contents.size());
    file.flushToDisk();
    file.close();
    // Both names on the disk before the first log goes.
    flushDirectoryToDisk(directory);
  } catch (const vexception& e) {
    LogManager::instance().log(Warning, "The log files %s to %s are processed one by one, not in one pass: %s",
                               run.front().path, run.back().path, e.message());
    if (const uint32_t code = platform::fs::removeFile(copyPath); code != 0 && fileExist(copyPath))
      LogManager::instance().log(Warning, "%s", formatSystemMessage(code, "Delete file " + copyPath));
    return false;
  }
  finishGathering(directory, copyPath, listPath, list);
  LogManager::instance().log(Info, "The log files %s to %s (%zu) are gathered into %s for one pass", run.front().path,
                             run.back().path, run.size(), run.front().path);
  return true;
}

} // namespace

bool isGatheringFile(const std::string& path) {
  return endsWith(path, kGatheringSuffix) || endsWith(path, kGatheredSuffix);
}

void recoverInterruptedGathering(const std::string& directory) {
  for (const LogSource& source : findLogSources(directory)) {
    if (endsWith(source.path, kGatheredSuffix)) {
      const std::string copyPath = without(source.path, kGatheredSuffix) + kGatheringSuffix;
      GatheringList list;
      if (readList(source.path, list) && VFileName::combine(directory, list.logs.front().name) ==
                                             without(source.path, kGatheredSuffix)) {
        LogManager::instance().log(Warning, "The gathering of log files listed in %s was interrupted; it is finished",
                                   source.path);
        finishGathering(directory, copyPath, source.path, list);
      } else {
        // Written before any log went: the logs are all there.
        LogManager::instance().log(Warning, "%s is no whole list of gathered log files; the log files are kept",
                                   source.path);
        removeFile(copyPath, true, false, 0, 0);
        removeFile(source.path, true, false, 0, 0);
      }
    } else if (endsWith(source.path, kGatheringSuffix) &&
               !fileExist(without(source.path, kGatheringSuffix) + kGatheredSuffix)) {
      LogManager::instance().log(Warning, "The unfinished copy %s of gathered log files is removed; the log files "
                                 "are kept", source.path);
      removeFile(source.path, true, false, 0, 0);
    }
  }
}

std::vector<LogSource> gatherLogsOfEachKind(const std::string& directory, const std::vector<LogSource>& logs,
                                            const std::function<bool(const LogSource&)>& mayGather,
                                            const std::string& fieldsLine) {
  const std::set<std::string> refused = logsRefusedBefore(directory);
  std::vector<LogSource> left;
  std::vector<LogSource> run;
  const auto endRun = [&] {
    if (run.size() >= 2 && gatherRun(directory, run, fieldsLine))
      left.push_back(run.front());
    else
      left.insert(left.end(), run.begin(), run.end());
    run.clear();
  };
  for (const LogSource& log : logs) {
    if (!run.empty() && run.front().kind != log.kind) endRun();
    if (refused.count(log.path) == 0 && isRegularLogFile(log) && mayGather(log)) {
      run.push_back(log);
    } else {
      endRun();
      left.push_back(log);
    }
  }
  endRun();
  return left;
}
