// The records of a chunk are never left only in a temporary file: the
// unsorted records stay in the .sort1 file until the prepared copy is
// complete, and go back to the chunk's path when the sort or the copy fails.
#include "webalizer/log_preparation.h"

#include "support/command_line.h"
#include "support/errors.h"
#include "support/file_ops.h"
#include "support/format.h"
#include "support/guard.h"
#include "support/logging.h"
#include "support/process.h"
#include "platform/fs.h"

namespace {
constexpr const char* kFunction = "LogForWebalizer::processLogFile";

// Deletes a file; a missing one is no failure. Answers 0 or the Windows code.
uint32_t deleteQuietly(const std::string& path) {
  try {
    removeFile(path, false, false, 0, 0);
    return 0;
  } catch (const vosexception& e) {
    return e.errorCode() ? e.errorCode() : 1;
  } catch (...) {
    return 1;
  }
}

// Puts the unsorted records back at the chunk's path, dropping the partial
// copy only when this run made it. When the path is taken the records stay in
// the .sort1 file, where the next run finds them.
void restoreUnsorted(const std::string& chunk, bool dropPartialCopy) {
  deleteQuietly(sortOutputPath(chunk));
  if (dropPartialCopy) deleteQuietly(chunk);
  if (const uint32_t code = platform::fs::renameEntry(sortInputPath(chunk), chunk, false))
    LogManager::instance().log(Warning, "%s", formatSystemMessage(code, "The unsorted records of " + chunk +
                                                                            " stay in " + sortInputPath(chunk)));
}
} // namespace

void removeTimestampField(const LogSource& source, const std::string& sortedPath) {
  VFile out;
  out.open(source.path, file_open::GenericWrite, file_open::ShareRead, file_open::CreateNew, 0);
  VFile in;
  in.open(sortedPath, file_open::GenericRead, file_open::ShareRead, file_open::OpenExisting, 0);
  BufferedFileReader reader(in);
  BufferedFileWriter writer(out);
  std::string line;
  // The reader tells the end of the file from an empty line, so every line is
  // copied.
  while (reader.readLine(line)) {
    if (line.size() > kSortKeyLength) writer.append(std::string_view(line).substr(kSortKeyLength));
    // A line feed alone: Webalizer here takes a carriage return for part of
    // the last field, and every user agent would end in '"\r'.
    writer.append("\n");
  }
  writer.finish();
}

TempFileHolder::~TempFileHolder() {
  if (path_.empty()) return;
  if (const uint32_t code = deleteQuietly(path_))
    LogManager::instance().log(Info, "%s", formatSystemMessage(code, "Delete file " + path_));
}

void prepareLogForWebalizer(const LogSource& source) {
  const std::string& chunk = source.path;
  const std::string sort1 = sortInputPath(chunk);
  const std::string sort2 = sortOutputPath(chunk);
  renameFile(chunk, sort1, 1);

  auto sorted = guardCapture(Place{"Sort webalizer log file", kFunction, 99}, [&] {
    const SortCommand command = makeSortCommand(sort1, sort2);
    std::string output;
    const uint64_t size = sortInputSize(command);
    execExtUtilChecked(command.program, command.arguments, output, &command.environment, command.input,
                       command.output);
    expectCompleteSortOutput(command, size);
  });
  if (sorted) {
    restoreUnsorted(chunk, false);
    throw *sorted;
  }

  const bool chunkTaken = fileExist(chunk);
  TempFileHolder sortedHolder(sort2);
  auto copied = guardCapture(Place{formatString("removeTimestampField(%s)", sort2), kFunction, 106}, [&] {
    removeTimestampField(source, sort2);
    // The marker says the chunk must not be cut again; it is written before
    // the unsorted records go.
    VFile marker;
    marker.open(preparedMarkerPath(chunk), file_open::GenericWrite, 0, file_open::CreateAlways, 0);
    // The new chunk's name and its marker are on the disk before the
    // unsorted records go.
    flushDirectoryToDisk(directoryOf(chunk));
  });
  if (copied) {
    sortedHolder.release();
    restoreUnsorted(chunk, !chunkTaken);
    throw *copied;
  }
  TempFileHolder unsortedHolder(sort1);
}
