#include "platform/log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/account.h"
#include "platform/win_error.h"

namespace platform {

namespace {

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

} // namespace

uint32_t appendLogEntry(const std::string& path, const std::string& byteOrderMark, const std::string& entry) {
  const account::ProgramAccountScope asProgram;  // the daily log is the installation's
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return winErrorForPath(errno, path);
  uint32_t code = 0;
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0) {
    code = lastWinError();
  } else if (end == 0 && !byteOrderMark.empty()) {
    // One write, so that the mark and the first entry arrive together.
    const std::string first = byteOrderMark + entry;
    if (!writeAll(fd, first.data(), first.size())) code = lastWinError();
  } else if (!writeAll(fd, entry.data(), entry.size())) {
    code = lastWinError();
  }
  if (::close(fd) != 0 && code == 0) code = lastWinError();
  return code;
}

} // namespace platform
