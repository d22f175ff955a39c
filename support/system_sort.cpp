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

void expectCompleteSortOutput(const SortCommand& command) {
  const Place place{"", "expectCompleteSortOutput", 0};
  platform::fs::EntryStatus input;
  platform::fs::EntryStatus output;
  if (const uint32_t code = platform::fs::statEntry(command.input, input))
    throwOsException("Size of " + command.input, code, place);
  if (const uint32_t code = platform::fs::statEntry(command.output, output))
    throwOsException("Size of " + command.output, code, place);
  if (output.size == input.size || output.size == input.size + 1) return;
  throw vexception(formatString("The sort wrote %llu bytes of the %llu in %s; the sorted copy %s is incomplete",
                                static_cast<unsigned long long>(output.size),
                                static_cast<unsigned long long>(input.size), command.input, command.output),
                   place);
}
