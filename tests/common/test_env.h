// What the tests share: a temporary directory per test, the paths of the
// built programs and small helpers for files, the environment and failures.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testenv {

// A fresh directory under $TMPDIR (else /dev/shm, else /tmp), removed when the object ends.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

std::string buildDir();    // the CMake build directory
std::string testBinDir();  // where the test helper programs are
std::string sourceDir();   // the source tree

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
void writeScript(const std::string& path, const std::string& content);  // executable
std::vector<std::string> namesIn(const std::string& dir);               // sorted
std::string shellQuote(const std::string& s);

inline constexpr std::chrono::seconds kWaitDeadline{30};
// True once done() holds, false when the deadline passes first.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline = kWaitDeadline);
// 128 + the signal for a wait status a signal ended, the exit code otherwise.
int exitCodeOf(int status);
// Reaps the child and returns its exitCodeOf; past the deadline it is a test
// failure ("<what> did not end within N s") and the child is killed.
int reapWithin(pid_t pid, std::chrono::milliseconds deadline, const std::string& what);

// Lays out Debian's engine ("awstats", "webalizer") at root; std::runtime_error when that fails.
void setUpEngine(const std::string& engine, const std::string& root);

// The full message (with its places) of the vexception op raises; "" for none.
std::string failureOf(const std::function<void()>& op);
// Runs op, which must raise a vosexception with this code, the system
// message made of text, and this one place.
void expectOsFailure(const std::function<void()>& op, uint32_t code, const std::string& text,
                     const std::string& function, int line);

} // namespace testenv
