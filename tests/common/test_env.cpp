#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "support/errors.h"

namespace testenv {

namespace fs = std::filesystem;

TempDir::TempDir() {
  // Memory where it can be: the whole-run tests make thousands of small
  // files, and creating one takes about a millisecond on a virtual disk.
  const char* tmp = std::getenv("TMPDIR");
  const std::string base = tmp && *tmp ? tmp : access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
  path_ = base + "/tarvo-test-XXXXXX";
  if (!mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only leftovers of a test must not stop the clean-up.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add | fs::perm_options::nofollow, ec);
  fs::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value) : name_(name) {
  if (const char* old = std::getenv(name.c_str())) saved_ = old;
  setenv(name.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (saved_) setenv(name_.c_str(), saved_->c_str(), 1);
  else unsetenv(name_.c_str());
}

std::string buildDir() { return TARVO_BUILD_DIR; }
std::string testBinDir() { return TARVO_TEST_BIN_DIR; }
std::string sourceDir() { return TARVO_SOURCE_DIR; }

void writeFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeScript(const std::string& path, const std::string& content) {
  writeFile(path, content);
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

std::vector<std::string> namesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

int exitCodeOf(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(2)))
    if (std::chrono::steady_clock::now() > end) return false;
  return true;
}

int reapWithin(pid_t pid, std::chrono::milliseconds deadline, const std::string& what) {
  int status = 0;
  const auto reaped = [&] {
    const pid_t got = waitpid(pid, &status, WNOHANG);
    return got != 0 && !(got < 0 && errno == EINTR);
  };
  if (waitUntil(reaped, deadline)) return exitCodeOf(status);
  ADD_FAILURE() << what << " did not end within " << deadline.count() / 1000 << " s; killed";
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return exitCodeOf(status);
}

void setUpEngine(const std::string& engine, const std::string& root) {
  const std::string command =
      shellQuote(sourceDir() + "/scripts/setup-" + engine) + " " + shellQuote(root) + " >/dev/null";
  if (std::system(command.c_str()) != 0) throw std::runtime_error(command + " failed");
}

std::string failureOf(const std::function<void()>& op) {
  try {
    op();
  } catch (const vexception& e) {
    return e.fullMessage();
  }
  return "";
}

void expectOsFailure(const std::function<void()>& op, uint32_t code, const std::string& text,
                     const std::string& function, int line) {
  try {
    op();
    ADD_FAILURE() << "no exception for " << text;
  } catch (const vosexception& e) {
    EXPECT_EQ(e.errorCode(), code) << e.fullMessage();
    EXPECT_EQ(e.message(), formatSystemMessage(code, text));
    ASSERT_EQ(e.places().size(), 1u);
    EXPECT_EQ(e.places()[0].function, function);
    EXPECT_EQ(e.places()[0].line, line);
  }
}

} // namespace testenv
