// A temporary installation for the benchmarks: registry file, settings of the
// stand-in management service, the service itself on a socket inside it, and
// the environment that points the program there. Everything goes when the
// object ends (the service is stopped by its process id).
#pragma once

#include <filesystem>
#include <string>

namespace bench {

namespace fs = std::filesystem;

class Installation {
 public:
  // extraSettings: more NAME=value lines for the service's settings file;
  // extraRegistry: more lines under the program's registry key.
  explicit Installation(const std::string& extraSettings = {}, const std::string& extraRegistry = {});
  ~Installation();
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  const fs::path& root() const { return root_; }
  fs::path vhosts() const { return root_ / "vhosts"; }
  fs::path product() const { return root_ / "product"; }
  std::string socketPath() const { return (root_ / "pipes/zulpipe").string(); }

  // More NAME=value lines for the service, in effect from the next request.
  void addSettings(const std::string& lines);

 private:
  fs::path root_;
};

void writeText(const fs::path& path, const std::string& text);
// Runs a shell command; raises std::runtime_error when it fails.
void runOrDie(const std::string& command);
// The text in single quotes for the shell.
std::string shellQuoted(const std::string& text);

std::string builtProgram(const std::string& relativePath);  // below the build directory

} // namespace bench
