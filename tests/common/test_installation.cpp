#include "tests/common/test_installation.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <utility>

#include "platform/local_socket.h"
#include "platform/text.h"
#include "support/format.h"

extern char** environ;

namespace testenv {

namespace fs = std::filesystem;

namespace {

// How long the service may take to listen or to stop, and a program run by
// run() to end, before the test fails instead of hanging.
constexpr std::chrono::seconds kServiceDeadline{15}, kRunDeadline{120};

// Written beside the target and renamed over it, so a reader sees the old
// or the new file, never half of one.
void writeAtomically(const std::string& path, const std::string& content) {
  writeFile(path + ".tmp", content);
  if (std::rename((path + ".tmp").c_str(), path.c_str()) != 0)
    throw std::runtime_error("cannot rename " + path + ".tmp: " + std::strerror(errno));
}

std::string regQuoted(const std::string& value) {
  std::string out = "\"";
  for (char c : value) out += c == '\\' || c == '"' ? std::string{'\\', c} : std::string(1, c);
  return out + "\"";
}

pid_t spawn(const std::string& program, const std::vector<std::string>& args, const std::string& base = {}) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, base.empty() ? "/dev/null" : (base + ".in").c_str(), O_RDONLY, 0);
  for (int fd : {1, 2})
    if (!base.empty())
      posix_spawn_file_actions_addopen(&actions, fd, (base + (fd == 1 ? ".out" : ".err")).c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
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

TestInstallation::TestInstallation(const Options& options) : root_(dir_.path()), serviceArguments_(options.serviceArguments) {
  for (const std::string& dir : {logsDir(), vhostsDir(), pipeDir(), lockDir()}) fs::create_directories(dir);
  environment_.emplace_back("TARVO_REGISTRY", registryFile());
  environment_.emplace_back("TARVO_PIPE_DIR", pipeDir());
  environment_.emplace_back("TARVO_LOCK_DIR", lockDir());
  registry_ = {{kConfigKey, "PRODUCT_ROOT_D", regQuoted(productRoot())},
               {kConfigKey, "Debug", "dword:00000001"},
               {kConfigKey, "zulpipe", regQuoted("zulpipe")}};
  writeRegistry();
  settings_ = {{"HTTPD_VHOSTS_D", vhostsDir()},
               {"PRODUCT_ROOT_D", productRoot()},
               {"WebalizerPath", productRoot() + "/webalizer/bin/webalizer"},
               {"AWStatsPath", productRoot() + "/awstats"},
               {"component.awstats", productRoot() + "/awstats"}};
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
  for (const RegistryValue& v : registry_)
    if (std::find(keys.begin(), keys.end(), v.key) == keys.end()) keys.push_back(v.key);
  for (const std::string& key : keys) {
    text += "\r\n[HKEY_LOCAL_MACHINE\\" + key + "]\r\n";
    for (const RegistryValue& v : registry_)
      if (v.key == key) text += regQuoted(v.name) + "=" + v.encoded + "\r\n";
  }
  writeAtomically(registryFile(), text);
}

// Replaces the value in its place, or adds it; removes it when encoded is empty.
void TestInstallation::setRegistryValue(const std::string& key, const std::string& name,
                                        const std::optional<std::string>& encoded) {
  const auto same = [&](const RegistryValue& v) { return v.key == key && text::equalsNoCase(v.name, name); };
  const auto it = std::find_if(registry_.begin(), registry_.end(), same);
  if (!encoded) std::erase_if(registry_, same);
  else if (it != registry_.end()) it->encoded = *encoded;
  else registry_.push_back({key, name, *encoded});
  writeRegistry();
}

void TestInstallation::setRegistryString(const std::string& name, const std::string& value, const std::string& key) {
  setRegistryValue(key, name, regQuoted(value));
}

void TestInstallation::setRegistryDword(const std::string& name, uint32_t value, const std::string& key) {
  setRegistryValue(key, name, formatString("dword:%08x", value));
}

void TestInstallation::removeRegistryValue(const std::string& name, const std::string& key) {
  setRegistryValue(key, name, std::nullopt);
}

void TestInstallation::writeSettings() const {
  std::string text = "# settings of the test installation's management service\n";
  for (const auto& [name, value] : settings_) text += name + "=" + value + "\n";
  writeAtomically(settingsFile(), text);
  if (servicePid_ > 0) kill(servicePid_, SIGHUP);
}

void TestInstallation::setSetting(const std::string& name, const std::string& value) {
  auto it = std::find_if(settings_.begin(), settings_.end(), [&](const auto& s) { return s.first == name; });
  if (it != settings_.end()) it->second = value;
  else settings_.emplace_back(name, value);
  writeSettings();
}

void TestInstallation::startService() {
  if (servicePid_ > 0) return;
  std::vector<std::string> args{"--settings=" + settingsFile(), "--socket=" + socketPath(), "--log=" + serviceLogFile()};
  args.insert(args.end(), serviceArguments_.begin(), serviceArguments_.end());
  servicePid_ = spawn(buildDir() + "/tools/mgmt_service/tarvo-mgmt-service", args);
  // Ready when a connection succeeds (a socket left by a killed service
  // refuses them until the new service has replaced it).
  const auto deadline = std::chrono::steady_clock::now() + kServiceDeadline;
  for (platform::localsock::Socket probe; platform::localsock::connect(socketPath(), probe) != 0;) {
    int status = 0;
    if (waitpid(servicePid_, &status, WNOHANG) == servicePid_) {
      servicePid_ = -1;
      throw std::runtime_error("tarvo-mgmt-service ended with code " + std::to_string(exitCodeOf(status)) +
                               " before listening; its log:\n" + serviceLog());
    }
    if (std::chrono::steady_clock::now() > deadline) {
      stopService();
      throw std::runtime_error("tarvo-mgmt-service does not listen on " + socketPath() + " within " +
                               std::to_string(kServiceDeadline.count()) + " s; its log:\n" + serviceLog());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void TestInstallation::stopService() {
  if (servicePid_ <= 0) return;
  const pid_t pid = std::exchange(servicePid_, -1);
  kill(pid, SIGTERM);
  reapWithin(pid, kServiceDeadline, "tarvo-mgmt-service, sent SIGTERM,");
}

TestInstallation::RunResult TestInstallation::run(const std::string& program, const std::vector<std::string>& args,
                                                  const std::string& stdinText) const {
  const std::string base = root_ + "/run" + std::to_string(++runs_);
  writeFile(base + ".in", stdinText);
  const int code = reapWithin(spawn(program, args, base), kRunDeadline, program);
  RunResult result{code, readFile(base + ".out"), readFile(base + ".err")};
  for (const char* suffix : {".in", ".out", ".err"}) std::remove((base + suffix).c_str());
  return result;
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
    if (bytes.starts_with("\xff\xfe")) bytes.erase(0, 2);
    out += text::fromUtf16le(bytes);
  }
  return out;
}

std::vector<std::string> TestInstallation::dailyLogEntries() const {
  std::vector<std::string> entries;
  const std::string log = dailyLog();
  size_t start = 0;
  for (size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2)
    entries.push_back(log.substr(start, end - start));
  if (start < log.size()) entries.push_back(log.substr(start));
  return entries;
}

} // namespace testenv
