// The stand-in service's own log: one line per event, to a file given with
// --log or to standard error. Reopened on SIGHUP (for log rotation).
#pragma once

#include <cstdio>
#include <string>

namespace mgmt {

class ServiceLog {
 public:
  // An empty path writes to standard error; "-" discards everything.
  explicit ServiceLog(std::string path);
  ~ServiceLog();
  ServiceLog(const ServiceLog&) = delete;
  ServiceLog& operator=(const ServiceLog&) = delete;

  bool open(std::string& error);
  void reopen();
  void write(const std::string& message);

 private:
  std::string path_;
  FILE* file_ = nullptr;
};

} // namespace mgmt
