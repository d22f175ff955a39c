#include "bench/common/bench_installation.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace bench {

void writeText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

void runOrDie(const std::string& command) {
  // Thrown, not exited: the installation's destructor must stop the service.
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string builtProgram(const std::string& relativePath) { return std::string(TARVO_BUILD_DIR) + "/" + relativePath; }

Installation::Installation(const std::string& extraSettings, const std::string& extraRegistry) {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarvo-bench-XXXXXX";
  if (!mkdtemp(templ.data())) std::abort();
  root_ = templ;
  setenv("TARVO_REGISTRY", (root_ / "registry.reg").c_str(), 1);
  setenv("TARVO_PIPE_DIR", (root_ / "pipes").c_str(), 1);
  setenv("TARVO_LOCK_DIR", (root_ / "locks").c_str(), 1);
  fs::create_directories(root_ / "pipes");
  fs::create_directories(root_ / "locks");
  fs::create_directories(vhosts());
  fs::create_directories(product() / "admin/logs");
  writeText(root_ / "registry.reg",
            "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvo\\ZUL Config\\Config]\r\n"
            "\"PRODUCT_ROOT_D\"=\"" + product().string() + "\"\r\n\"Debug\"=dword:00000001\r\n\"log_util_exec_enabled\"=dword:00000001\r\n"
            "\"zulpipe\"=\"zulpipe\"\r\n" + extraRegistry +
            "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvo\\Installer\\CorvanitePerl]\r\n\"INSTALLDIR\"=\"/usr\"\r\n");
  writeText(root_ / "mgmt-service.conf", "HTTPD_VHOSTS_D=" + vhosts().string() + "\nPRODUCT_ROOT_D=" +
                                             product().string() + "\nAWStatsPath=" +
                                             (product() / "awstats").string() + "\n" + extraSettings);
  runOrDie(shellQuoted(builtProgram("tools/mgmt_service/tarvo-mgmt-service")) +
           " --settings=" + shellQuoted((root_ / "mgmt-service.conf").string()) +
           " --log=" + shellQuoted((root_ / "mgmt-service.log").string()) +
           " --daemon --pid-file=" + shellQuoted((root_ / "service.pid").string()));
}

Installation::~Installation() {
  std::ifstream pidFile(root_ / "service.pid");
  long pid = 0;
  if (pidFile >> pid && pid > 0) ::kill(static_cast<pid_t>(pid), SIGTERM);
  std::error_code ec;
  fs::remove_all(root_, ec);
}

} // namespace bench

namespace bench {

void Installation::addSettings(const std::string& lines) {
  {
    std::ofstream(root_ / "mgmt-service.conf", std::ios::binary | std::ios::app) << lines;
  }
  std::ifstream pidFile(root_ / "service.pid");
  long pid = 0;
  if (pidFile >> pid && pid > 0) ::kill(static_cast<pid_t>(pid), SIGHUP);
  // The service reads the file again on the signal; give it the moment.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

} // namespace bench
