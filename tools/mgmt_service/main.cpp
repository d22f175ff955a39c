// tarvo-mgmt-service: the stand-in for the control panel's management
// service. It answers the program's two requests (getString, componentInfo)
// from a settings file, on the pipe's socket.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

#include "config/registry.h"
#include "platform/local_socket.h"
#include "support/logging.h"
#include "tools/mgmt_service/process_control.h"
#include "tools/mgmt_service/server.h"
#include "tools/mgmt_service/service_log.h"
#include "tools/mgmt_service/settings_file.h"

namespace {

const char kUsage[] =
    "usage: tarvo-mgmt-service [--settings=]FILE [--socket=PATH | --pipe-name=NAME]\n"
    "                          [--log=FILE] [--daemon] [--pid-file=FILE] [--frame-timeout=MS]\n"
    "\n"
    "Answers the management-service requests of web_statistics_executor (getString\n"
    "and componentInfo) from a settings file, on a SOCK_SEQPACKET Unix socket.\n"
    "\n"
    "  --settings=FILE     NAME=value lines, for example\n"
    "                        HTTPD_VHOSTS_D=/var/www/vhosts\n"
    "                        PRODUCT_ROOT_D=/opt/tarvo\n"
    "                        WebalizerPath=/usr/bin/webalizer\n"
    "                        AWStatsPath=/opt/tarvo/awstats\n"
    "                        component.awstats=/usr/share/awstats\n"
    "                      '#' starts a comment line; names compare case-insensitively.\n"
    "                      The file is read again whenever it changed and on SIGHUP.\n"
    "  --socket=PATH       the socket to listen on; default $TARVO_PIPE_DIR/NAME\n"
    "                      ($TARVO_PIPE_DIR defaults to /run/tarvo)\n"
    "  --pipe-name=NAME    the pipe name; default the registry value \"zulpipe\" under\n"
    "                      HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvo\\ZUL Config\\Config, else zulpipe\n"
    "  --log=FILE          append the service's log to FILE (default: standard error;\n"
    "                      with --daemon and no --log nothing is logged)\n"
    "  --daemon            run in the background; the command returns once the socket\n"
    "                      accepts connections (exit 0) or the start failed (exit 1)\n"
    "  --pid-file=FILE     write the service's process id to FILE\n"
    "  --frame-timeout=MS  how long a request's body may lag behind its length\n"
    "                      before the client is answered with an error and dropped\n"
    "                      (default 10000)\n"
    "  --help              this text\n"
    "\n"
    "SIGTERM or SIGINT stop the service and remove its socket; SIGHUP reads the\n"
    "settings file again and reopens the log file. Unknown settings, unknown\n"
    "requests and malformed frames are answered with the error marker and a text.\n"
    "Exit codes: 0 stopped cleanly, 1 start failed, 2 bad command line.\n";

struct Options {
  std::string settings;
  std::string socket;
  std::string pipeName;
  std::string log;
  std::string pidFile;
  bool daemon = false;
  int frameTimeoutMs = 10000;
};

bool option(const std::string& arg, const char* name, int argc, char** argv, int& i, std::string& value) {
  const std::string flag = std::string("--") + name;
  if (arg.compare(0, flag.size() + 1, flag + "=") == 0) {
    value = arg.substr(flag.size() + 1);
    return true;
  }
  if (arg == flag && i + 1 < argc) {
    value = argv[++i];
    return true;
  }
  return false;
}

int usageError(const std::string& text) {
  std::fprintf(stderr, "tarvo-mgmt-service: %s\n(see --help)\n", text.c_str());
  return 2;
}

std::string absolute(const std::string& path) {
  return path.empty() || path == "-" ? path : std::filesystem::absolute(path).lexically_normal().string();
}

std::string defaultPipeName() {
  std::string name = "zulpipe";
  try {
    registry::lookup(registry::HKEY_LOCAL_MACHINE, kConfigKey, "zulpipe", name, registry::REG_SZ, registry::View32);
  } catch (const vexception& e) {
    std::fprintf(stderr, "tarvo-mgmt-service: %s; using the pipe name zulpipe\n", e.message().c_str());
  }
  return name;
}

} // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string value;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--daemon") {
      o.daemon = true;
    } else if (option(arg, "settings", argc, argv, i, o.settings) || option(arg, "socket", argc, argv, i, o.socket) ||
               option(arg, "pipe-name", argc, argv, i, o.pipeName) || option(arg, "log", argc, argv, i, o.log) ||
               option(arg, "pid-file", argc, argv, i, o.pidFile)) {
    } else if (option(arg, "frame-timeout", argc, argv, i, value)) {
      try {
        size_t used = 0;
        o.frameTimeoutMs = std::stoi(value, &used);
        if (used != value.size() || o.frameTimeoutMs < 1) throw std::invalid_argument(value);
      } catch (const std::exception&) {
        return usageError("--frame-timeout needs a number of milliseconds of at least 1, not '" + value + "'");
      }
    } else if (!arg.empty() && arg[0] != '-' && o.settings.empty()) {
      o.settings = arg;  // the settings file may also stand alone
    } else {
      return usageError("unknown argument '" + arg + "'");
    }
  }
  if (o.settings.empty()) return usageError("--settings=FILE is required");
  if (!o.socket.empty() && !o.pipeName.empty()) return usageError("give either --socket or --pipe-name, not both");

  mgmt::ServerOptions server;
  server.frameTimeoutMs = o.frameTimeoutMs;
  server.socketPath = !o.socket.empty() ? absolute(o.socket)
                                        : platform::localsock::pipePath(o.pipeName.empty() ? defaultPipeName() : o.pipeName);
  mgmt::SettingsFile settings(absolute(o.settings));
  if (!settings.refresh(true)) {
    std::fprintf(stderr, "tarvo-mgmt-service: %s\n", settings.error().c_str());
    return 1;
  }
  if (o.daemon && o.log.empty()) o.log = "-";
  mgmt::ServiceLog log(absolute(o.log));
  std::string error;
  if (!log.open(error)) {
    std::fprintf(stderr, "tarvo-mgmt-service: %s\n", error.c_str());
    return 1;
  }
  const std::string pidFile = absolute(o.pidFile);

  if (o.daemon) mgmt::becomeDaemon();
  mgmt::SignalInbox signals;
  bool pidWritten = false;
  const int code = mgmt::runServer(server, settings, log, signals, [&] {
    if (!pidFile.empty()) {
      std::string pidError;
      if (mgmt::writePidFile(pidFile, pidError)) {
        pidWritten = true;
      } else {
        log.write(pidError);
      }
    }
    mgmt::daemonReady();
  });
  if (pidWritten) {
    std::error_code ignored;
    std::filesystem::remove(pidFile, ignored);
  }
  log.write(code == 0 ? "stopped" : "failed");
  return code;
}
