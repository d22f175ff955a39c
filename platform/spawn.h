// Child processes: started from an argv with posix_spawn, with pipes or files
// as their standard streams, waited for and ended. Every call answers 0 or
// the Windows code of its failure. Every descriptor made here is
// close-on-exec, so a child only ever gets the three streams it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::spawn {

struct Request {
  // The program file; a name without "/" is looked for in PATH.
  std::string program;
  // The child's argv; argv[0] is the name the child sees.
  std::vector<std::string> argv;
  // "NAME=value" entries; null: the child inherits this program's environment.
  const std::vector<std::string>* environment = nullptr;
  // Empty: this program's working directory.
  std::string workingDirectory;
  // Descriptors that become the child's 0, 1 and 2; -1: this program's own.
  int stdinFd = -1;
  int stdoutFd = -1;
  int stderrFd = -1;
  // The child stops before the program begins; resume lets it go on.
  bool suspended = false;
};

// Starts the child. A program that cannot be run (missing, not executable)
// fails here with its code, never as a child that ends at once.
uint32_t start(const Request& request, int& pid);

// A pipe; both ends close-on-exec.
uint32_t createPipe(int& readEnd, int& writeEnd);
// An existing file, for reading, from after the UTF-8 byte-order mark it may
// begin with: the children read logs, whose first record must not carry it.
uint32_t openInputFile(const std::string& path, int& fd);
inline constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
// A file created anew for writing (an existing one is emptied).
uint32_t createOutputFile(const std::string& path, int& fd);
void closeFd(int fd) noexcept;
// Writes every byte; a pipe whose reading end is closed gives 109.
uint32_t writeFd(int fd, const void* buffer, size_t count);

struct Ending {
  bool exited = false;  // false: still running when the time was up
  int status = 0;       // the exit status, when no signal ended it
  int signal = 0;       // the number of the signal that ended it, or 0
  bool killed = false;  // that signal was SIGKILL, as kill sends it
};
constexpr int kWaitInfinite = -1;
// Waits until the child ends or the time is up (negative: no limit; 0: only
// looks). The child is reaped by the answer that reports its end.
uint32_t wait(int pid, int timeoutMilliseconds, Ending& ending);
// Ends the child at once (SIGKILL).
uint32_t kill(int pid);
// Lets a stopped child go on (SIGCONT).
uint32_t resume(int pid);

// A copy of this process that goes its own way (fork): pid is 0 in the copy.
// The copy is killed when its parent ends, so a run that is killed takes its
// workers with it.
uint32_t forkCopy(int& pid);
// Ends a copy at once with the code; no exit handler of the parent's runs twice.
[[noreturn]] void exitCopy(int code) noexcept;

// Waits until one of the descriptors can be read or has been closed by its
// writer (timeout as for wait); ready gets their indexes.
uint32_t waitReadable(const std::vector<int>& fds, int timeoutMilliseconds, std::vector<size_t>& ready);

// This program's environment, "NAME=value" entries.
std::vector<std::string> currentEnvironment();

} // namespace platform::spawn
