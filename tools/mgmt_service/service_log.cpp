#include "tools/mgmt_service/service_log.h"

#include <cerrno>
#include <cstring>

#include "tools/mgmt_service/process_control.h"

namespace mgmt {

ServiceLog::ServiceLog(std::string path) : path_(std::move(path)) {}

ServiceLog::~ServiceLog() {
  if (file_ && file_ != stderr) std::fclose(file_);
}

bool ServiceLog::open(std::string& error) {
  if (path_.empty()) {
    file_ = stderr;
    return true;
  }
  if (path_ == "-") return true;
  file_ = std::fopen(path_.c_str(), "a");
  if (!file_) {
    error = "cannot open the log file " + path_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void ServiceLog::reopen() {
  if (!file_ || file_ == stderr) return;
  if (FILE* f = std::fopen(path_.c_str(), "a")) {
    std::fclose(file_);
    file_ = f;
  }
}

void ServiceLog::write(const std::string& message) {
  if (!file_) return;
  std::fprintf(file_, "%s [%d] %s\n", timestamp().c_str(), processId(), message.c_str());
  std::fflush(file_);
}

} // namespace mgmt
