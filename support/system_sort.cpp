#include "support/system_sort.h"

#include <unordered_map>

#include "platform/fs.h"
#include "platform/text.h"
#include "support/errors.h"
#include "support/file_ops.h"
#include "support/format.h"
#include "support/logging.h"
#include "support/process.h"

namespace {
constexpr int kSystemFolder = 0x25;
} // namespace

SortCommand makeSortCommand(const std::string& input, const std::string& output) {
  SortCommand command;
  command.program = VFileName::combine(getWellKnownPath(kSystemFolder, false), "sort");
  command.input = input;
  command.output = output;
  command.environment = environmentWith("LC_ALL", "C");
  return command;
}

namespace {
uint64_t sizeOf(const std::string& path) {
  platform::fs::EntryStatus status;
  if (const uint32_t code = platform::fs::statEntry(path, status))
    throwOsException("Size of " + path, code, Place{"", "expectCompleteSortOutput", 0});
  return status.size;
}
} // namespace

// The sort's standard input begins after a byte-order mark (see
// vexecutil::stdinFile).
static bool beginsWithByteOrderMark(const std::string& path) {
  VFile file;
  file.open(path, file_open::GenericRead, file_open::ShareRead, file_open::OpenExisting, 0);
  char start[3];
  return file.read(start, sizeof start) == 3 && std::string(start, 3) == "\xEF\xBB\xBF";
}

uint64_t sortInputSize(const SortCommand& command) {
  const uint64_t size = sizeOf(command.input);
  return size >= 3 && beginsWithByteOrderMark(command.input) ? size - 3 : size;
}

void expectCompleteSortOutput(const SortCommand& command, uint64_t inputSize) {
  const uint64_t outputSize = sizeOf(command.output);
  if (outputSize == inputSize || outputSize == inputSize + 1) return;
  throw vexception(formatString("The sort wrote %llu bytes of the %llu in %s; the sorted copy %s is incomplete",
                                static_cast<unsigned long long>(outputSize),
                                static_cast<unsigned long long>(inputSize), command.input, command.output),
                   Place{"", "expectCompleteSortOutput", 0});
}

namespace {
// True when the file's last byte is a line feed (or it is empty).
bool endsWithLineFeed(const std::string& path, uint64_t size) {
  if (size == 0) return true;
  VFile file;
  file.open(path, file_open::GenericRead, file_open::ShareRead, file_open::OpenExisting, 0);
  file.seek(static_cast<int64_t>(size) - 1, VFile::Begin);
  char last = 0;
  return file.read(&last, 1) == 1 && last == '\n';
}
} // namespace

bool isMadeOfLinesOf(const std::string& part, const std::string& whole, size_t cut) {
  platform::fs::EntryStatus partStatus, wholeStatus;
  if (const uint32_t code = platform::fs::statEntry(part, partStatus))
    throwOsException("Size of " + part, code, Place{"", "isMadeOfLinesOf", 0});
  if (cut == 0 && platform::fs::statEntry(whole, wholeStatus) == 0 &&
      partStatus.size > wholeStatus.size + 1)  // sort may end the last line
    return false;
  std::unordered_map<size_t, int64_t> missing;  // hash of a line -> how often it is still to be found
  size_t left = 0;
  std::string line, unended;
  bool hasUnended = false;
  {
    const bool ended = endsWithLineFeed(part, partStatus.size);
    VFile file;
    file.open(part, file_open::GenericRead, file_open::ShareRead, file_open::OpenExisting, file_open::SequentialScan);
    BufferedFileReader reader(file);
    std::string previous;
    bool hasPrevious = false;
    for (; reader.readLine(line);) {
      if (hasPrevious) {
        ++missing[std::hash<std::string>{}(previous)];
        ++left;
      }
      previous.swap(line);
      hasPrevious = true;
    }
    if (hasPrevious && ended) {
      ++missing[std::hash<std::string>{}(previous)];
      ++left;
    } else if (hasPrevious) {
      unended = std::move(previous);
      hasUnended = true;
    }
  }
  VFile file;
  file.open(whole, file_open::GenericRead, file_open::ShareRead, file_open::OpenExisting, file_open::SequentialScan);
  BufferedFileReader reader(file);
  for (bool first = true; (left > 0 || hasUnended) && reader.readLine(line); first = false) {
    if (first && text::startsWith(line, "\xEF\xBB\xBF")) line.erase(0, 3);  // the sort never saw it
    if (cut > 0) line.erase(0, std::min(cut, line.size()));
    if (hasUnended && text::startsWith(line, unended)) {
      hasUnended = false;
      continue;
    }
    const auto found = missing.find(std::hash<std::string>{}(line));
    if (found == missing.end() || found->second == 0) continue;
    --found->second;
    --left;
  }
  return left == 0 && !hasUnended;
}

std::string freeNameAfter(const std::string& path, const std::vector<std::string>& companionSuffixes) {
  for (int n = 1;; ++n) {
    const std::string name = path + "." + std::to_string(n);
    bool taken = fileExist(name);
    for (const std::string& suffix : companionSuffixes) taken = taken || fileExist(name + suffix);
    if (!taken) return name;
  }
}

std::string moveNewerLogAside(const std::string& logPath, const std::string& records, size_t cut,
                              const std::vector<std::string>& companionSuffixes) {
  if (!fileExist(logPath) || isMadeOfLinesOf(logPath, records, cut)) return {};
  const std::string aside = freeNameAfter(logPath, companionSuffixes);
  renameFile(logPath, aside, 1);
  LogManager::instance().log(Warning,
                             "Log file %s is newer than the records an interrupted run left in %s; it is processed "
                             "as %s",
                             logPath, records, aside);
  return aside;
}
