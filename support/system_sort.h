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
// The size of the sort's input, taken before the sort runs, without the
// byte-order mark the sort does not read.
uint64_t sortInputSize(const SortCommand& command);
// Raises unless the output holds every byte of the input (inputSize, taken
// before the sort, so that a file put in the input's place meanwhile does
// not count): a sort that ends with 0 but wrote less (killed, a full disk, a
// broken program) must not pass for a sorted log. One line end may have
// been added at the end.
void expectCompleteSortOutput(const SortCommand& command, uint64_t inputSize);

// What a sort that was killed leaves: its input holds every record of the
// log, and at the log's path stands either the sort's unfinished output or a
// newer log that arrived meanwhile. Recoveries tell the two apart with these,
// so that none ever removes or overwrites a file that holds records.
//
// True when every line of part is a line of whole, as often as there, once
// the first cut bytes of each line of whole are dropped (a line of cut bytes
// or fewer is an empty one): what the sort, or a copy of its output, wrote
// from whole. An unended last line of part may be the start of a line. A
// log with a line of its own is not made of whole's lines.
bool isMadeOfLinesOf(const std::string& part, const std::string& whole, size_t cut = 0);
// "<path>.1", "<path>.2", ...: the first name that neither a file nor any of
// its companions (name + suffix) uses. It sorts right after path, with the
// same kind of log.
std::string freeNameAfter(const std::string& path, const std::vector<std::string>& companionSuffixes);
// Unless what stands at logPath is made of the lines of records (see
// isMadeOfLinesOf), it is a newer log: it moves to freeNameAfter(logPath),
// with a Warning, and that name is returned; else "". Nothing at logPath: "".
std::string moveNewerLogAside(const std::string& logPath, const std::string& records, size_t cut,
                              const std::vector<std::string>& companionSuffixes);
