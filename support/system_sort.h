// The system sort, as both engines run it over a log file.
#pragma once

#include <string>
#include <vector>

// The system sort (coreutils) run over one file. The argument string keeps
// the shape both engines' runs compose: the quoted input path,
// " -o ", the quoted output path. environment is this program's environment
// with LC_ALL=C: the engines need the records in bytewise order, whatever
// locale the operator's shell has; pass it to execExtUtil(Checked).
struct SortCommand {
  std::string program;    // <system directory>/sort
  std::string arguments;  // "<input> -o <output>", both quoted by quoteCommandArgument
  std::vector<std::string> environment;
};
SortCommand makeSortCommand(const std::string& input, const std::string& output);
