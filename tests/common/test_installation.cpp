#include "tests/common/test_installation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/local_socket.h"
#include "platform/text.h"
#include "tests/common/test_env.h"

extern char** environ;

namespace testenv {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
// How long the service may take to listen or to stop, and a program run by
// run() to end, before the test fails instead of hanging.
constexpr std::chrono::seconds kServiceDeadline{15}, kRunDeadline{120};

// Waits for the child at most the deadline; false when it is still running.
bool reaped(pid_t pid, int& status, std::chrono::seconds deadline) {
  for (const auto end = Clock::now() + deadline;;) {
    const pid_t got = waitpid(pid, &status, WNOHANG);
    if (got != 0 && !(got < 0 && errno == EINTR)) return true;
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Written beside the target and renamed over it, so a reader sees the old
// or the new file, never half of one.
void writeAtomically(const std::string& path, const std::string& content) {
  const std::string temporary = path + ".tmp";
  writeFile(temporary, content);
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    throw std::runtime_error("cannot rename " + temporary + ": " + std::strerror(errno));
  }
}

std::string regQuoted(const std::string& value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

int exitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

pid_t spawn(const std::string& program, const std::vector<std::string>& args, const std::string& in,
            const std::string& out, const std::string& err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!in.empty()) posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  if (!out.empty()) posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!err.empty()) posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
  return pid;
}

} // namespace

TestInstallation::TestInstallation() : TestInstallation(Options{}) {}

TestInstallation::TestInstallation(const Options& options)
    : root_(dir_.path()), pipeName_(options.pipeName), serviceArguments_(options.serviceArguments) {
  for (const std::string& dir : {logsDir(), vhostsDir(), pipeDir(), lockDir()}) fs::create_directories(dir);
  environment_.emplace_back("TARVO_REGISTRY", registryFile());
  environment_.emplace_back("TARVO_PIPE_DIR", pipeDir());
  environment_.emplace_back("TARVO_LOCK_DIR", lockDir());

  registry_.push_back({kConfigKey, "PRODUCT_ROOT_D", regQuoted(productRoot())});
  registry_.push_back({kConfigKey, "Debug", options.debug ? "dword:00000001" : "dword:00000000"});
  registry_.push_back({kConfigKey, "zulpipe", regQuoted(pipeName_)});
  writeRegistry();
  settings_ = {
      {"HTTPD_VHOSTS_D", vhostsDir()},
      {"PRODUCT_ROOT_D", productRoot()},
      {"WebalizerPath", productRoot() + "/webalizer/bin/webalizer"},
      {"AWStatsPath", productRoot() + "/awstats"},
      {"component.awstats", productRoot() + "/awstats"},
  };
  writeSettings();
  if (options.startService) startService();
}

// The environment is restored and the directory removed by the members.
TestInstallation::~TestInstallation() {
  try {
    stopService();
  } catch (...) {
  }
}

void TestInstallation::writeRegistry() const {
  std::string text = "Windows Registry Editor Version 5.00\r\n";
  std::vector<std::string> keys;
  for (const RegistryValue& v : registry_) {
    if (std::find(keys.begin(), keys.end(), v.key) == keys.end()) keys.push_back(v.key);
  }
  for (const std::string& key : keys) {
    text += "\r\n[HKEY_LOCAL_MACHINE\\" + key + "]\r\n";
    for (const RegistryValue& v : registry_) {
      if (v.key == key) text += regQuoted(v.name) + "=" + v.encoded + "\r\n";
    }
  }
  writeAtomically(registryFile(), text);
}

void TestInstallation::setRegistryValue(const std::string& key, const std::string& name, const std::string& encoded) {
  for (RegistryValue& v : registry_) {
    if (v.key == key && text::equalsNoCase(v.name, name)) {
      v.encoded = encoded;
      writeRegistry();
      return;
    }
  }
  registry_.push_back({key, name, encoded});
  writeRegistry();
}

void TestInstallation::setRegistryString(const std::string& name, const std::string& value, const std::string& key) {
  setRegistryValue(key, name, regQuoted(value));
}

void TestInstallation::setRegistryDword(const std::string& name, uint32_t value, const std::string& key) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "dword:%08x", value);
  setRegistryValue(key, name, buf);
}

void TestInstallation::removeRegistryValue(const std::string& name, const std::string& key) {
  std::erase_if(registry_, [&](const RegistryValue& v) { return v.key == key && text::equalsNoCase(v.name, name); });
  writeRegistry();
}

void TestInstallation::writeSettings() const {
  std::string text = "# settings of the test installation's management service\n";
  for (const auto& [name, value] : settings_) text += name + "=" + value + "\n";
  writeAtomically(settingsFile(), text);
}

