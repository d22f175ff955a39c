#include "support/system_sort.h"

#include "platform/fs.h"
#include "support/errors.h"
#include "support/file_ops.h"
#include "support/format.h"
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

uint64_t sortInputSize(const SortCommand& command) { return sizeOf(command.input); }

void expectCompleteSortOutput(const SortCommand& command, uint64_t inputSize) {
  const uint64_t outputSize = sizeOf(command.output);
  if (outputSize == inputSize || outputSize == inputSize + 1) return;
  throw vexception(formatString("The sort wrote %llu bytes of the %llu in %s; the sorted copy %s is incomplete",
                                static_cast<unsigned long long>(outputSize),
                                static_cast<unsigned long long>(inputSize), command.input, command.output),
                   Place{"", "expectCompleteSortOutput", 0});
}
