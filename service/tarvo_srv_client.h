// The client of the control panel's management service: the installation
// settings and package directories are asked of it over its pipe.
#pragma once

#include <cstdint>
#include <string>

#include "service/pipe_channel.h"

class TarvoSrvClient : public vpipechannel::client {
 public:
  // The one client of the process, created (and connected) on the first call.
  static TarvoSrvClient& getInstance();

  // Connects at once. The program uses getInstance; a test may hold its own.
  TarvoSrvClient();

  // The value of an installation setting ("HTTPD_VHOSTS_D", ...). The
  // service's error text becomes the message of the vexception raised.
  std::string getString(const std::string& name);
  // mode 2: the package's installation directory, "" when it has none.
  std::string componentInfo(const std::string& packageName, uint32_t mode);
};