void TestInstallation::reloadService() const {
  if (servicePid_ > 0) kill(servicePid_, SIGHUP);
}

void TestInstallation::setSetting(const std::string& name, const std::string& value) {
  auto it = std::find_if(settings_.begin(), settings_.end(), [&](const auto& s) { return s.first == name; });
  if (it != settings_.end()) {
    it->second = value;
  } else {
    settings_.emplace_back(name, value);
  }
  writeSettings();
  reloadService();
}

void TestInstallation::removeSetting(const std::string& name) {
  std::erase_if(settings_, [&](const auto& s) { return s.first == name; });
  writeSettings();
  reloadService();
}

void TestInstallation::setComponent(const std::string& package, const std::string& directory) {
  setSetting("component." + package, directory);
}

void TestInstallation::writeSettingsText(const std::string& text) {
  writeAtomically(settingsFile(), text);
  reloadService();
}

void TestInstallation::startService() {
  if (servicePid_ > 0) return;
  const std::string program = buildDir() + "/tools/mgmt_service/tarvo-mgmt-service";
  std::vector<std::string> args{"--settings=" + settingsFile(), "--socket=" + socketPath(), "--log=" + serviceLogFile()};
  args.insert(args.end(), serviceArguments_.begin(), serviceArguments_.end());
  servicePid_ = spawn(program, args, "/dev/null", "", "");
  // Ready when a connection succeeds (a socket left by a killed service
  // refuses them until the new service has replaced it).
  const auto deadline = Clock::now() + kServiceDeadline;
  for (;;) {
    platform::localsock::Socket probe;
    if (platform::localsock::connect(socketPath(), probe) == 0) break;
    int status = 0;
    if (waitpid(servicePid_, &status, WNOHANG) == servicePid_) {
      servicePid_ = -1;
      throw std::runtime_error("tarvo-mgmt-service ended with code " + std::to_string(exitCodeOf(status)) +
                               " before listening; its log:\n" + serviceLog());
    }
    if (Clock::now() > deadline) {
      stopService();
      throw std::runtime_error("tarvo-mgmt-service does not listen on " + socketPath() + " within " +
                               std::to_string(kServiceDeadline.count()) + " s; its log:\n" + serviceLog());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void TestInstallation::stopService() {
  if (servicePid_ <= 0) return;
  const pid_t pid = servicePid_;
  servicePid_ = -1;
  kill(pid, SIGTERM);
  // A service that does not stop must not hang the test run.
  int status = 0;
  if (!reaped(pid, status, kServiceDeadline)) {
    ADD_FAILURE() << "tarvo-mgmt-service did not stop within " << kServiceDeadline.count() << " s of SIGTERM; killed";
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
}

void TestInstallation::restartService() {
  stopService();
  startService();
}

std::string TestInstallation::serviceLog() const { return readFile(serviceLogFile()); }

TestInstallation::RunResult TestInstallation::run(const std::string& program, const std::vector<std::string>& args,
                                                  const std::string& stdinText) const {
  const std::string base = root_ + "/run" + std::to_string(++runs_);
  writeFile(base + ".in", stdinText);
  const pid_t pid = spawn(program, args, base + ".in", base + ".out", base + ".err");
  int status = 0;
  if (!reaped(pid, status, kRunDeadline)) {
    ADD_FAILURE() << program << " did not end within " << kRunDeadline.count() << " s; killed";
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  RunResult result{exitCodeOf(status), readFile(base + ".out"), readFile(base + ".err")};
  for (const char* suffix : {".in", ".out", ".err"}) std::remove((base + suffix).c_str());
  return result;
}

TestInstallation::RunResult TestInstallation::runExecutor(const std::vector<std::string>& args) const {
  return run(buildDir() + "/web_statistics_executor", args);
}

std::string TestInstallation::dailyLog(const std::string& channel) const {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(logsDir(), ec)) {
    const std::string name = entry.path().filename().string();
    if (text::startsWith(name, "tarvolog_" + channel) && text::endsWith(name, ".log")) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::string out;
  for (const std::string& file : files) {
    std::string bytes = readFile(file);
    if (bytes.size() >= 2 && bytes[0] == '\xff' && bytes[1] == '\xfe') bytes.erase(0, 2);
    out += text::fromUtf16le(bytes);
  }
  return out;
}

std::vector<std::string> TestInstallation::dailyLogEntries() const {
  std::vector<std::string> entries;
  const std::string log = dailyLog();
  size_t start = 0;
  for (size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
    entries.push_back(log.substr(start, end - start));
  }
  if (start < log.size()) entries.push_back(log.substr(start));
  return entries;
}

} // namespace testenv
