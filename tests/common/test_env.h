// What the tests share: a temporary directory per test and the paths of the
// built programs.
#pragma once

#include <string>

namespace testenv {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object ends.
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

std::string buildDir();    // the CMake build directory
std::string testBinDir();  // where the test helper programs are
std::string sourceDir();   // the source tree

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);

} // namespace testenv
