// The stand-in service's loop: one thread polls the listening socket and
// every connection. Each connection is answered in order, one request at a
// time; a client that sends garbage gets error answers, and one that stops
// halfway through a request is answered with an error and disconnected
// after the frame time-out.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "tools/mgmt_service/process_control.h"
#include "tools/mgmt_service/service_log.h"
#include "tools/mgmt_service/settings_file.h"

namespace mgmt {

struct ServerOptions {
  std::string socketPath;
  int frameTimeoutMs = 10000;   // from a request's length to its body
  size_t maxBodyBytes = 65536;  // larger requests are malformed
  int backlog = 128;
};

// Listens and serves until a stop signal; onListening runs once the socket
// accepts connections. Returns the process exit code.
int runServer(const ServerOptions& options, SettingsFile& settings, ServiceLog& log, SignalInbox& signals,
              const std::function<void()>& onListening);

} // namespace mgmt
