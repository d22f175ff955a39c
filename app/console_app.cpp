#include "app/console_app.h"

#include <vector>

#include "platform/self_cmdline.h"
#include "support/command_line.h"
#include "support/errors.h"
#include "support/format.h"
#include "support/guard.h"
#include "support/logging.h"

namespace {

// The process's command line as logs show it: every argument as the system
// holds it, quoted by the command-line rule, with password values masked.
std::string shownCommandLine(int argc, char** argv) {
  std::vector<std::string> arguments = platform::ownCommandLine();
  if (arguments.empty())
    for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i]);
  return maskPasswords(joinCommandLine(arguments));
}

} // namespace

int vconsoleapp::go(int, char**) { throw vexception("Invalid command " + command_, Place{"", "vconsoleapp::go", 68}); }

void vconsoleapp::usage() { throw vexception("Missing command parameter", Place{"", "vconsoleapp::usage", 98}); }

void vconsoleapp::cmdNotSupported(const std::string& possibleCommands) {
  throw vexception("command " + command_ + " not supported. Possible commands:\n" + possibleCommands,
                   Place{"", "vconsoleapp::cmdNotSupported", 56});
}

int vconsoleapp::start(int argc, char** argv) {
  int count = argc - 2;
  char** arguments = argv + 2;
  if (argc - 1 > 0) {
    command_ = argv[1];
  } else if (command_.empty()) {
    usage();
    return 1;
  } else {
    // The default command with no parameters (count is -1 here).
    arguments = argv + 1;
  }
  const Place place{formatString("execute console command %s", maskPasswords(command_)), "vconsoleapp::start", 93};
  return guardRethrow(place, [&] { return go(count, arguments); });
}

int vconsoleapp::run(int argc, char** argv) {
  std::string shown;
  try {
    shown = shownCommandLine(argc, argv);
  } catch (...) {
    // Only an allocation can fail here; the run goes on with what it has.
  }
  LogManager& log = LogManager::instance();
  log.log(Info, "start %s", shown);
  int result = 1;
  const Place place{formatString("execute %s", shown), "vconsoleapp::run", 110};
  if (auto failure = guardCapture(place, [&] { result = start(argc, argv); })) {
    result = 1;
    log.logException(Error, *failure);
  }
  log.log(Info, "end %s with code %d", shown, result);
  return result;
}
