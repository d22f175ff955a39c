#include "support/system_sort.h"

#include "support/command_line.h"
#include "support/file_ops.h"
#include "support/process.h"

namespace {
constexpr int kSystemFolder = 0x25;
} // namespace

SortCommand makeSortCommand(const std::string& input, const std::string& output) {
  SortCommand command;
  command.program = VFileName::combine(getWellKnownPath(kSystemFolder, false), "sort");
  command.arguments = quoteCommandArgument(input) + " -o " + quoteCommandArgument(output);
  command.environment = environmentWith("LC_ALL", "C");
  return command;
}
