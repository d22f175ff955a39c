#include "tests/common/hosting.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <utility>

#include "tests/common/test_env.h"

extern char** environ;

namespace testenv {

namespace {

namespace fs = std::filesystem;

constexpr uid_t kFirstCustomer = 61000;

std::string shq(const std::string& s) { return shellQuote(s); }

void copyTree(const std::string& from, const std::string& to) {
  fs::remove_all(to);
  if (shell("cp -a " + shq(from) + " " + shq(to)) != 0) throw std::runtime_error("cannot copy " + from + " to " + to);
}

} // namespace

int shell(const std::string& command, std::string* output) {
  std::string out;
  // A command that hangs (a mount, a copy) fails the test instead.
  FILE* pipe = popen(("timeout -k 5 60 /bin/sh -c " + shq(command) + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = pclose(pipe);
  if (output) *output = out;
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (code == 124 || code == 128 + SIGKILL) ADD_FAILURE() << "the command did not end within 60 s: " << command;
  return code;
}

bool contains(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

size_t occurrences(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + piece.size())) ++n;
  return n;
}

demo::UnixTime today() {
  using namespace std::chrono;
  return duration_cast<seconds>(floor<days>(system_clock::now()).time_since_epoch()).count();
}

Child::Child(const std::string& command, const std::string& base) : out_(base + ".out"), err_(base + ".err") {
  const std::string line = "exec " + command + " </dev/null >" + shq(out_) + " 2>" + shq(err_);
  const char* argv[] = {"/bin/sh", "-c", line.c_str(), nullptr};
  if (posix_spawn(&pid_, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
    throw std::runtime_error("cannot start " + command);
}

Child::~Child() {
  if (pid_ > 0) {
    kill();
    waitpid(pid_, nullptr, 0);
  }
}

bool Child::running() const {  // an ended child is not reaped here
  siginfo_t info{};
  return pid_ > 0 && waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

void Child::kill() const { ::kill(pid_, SIGKILL); }

Ran Child::wait(std::chrono::milliseconds deadline) {
  const int code = reapWithin(std::exchange(pid_, -1), deadline, "the run");
  return {code, readFile(out_), readFile(err_)};
}

Hosting::Hosting() : Hosting(Options{}) {}

Hosting::Hosting(Options options) : options_(std::move(options)) {
  for (const char* engine : {"webalizer", "awstats"}) setUpEngine(engine, inst_.productRoot() + "/" + engine);
  inst_.setRegistryString("INSTALLDIR", "/usr", kPerlKey);
  inst_.setRegistryDword("PipeConnectTryCount", 2);  // a service that is down fails a request at once
  fs::create_directories(scratch("tmp"));
  demo::TreeSettings settings;
  settings.seed = 11;
  settings.webRecordsPerDay = 24;
  demo::layOut(vhosts(), settings, today() - 2 * kDay, 1);
  prune();
  if (options_.ownedByCustomers) {
    // The temporary directory is shared by every account, as /tmp is.
    fs::permissions(scratch("tmp"), fs::perms(01777));
    // Every account walks down to the webspaces, as on a server.
    for (fs::path p = vhosts(); p != fs::path(inst_.root()).parent_path(); p = p.parent_path())
      fs::permissions(p, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec |
                             fs::perms::group_read | fs::perms::others_read);
    uid_t next = kFirstCustomer;
    for (const auto& webspace : fs::directory_iterator(vhosts())) {
      if (!webspace.is_directory()) continue;
      const uid_t uid = next++;
      if (shell("chown -R " + std::to_string(uid) + ":" + std::to_string(uid) + " " + shq(webspace.path())) != 0)
        throw std::runtime_error("cannot give " + webspace.path().string() + " to its customer");
    }
  }
}

std::string Hosting::scratch(const std::string& name) const { return inst_.root() + "/scratch/" + name; }

const demo::DemoDomain& Hosting::domain(const std::string& name) {
  for (const demo::DemoDomain& d : demo::demoDomains())
    if (d.name == name) return d;
  throw std::runtime_error("no demo domain " + name);
}

bool Hosting::inScope(const demo::DemoDomain& d) const {
  return options_.domains.empty() || options_.domains.count(d.name) != 0;
}

std::vector<const demo::DemoDomain*> Hosting::scope() const {
  std::vector<const demo::DemoDomain*> out;
  for (const demo::DemoDomain& d : demo::demoDomains())
    if (inScope(d)) out.push_back(&d);
  return out;
}

uid_t Hosting::ownerOf(const std::string& name) const {
  struct stat st {};
  return ::stat(webspaceDir(name).c_str(), &st) == 0 ? st.st_uid : 0;
}

void Hosting::addDay() {
  demo::appendDay(vhosts(), today());
  prune();
}

std::vector<std::string> Hosting::logFiles() const {
  std::vector<std::string> out;
  for (const demo::DemoDomain* d : scope())
    for (const auto& e : fs::directory_iterator(demo::configDir(vhosts(), *d)))
      if (!e.is_directory() && e.path().filename() != kConfigName) out.push_back(e.path());
  return out;
}

std::unique_ptr<Child> Hosting::start(const std::vector<std::string>& arguments) {
  std::string command;
  for (const std::string& word : commandPrefix) command += shq(word) + " ";
  command += "/usr/bin/env " + shq("TMPDIR=" + scratch("tmp")) + " ";
  for (const std::string& variable : environment) command += shq(variable) + " ";
  command += shq(buildDir() + "/web_statistics_executor");
  for (const std::string& argument : arguments) command += " " + shq(argument);
  return std::make_unique<Child>(command, scratch("run" + std::to_string(++runs_)));
}

std::vector<std::string> Hosting::statDirs() const {
  std::vector<std::string> out;
  for (const demo::DemoDomain* d : scope()) out.push_back(demo::statisticsDir(vhosts(), *d));
  return out;
}

std::vector<demo::ReportCount> Hosting::counts() const {
  std::vector<demo::ReportCount> out;
  for (const demo::ReportCount& row : demo::reportCounts(vhosts()))
    if (inScope(*row.domain) && (!options_.webLogsOnly || row.kind == demo::Kind::Web)) out.push_back(row);
  return out;
}

std::string Hosting::diagnostics(const Ran& ran) const {
  return "exit code " + std::to_string(ran.exitCode) + "\nconsole:\n" + ran.out + ran.err + "\ndaily log:\n" +
         inst_.dailyLog();
}

void Hosting::expectFailure(const Ran& ran, const std::string& reason) const {
  EXPECT_EQ(ran.exitCode, 1) << diagnostics(ran);
  EXPECT_TRUE(contains(ran.out, reason)) << "the error must say " << reason << "\n" << diagnostics(ran);
}

void Hosting::keep() { copyTree(vhosts(), scratch("kept")); }
void Hosting::restore() { copyTree(scratch("kept"), vhosts()); }

void Hosting::prune() {
  for (const demo::DemoDomain& d : demo::demoDomains()) {
    for (const auto& e : fs::directory_iterator(demo::configDir(vhosts(), d))) {
      if (e.is_directory()) continue;
      const std::string name = e.path().filename();
      if (!inScope(d) || (options_.webLogsOnly && name != kConfigName && name.rfind("web_", 0) != 0))
        fs::remove(e.path());
    }
  }
}

} // namespace testenv
