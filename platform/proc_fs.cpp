#include "platform/proc_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/win_error.h"

namespace platform::procfs {

namespace {

std::string entryPath(uint32_t pid, int fd) {
  const std::string base = "/proc/" + std::to_string(pid);
  return fd == kCurrentDirectory ? base + "/cwd" : base + "/fd/" + std::to_string(fd);
}

bool numeric(const char* name, unsigned long& value) {
  if (!*name) return false;
  char* end = nullptr;
  value = std::strtoul(name, &end, 10);
  return *end == '\0';
}

// The numeric entries of a /proc directory.
uint32_t numericEntries(const std::string& path, std::vector<unsigned long>& out) {
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return winErrorFromErrno(errno);
  errno = 0;
  while (const struct dirent* entry = ::readdir(dir)) {
    unsigned long value = 0;
    if (numeric(entry->d_name, value)) out.push_back(value);
  }
  const int err = errno;
  ::closedir(dir);
  if (err) return winErrorFromErrno(err);
  std::sort(out.begin(), out.end());
  return 0;
}

uint32_t readLink(const std::string& path, std::string& target) {
  std::string buf(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n < 0) return winErrorFromErrno(errno);
    if (static_cast<size_t>(n) < buf.size()) {
      target.assign(buf.data(), static_cast<size_t>(n));
      return 0;
    }
    buf.resize(buf.size() * 2);
  }
}

} // namespace

uint32_t processIds(std::vector<uint32_t>& ids) {
  ids.clear();
  std::vector<unsigned long> values;
  if (const uint32_t code = numericEntries("/proc", values)) return code;
  for (unsigned long v : values) ids.push_back(static_cast<uint32_t>(v));
  return 0;
}

uint32_t descriptors(uint32_t pid, std::vector<int>& fds) {
  fds.clear();
  std::vector<unsigned long> values;
  if (const uint32_t code = numericEntries("/proc/" + std::to_string(pid) + "/fd", values)) return code;
  for (unsigned long v : values) fds.push_back(static_cast<int>(v));
  return 0;
}

uint32_t descriptorLink(uint32_t pid, int fd, std::string& target) { return readLink(entryPath(pid, fd), target); }

uint32_t descriptorKind(uint32_t pid, int fd, ObjectKind& kind) {
  struct stat st {};
  if (::stat(entryPath(pid, fd).c_str(), &st) != 0) return winErrorFromErrno(errno);
  kind = S_ISREG(st.st_mode) ? ObjectKind::RegularFile : S_ISDIR(st.st_mode) ? ObjectKind::Directory : ObjectKind::Other;
  return 0;
}

uint32_t executablePath(uint32_t pid, std::string& path) {
  return readLink("/proc/" + std::to_string(pid) + "/exe", path);
}

bool hasEnded(uint32_t pid) {
  const int fd = ::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ESRCH;
  char buf[1024];
  const ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return true;
  buf[n] = '\0';
  // "pid (name) state ppid pgrp session tty tpgid flags ...": the name may
  // hold blanks and parentheses, so the fields start after the last ')'.
  const char* close = std::strrchr(buf, ')');
  char state = 0;
  unsigned flags = 0;
  if (!close || std::sscanf(close + 1, " %c %*d %*d %*d %*d %*d %u", &state, &flags) != 2) return true;
  // A zombie, or a process inside exit (PF_EXITING): it gives up its memory,
  // and with it its executable, before its descriptors.
  constexpr unsigned kExiting = 0x4;
  return state == 'Z' || state == 'X' || state == 'x' || (flags & kExiting) != 0;
}

uint32_t commandLine(uint32_t pid, std::string& line) {
  line.clear();
  const int fd = ::open(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return winErrorFromErrno(errno);
  std::string raw;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const uint32_t code = winErrorFromErrno(errno);
      ::close(fd);
      return code;
    }
    if (n == 0) break;
    raw.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  while (!raw.empty() && raw.back() == '\0') raw.pop_back();
  std::replace(raw.begin(), raw.end(), '\0', ' ');
  line = std::move(raw);
  return 0;
}

} // namespace platform::procfs
