// The application: the two commands and the run driver that both end in.
#pragma once

#include <string>
#include <vector>

#include "app/console_app.h"
#include "config/xml_document.h"

class WebStatisticsExecutor : public vconsoleapp {
 public:
  // Sets the XML library up and makes "--calculate-all" the default command.
  WebStatisticsExecutor();
  ~WebStatisticsExecutor() override;

  // "--calculate-all" (parameters ignored) or "--calculate-domain" with
  // "--webspace-name" and "--domain-name"; 0 when the command completed.
  int go(int count, char** arguments) override;

  // Processes every configuration file found (of one webspace when the
  // webspace name is given; of one domain when the domain name is given).
  // One failing configuration does not stop the others; the failures are
  // raised together at the end, one per line, in processing order.
  void calculate(const std::string& webspaceName, const std::string& domainName);

  // The configuration files of all webspaces, and of one webspace. A
  // webspace whose log directory cannot be searched is left out, its
  // failure kept for the end of the run; a virtual-hosts directory that is
  // empty or missing raises.
  std::vector<std::string> getConfigsList();
  std::vector<std::string> getConfigsList(const std::string& webspaceName);

 private:
  // The number of configurations processed at once (registry value
  // "StatisticsJobs"; absent or 0: the processors the program may use).
  static unsigned statisticsJobs();
  // The distinct client addresses of the Webalizer configurations among
  // paths (of the one domain when a name is given).
  static std::vector<std::string> webalizerAddresses(const std::vector<std::string>& paths, const std::string& vhosts,
                                                     const std::string& domainName, unsigned jobs);
  // The virtual-hosts directory; raises when it is empty or missing.
  std::string existingVhostsDir();

  XmlLibraryScope xmlLibrary_;
  std::vector<std::string> searchFailures_;  // full messages, in search order
};
