// The console-application frame: takes the command from the first argument,
// hands the rest to the application's dispatch, and guarantees a start and an
// end line in the log, every error caught and logged, and an exit code of 0
// (the command completed) or 1 (anything else).
#pragma once

#include <string>

class vconsoleapp {
 public:
  vconsoleapp() = default;
  virtual ~vconsoleapp() = default;
  vconsoleapp(const vconsoleapp&) = delete;
  vconsoleapp& operator=(const vconsoleapp&) = delete;

  // Runs the command held in command() with the parameter arguments.
  virtual int go(int count, char** arguments);
  // Picks the command (argv[1] when given) and calls go.
  virtual int start(int argc, char** argv);
  // Reaction to a run without any command.
  virtual void usage();

  // The outermost layer: logs "start ..." and "end ... with code N" around
  // start and logs whatever escapes it.
  int run(int argc, char** argv);
  // Raises "command X not supported. Possible commands:\n" + list.
  [[noreturn]] void cmdNotSupported(const std::string& possibleCommands);

  const std::string& command() const { return command_; }

 protected:
  std::string command_;
};
