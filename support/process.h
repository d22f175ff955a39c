// Starting external programs. The command line is composed as on Windows
// ("\"application\" arguments", or the arguments alone) and split into the
// child's argv by the Windows rules (splitProgramCommandLine), so quoting and
// password masking behave as they do there. Children always run in this
// program's own security context.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One child process; owns the parent's ends of its pipes. Configured, started
// once, optionally read and waited for, released. Releasing it never ends
// the child.
class vexecutil {
 public:
  static constexpr uint32_t kInfinite = 0xFFFFFFFFu;
  // The exit code of a child that is still running, as Windows answers it.
  static constexpr uint32_t kStillActive = 259;

  vexecutil() = default;
  ~vexecutil();
  vexecutil(const vexecutil&) = delete;
  vexecutil& operator=(const vexecutil&) = delete;

  std::string arguments;    // the argument part of the command line
  std::string application;  // the program path; empty: the arguments are the whole command line
  // "NAME=value" entries; none: the child inherits this program's environment.
  std::optional<std::vector<std::string>> environment;
  bool noWindow = false;    // no console window: every child is started so on Linux
  bool suspended = false;   // stopped until resume
  bool stdoutToPipe = false;
  bool stdinFromPipe = false;
  bool stderrToPipe = false;
  bool stderrToStdout = false;   // standard error goes wherever standard output goes
  bool forceStdHandles = false;  // kept for the callers; streams are always explicit here
  std::string workingDirectory;  // empty: this program's
  std::string stdinFile;         // an existing file the child reads as standard input, past a byte-order mark
  std::string stdoutFile;        // created anew; the child writes its standard output there
  bool useOwnDesktop = false;    // desktops have no counterpart; kept for the callers
  std::string desktopName;

  // "\"application\" arguments", or the arguments alone.
  std::string commandLine() const;
  // Starts the child. Failure raises the system error with
  // "CreateProcess '<command line>'" (vexecutil::start line 186).
  void start();
  // True when the child has ended, false when the time ran out. Failure
  // raises "Lock object" (vexecutil::waitForExit line 210).
  bool waitForExit(uint32_t timeoutMilliseconds = kInfinite);
  // The exit code; kStillActive while the child runs; 128 + the signal number
  // when a signal ended it; the code given to terminate when that ended it.
  // Failure raises "GetExitCodeProcess" (vexecutil::exitCode line 225).
  uint32_t exitCode();
  // Ends the child at once.
  void terminate(uint32_t exitCode = 1);
  // Lets a child started suspended go on.
  void resume();

  // The captured standard output (standard error) read to its end, 8-bit text.
  std::string readOutput();
  std::string readError();
  // Writes to the child's standard-input pipe; closeInput lets it see the end.
  void writeInput(const std::string& bytes);
  void closeInput();

  int processId() const { return pid_; }

 private:
  void reaped(int status, int signal, bool killed);

  int pid_ = -1;
  int stdinPipe_ = -1;  // the parent's ends
  int stdoutPipe_ = -1;
  int stderrPipe_ = -1;
  bool ended_ = false;
  uint32_t exitCode_ = 0;
  std::optional<uint32_t> terminatedWith_;
};

// Runs the program and returns its output (standard error merged into it),
// converted from the system code page; when the output goes to stdoutFile,
// what the program wrote to its standard error. With exitCode given, waits for the program and stores its exit
// code; without, the child is not waited for. With throwOnError clear, a
// failure gives "" and leaves exitCode untouched. environment: see vexecutil.
// Logs "Execute %s %s" and "Execute %s %s result: %s" (Info) with the
// arguments masked by maskPasswords, and records start and end in the
// utility-execution log.
std::string execExtUtil(const std::string& application, const std::string& arguments, bool throwOnError,
                        uint32_t* exitCode, const std::string& stdinFile = {}, const std::string& stdoutFile = {},
                        const std::vector<std::string>* environment = nullptr);
// execExtUtil that waits and raises "Execute <app> <masked args> failed[<code>]: <output>"
// (execExtUtilChecked line 138) when the exit code is not 0.
void execExtUtilChecked(const std::string& application, const std::string& arguments, std::string& output,
                        const std::vector<std::string>* environment = nullptr, const std::string& stdinFile = {},
                        const std::string& stdoutFile = {});

// This program's environment with one variable set (added or replaced), for
// a child that needs it, e.g. LC_ALL=C for a bytewise sort.
std::vector<std::string> environmentWith(const std::string& name, const std::string& value);
