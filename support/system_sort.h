// The system sort, as both engines run it over a log file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The system sort (coreutils) run over one file. The sort reads the input
// as its standard input and writes the output as its standard output, both
// opened by this program: a customer who puts a link or a FIFO in their
// place while the sort runs cannot make it read or write anything else.
// environment is this program's environment with LC_ALL=C: the engines need
// the records in bytewise order, whatever locale the operator's shell has;
// pass all of it to execExtUtil(Checked).
struct SortCommand {
  std::string program;    // <system directory>/sort
  std::string arguments;  // "" : standard input to standard output
  std::string input;      // the file the sort reads
  std::string output;     // the file the sort writes, created anew
  std::vector<std::string> environment;
};
SortCommand makeSortCommand(const std::string& input, const std::string& output);
// The size of the sort's input, taken before the sort runs.
uint64_t sortInputSize(const SortCommand& command);
// Raises unless the output holds every byte of the input (inputSize, taken
// before the sort, so that a file put in the input's place meanwhile does
// not count): a sort that ends with 0 but wrote less (killed, a full disk, a
// broken program) must not pass for a sorted log. One line end may have
// been added at the end.
void expectCompleteSortOutput(const SortCommand& command, uint64_t inputSize);
