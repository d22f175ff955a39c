// A temporary installation laid out as a scheduler's run finds it: under
// root() registry.reg ($TARVO_REGISTRY), product/ (the product root, its
// admin/logs the daily logs), vhosts/, pipes/ ($TARVO_PIPE_DIR), locks/
// ($TARVO_LOCK_DIR) and the settings of the real tarvo-mgmt-service, which
// answers on pipes/zulpipe until the object ends. The environment is set for
// the test process and restored at the end. A changed setting is written
// atomically and the service told (SIGHUP), so the next request sees it.
// The program caches the product root once per process; its service client
// outlives an installation and reconnects to the next one's socket.
#pragma once

#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "tests/common/test_env.h"

namespace testenv {

class TestInstallation {
 public:
  struct Options {
    bool startService = true;
    std::vector<std::string> serviceArguments;  // added to the service's command line
  };

  TestInstallation();
  explicit TestInstallation(const Options& options);
  ~TestInstallation();
  TestInstallation(const TestInstallation&) = delete;
  TestInstallation& operator=(const TestInstallation&) = delete;

  static constexpr const char* kConfigKey = "SOFTWARE\\Tarvo\\ZUL Config\\Config";

  const std::string& root() const { return root_; }
  std::string productRoot() const { return root_ + "/product"; }
  std::string vhostsDir() const { return root_ + "/vhosts"; }
  std::string logsDir() const { return productRoot() + "/admin/logs"; }
  std::string registryFile() const { return root_ + "/registry.reg"; }
  std::string settingsFile() const { return root_ + "/mgmt-service.conf"; }
  std::string serviceLogFile() const { return root_ + "/mgmt-service.log"; }
  std::string pipeDir() const { return root_ + "/pipes"; }
  std::string lockDir() const { return root_ + "/locks"; }
  std::string socketPath() const { return pipeDir() + "/zulpipe"; }

  // Registry values (HKEY_LOCAL_MACHINE\<key>); the file is rewritten at once.
  void setRegistryString(const std::string& name, const std::string& value, const std::string& key = kConfigKey);
  void setRegistryDword(const std::string& name, uint32_t value, const std::string& key = kConfigKey);
  void removeRegistryValue(const std::string& name, const std::string& key = kConfigKey);

  // The service's settings.
  void setSetting(const std::string& name, const std::string& value);
  void setComponent(const std::string& package, const std::string& directory) { setSetting("component." + package, directory); }

  // The service. startService returns once the socket accepts connections
  // and raises std::runtime_error (with the service's log) when it does not start.
  void startService();
  void stopService();
  void restartService() { stopService(); startService(); }
  int servicePid() const { return servicePid_; }
  std::string serviceLog() const { return readFile(serviceLogFile()); }

  struct RunResult {
    int exitCode = -1;  // 128 + signal number when the program was killed by one
    std::string out, err;
  };
  // Runs the built web_statistics_executor with the arguments and waits for it.
  RunResult runExecutor(const std::vector<std::string>& args) const { return run(buildDir() + "/web_statistics_executor", args); }
  // Runs any program (path) with the arguments, standard input from stdinText.
  RunResult run(const std::string& program, const std::vector<std::string>& args,
                const std::string& stdinText = {}) const;

  // A channel's daily log files (tarvolog_<channel>*.log in logsDir, in date
  // order), without byte-order marks, converted to UTF-8; "" when none.
  std::string dailyLog(const std::string& channel = "debug") const;
  // The entries of dailyLog(), one per CR LF-terminated entry, without the CR LF.
  std::vector<std::string> dailyLogEntries() const;

 private:
  struct RegistryValue {
    std::string key, name, encoded;  // encoded: the text after "=" in the file
  };
  void writeRegistry() const;
  void writeSettings() const;
  void setRegistryValue(const std::string& key, const std::string& name, const std::optional<std::string>& encoded);

  TempDir dir_;
  std::list<ScopedEnv> environment_;
  std::string root_;
  std::vector<std::string> serviceArguments_;
  std::vector<RegistryValue> registry_;
  std::vector<std::pair<std::string, std::string>> settings_;
  int servicePid_ = -1;
  mutable int runs_ = 0;
};

} // namespace testenv
