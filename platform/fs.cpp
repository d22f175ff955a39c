#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "platform/win_error.h"

namespace platform::fs {

namespace {

// Paths below this length go to the kernel as they are; longer ones are
// walked in pieces of at most kChunk bytes.
constexpr size_t kDirectLimit = PATH_MAX;
constexpr size_t kChunk = PATH_MAX / 2;

// The tree the process is confined to (see confineBeneath): its path and a
// descriptor of its directory.
struct Confinement {
  std::string root;
  int fd = -1;
};
Confinement confinement;

// The part of path below the confinement root ("" when path is not below it).
std::string beneathRoot(const std::string& path) {
  if (confinement.fd < 0) return {};
  const std::string& root = confinement.root;
  if (path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 || path[root.size()] != '/')
    return {};
  std::string rest = path.substr(root.size() + 1);
  while (!rest.empty() && rest.back() == '/') rest.pop_back();
  while (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
  return rest;
}

// One step down from dir, inside the confinement: no link in any component
// and nothing that leads out of the tree.
int openBeneath(int dir, const std::string& relative) {
  struct open_how how {};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  for (;;) {
    const long fd = ::syscall(SYS_openat2, dir, relative.c_str(), &how, sizeof how);
    if (fd >= 0 || errno != EAGAIN) return static_cast<int>(fd);
  }
}

// The directory a *at call works relative to, and the name within it.
class At {
 public:
  explicit At(const std::string& path) {
    const std::string beneath = beneathRoot(path);
    if (!beneath.empty()) {
      confined_ = true;
      walked_ = true;
      const size_t slash = beneath.rfind('/');
      name_ = slash == std::string::npos ? beneath : beneath.substr(slash + 1);
      dir_ = ::fcntl(confinement.fd, F_DUPFD_CLOEXEC, 0);
      if (dir_ < 0) walkError_ = errno;
      else if (slash != std::string::npos) walkComponents(beneath.substr(0, slash));
      return;
    }
    if (path.size() < kDirectLimit) {
      name_ = path;
      return;
    }
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const size_t slash = p.rfind('/');
    if (slash == std::string::npos) {
      name_ = p;  // one component longer than any name: the kernel says so
      return;
    }
    name_ = p.substr(slash + 1);
    walkTo(slash == 0 ? std::string("/") : p.substr(0, slash));
  }
  ~At() {
    if (dir_ >= 0) ::close(dir_);
  }
  At(const At&) = delete;
  At& operator=(const At&) = delete;

  int dir() const { return dir_ >= 0 ? dir_ : AT_FDCWD; }
  const char* name() const { return name_.c_str(); }
  // errno of the walk to the parent; 0 when the parent was reached.
  int walkError() const { return walkError_; }
  bool walked() const { return walked_; }
  // The path lies in the confined tree: its last component is never followed
  // either, and only regular files and directories are opened.
  bool confined() const { return confined_; }

 private:
  void walkTo(const std::string& parent) {
    walked_ = true;
    if (parent[0] == '/') {
      dir_ = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (dir_ < 0) {
        walkError_ = errno;
        return;
      }
    }
    walkComponents(parent);
  }

  void walkComponents(const std::string& parent) {
    std::string chunk;
    size_t pos = 0;
    while (pos <= parent.size()) {
      size_t end = parent.find('/', pos);
      if (end == std::string::npos) end = parent.size();
      const std::string component = parent.substr(pos, end - pos);
      pos = end + 1;
      if (component.empty()) continue;
      if (!chunk.empty() && chunk.size() + component.size() + 1 >= kChunk) {
        if (!step(chunk)) return;
        chunk.clear();
      }
      if (!chunk.empty()) chunk += '/';
      chunk += component;
    }
    if (!chunk.empty()) step(chunk);
  }

  bool step(const std::string& chunk) {
    const int next = confined_ ? openBeneath(dir(), chunk) : ::openat(dir(), chunk.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (next < 0) {
      walkError_ = errno;
      return false;
    }
    if (dir_ >= 0) ::close(dir_);
    dir_ = next;
    return true;
  }

  int dir_ = -1;
  std::string name_;
  int walkError_ = 0;
  bool walked_ = false;
  bool confined_ = false;
};

uint32_t codeFor(int err, const std::string& path, const At& at) {
  if (at.confined() && (err == ELOOP || err == EXDEV)) return winerr::StoppedOnSymlink;
  if (err == ENOTDIR) return winerr::Directory;
  if (err != ENOENT) return winErrorFromErrno(err);
  if (at.walked()) return at.walkError() ? winerr::PathNotFound : winerr::FileNotFound;
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return winErrorForPath(err, p);
}

// Runs call(dir, name) for the path; answers 0 or the code of errno.
template <class Call>
uint32_t atCall(const std::string& path, Call&& call) {
  At at(path);
  if (at.walkError()) return codeFor(at.walkError(), path, at);
  if (call(at.dir(), at.name()) == 0) return 0;
  return codeFor(errno, path, at);
}

void fill(const struct stat& st, EntryStatus& status) {
  status.isSymlink = S_ISLNK(st.st_mode);
  status.isDirectory = S_ISDIR(st.st_mode);
  status.isRegular = S_ISREG(st.st_mode);
  status.ownerWritable = status.isSymlink || (st.st_mode & S_IWUSR) != 0;
  status.mode = st.st_mode & 07777;
  status.owner = st.st_uid;
  status.group = st.st_gid;
  status.size = static_cast<uint64_t>(st.st_size);
  status.modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  status.device = st.st_dev;
  status.inode = st.st_ino;
  status.links = st.st_nlink;
  switch (st.st_mode & S_IFMT) {
    case S_IFREG: status.kind = "regular file"; break;
    case S_IFDIR: status.kind = "directory"; break;
    case S_IFLNK: status.kind = "symbolic link"; break;
    case S_IFIFO: status.kind = "FIFO"; break;
    case S_IFSOCK: status.kind = "socket"; break;
    default: status.kind = "device"; break;
  }
}

int statAt(int dir, const char* name, EntryStatus& status, bool confined = false) {
  struct stat st {};
  if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  fill(st, status);
  // Inside the confined tree a link leads nowhere, so it is no directory.
  if (status.isSymlink && !confined) {
    struct stat target {};
    status.isDirectory = ::fstatat(dir, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
  }
  return 0;
}

// Opens name in dir as the flags say. In the confined tree the last component
// is never followed, a FIFO or device never blocks the opening and is
// refused (1920), and a directory is accepted only when allowDirectory.
int openChecked(const At& at, int flags, mode_t createMode, bool allowDirectory) {
  if (!at.confined()) return ::openat(at.dir(), at.name(), flags, createMode);
  const int fd = ::openat(at.dir(), at.name(), flags | O_NOFOLLOW | O_NONBLOCK, createMode);
  if (fd < 0) return fd;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || (allowDirectory && S_ISDIR(st.st_mode)))) {
    ::close(fd);
    errno = 0;
    return -2;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// The code of a failed openChecked.
uint32_t openFailure(int result, const std::string& path, const At& at) {
  if (result == -2) return winerr::NotRegularFile;
  const int err = errno;
  if (err == EEXIST) return winerr::FileExists;
  return codeFor(err, path, at);
}

} // namespace

uint32_t statEntry(const std::string& path, EntryStatus& status) {
  status = EntryStatus{};
  At at(path);
  if (at.walkError()) return codeFor(at.walkError(), path, at);
  if (statAt(at.dir(), at.name(), status, at.confined()) == 0) return 0;
  return codeFor(errno, path, at);
}

uint32_t windowsAttributes(const EntryStatus& status) {
  uint32_t attributes = 0;
  if (status.isDirectory) attributes |= 0x10;
  if (status.isSymlink) attributes |= 0x400;
  if (!status.ownerWritable) attributes |= 0x1;
  return attributes ? attributes : 0x80;
}

uint32_t setOwnerWritable(const std::string& path) {
  return atCall(path, [](int dir, const char* name) {
    struct stat st {};
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (S_ISLNK(st.st_mode) || (st.st_mode & S_IWUSR)) return 0;
    return ::fchmodat(dir, name, (st.st_mode & 07777) | S_IWUSR, AT_SYMLINK_NOFOLLOW);
  });
}

uint32_t setMode(const std::string& path, uint32_t mode) {
  return atCall(path, [mode](int dir, const char* name) {
    struct stat st {};
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (S_ISLNK(st.st_mode)) return 0;
    return ::fchmodat(dir, name, static_cast<mode_t>(mode & 07777), AT_SYMLINK_NOFOLLOW);
  });
}

uint32_t setOwner(const std::string& path, uint32_t owner, uint32_t group) {
  return atCall(path, [&](int dir, const char* name) {
    return ::fchownat(dir, name, static_cast<uid_t>(owner), static_cast<gid_t>(group), AT_SYMLINK_NOFOLLOW);
  });
}

uint32_t flushHandle(int fd) {
  while (::fdatasync(fd) != 0)
    if (errno != EINTR) return lastWinError();
  return 0;
}

namespace {
uint32_t flushOpened(const std::string& path, int flags, bool data) {
  int fd = -1;
  const uint32_t code = atCall(path, [&](int dir, const char* name) {
    fd = ::openat(dir, name, flags | O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    return fd < 0 ? -1 : 0;
  });
  if (code) return code;
  int rc;
  while ((rc = data ? ::fdatasync(fd) : ::fsync(fd)) != 0 && errno == EINTR) {
  }
  const uint32_t result = rc == 0 ? 0 : lastWinError();
  ::close(fd);
  return result;
}
} // namespace

uint32_t flushFile(const std::string& path) { return flushOpened(path, 0, true); }

uint32_t flushDirectory(const std::string& path) { return flushOpened(path, O_DIRECTORY, false); }

uint32_t removeFile(const std::string& path) {
  return atCall(path, [](int dir, const char* name) { return ::unlinkat(dir, name, 0); });
}

uint32_t removeDirectory(const std::string& path) {
  const uint32_t code = atCall(path, [](int dir, const char* name) { return ::unlinkat(dir, name, AT_REMOVEDIR); });
  // POSIX lets rmdir answer EEXIST for a directory that is not empty.
  return code == winerr::AlreadyExists ? winerr::DirNotEmpty : code;
}

uint32_t renameEntry(const std::string& from, const std::string& to, bool replace) {
  At source(from);
  if (source.walkError()) return codeFor(source.walkError(), from, source);
  At target(to);
  if (target.walkError()) return codeFor(target.walkError(), to, target);
  int rc = ::renameat2(source.dir(), source.name(), target.dir(), target.name(), replace ? 0 : RENAME_NOREPLACE);
  if (rc != 0 && errno == EINVAL && !replace) {
    // A file system without RENAME_NOREPLACE: check, then move.
    struct stat st {};
    if (::fstatat(target.dir(), target.name(), &st, AT_SYMLINK_NOFOLLOW) == 0) return winerr::AlreadyExists;
    rc = ::renameat(source.dir(), source.name(), target.dir(), target.name());
  }
  if (rc == 0) return 0;
  const int err = errno;
  if (err == ENOENT) {
    struct stat st {};
    if (::fstatat(source.dir(), source.name(), &st, AT_SYMLINK_NOFOLLOW) != 0) return codeFor(ENOENT, from, source);
    return winerr::PathNotFound;  // the source is there: the target's directory is not
  }
  return codeFor(err, from, source);
}

uint32_t makeDirectory(const std::string& path, uint32_t mode) {
  return atCall(path, [mode](int dir, const char* name) { return ::mkdirat(dir, name, static_cast<mode_t>(mode)); });
}

uint32_t makeSymlink(const std::string& target, const std::string& link) {
  return atCall(link, [&](int dir, const char* name) { return ::symlinkat(target.c_str(), dir, name); });
}

uint32_t readSymlink(const std::string& path, std::string& target) {
  return atCall(path, [&](int dir, const char* name) {
    std::vector<char> buf(256);
    for (;;) {
      const ssize_t n = ::readlinkat(dir, name, buf.data(), buf.size());
      if (n < 0) return -1;
      if (static_cast<size_t>(n) < buf.size()) {
        target.assign(buf.data(), static_cast<size_t>(n));
        return 0;
      }
      buf.resize(buf.size() * 2);
    }
  });
}

uint32_t copyFile(const std::string& from, const std::string& to, bool failIfExists) {
  At source(from);
  if (source.walkError()) return codeFor(source.walkError(), from, source);
  const int in = openChecked(source, O_RDONLY | O_CLOEXEC, 0, true);
  if (in < 0) return openFailure(in, from, source);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } inCloser{in};
  struct stat st {};
  if (::fstat(in, &st) != 0) return lastWinError();
  if (S_ISDIR(st.st_mode)) return winerr::AccessDenied;

  At target(to);
  if (target.walkError()) return codeFor(target.walkError(), to, target);
  struct stat existing {};
  if (::fstatat(target.dir(), target.name(), &existing, target.confined() ? AT_SYMLINK_NOFOLLOW : 0) == 0 &&
      existing.st_dev == st.st_dev && existing.st_ino == st.st_ino)
    return failIfExists ? winerr::FileExists : winerr::SharingViolation;

  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : O_TRUNC);
  const int out = openChecked(target, flags, st.st_mode & 0777, false);
  if (out < 0) return openFailure(out, to, target);
  uint32_t code = 0;
  std::vector<char> buf(256 * 1024);
  for (;;) {
    const ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      code = lastWinError();
      break;
    }
    if (n == 0) break;
    size_t done = 0;
    while (done < static_cast<size_t>(n)) {
      const ssize_t w = ::write(out, buf.data() + done, static_cast<size_t>(n) - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        code = w < 0 ? lastWinError() : winerr::WriteFault;
        break;
      }
      done += static_cast<size_t>(w);
    }
    if (code) break;
  }
  if (!code) {
    ::fchmod(out, st.st_mode & 07777);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out, times);
  }
  if (::close(out) != 0 && !code) code = lastWinError();
  if (code) ::unlinkat(target.dir(), target.name(), 0);
  return code;
}

uint32_t firstHole(const std::string& path, uint64_t& offset) {
  At at(path);
  if (at.walkError()) return codeFor(at.walkError(), path, at);
  const int fd = openChecked(at, O_RDONLY | O_CLOEXEC, 0, false);
  if (fd < 0) return openFailure(fd, path, at);
  const off_t hole = ::lseek(fd, 0, SEEK_HOLE);
  const uint32_t code = hole < 0 ? lastWinError() : 0;
  ::close(fd);
  offset = hole < 0 ? 0 : static_cast<uint64_t>(hole);
  return code;
}

std::string currentDirectory() {
  std::vector<char> buf(PATH_MAX);
  for (;;) {
    if (::getcwd(buf.data(), buf.size())) return std::string(buf.data());
    if (errno != ERANGE) return {};
    buf.resize(buf.size() * 2);
  }
}

uint32_t refusesWrites(const std::string& path) {
  struct statvfs st {};
  if (::statvfs(path.c_str(), &st) != 0) return 0;
  if (st.f_flag & ST_RDONLY) return winErrorFromErrno(EROFS);
  // The blocks kept for the superuser count when it is the superuser asking.
  const auto left = ::geteuid() == 0 ? st.f_bfree : st.f_bavail;
  if (left == 0) return winErrorFromErrno(ENOSPC);
  return 0;
}

std::string volumeRoot(const std::string& path) {
  std::string current = path;
  while (current.size() > 1 && current.back() == '/') current.pop_back();
  struct stat st {};
  // The nearest item that exists decides the file system.
  while (::stat(current.c_str(), &st) != 0) {
    const size_t slash = current.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    current.resize(slash);
  }
  for (;;) {
    const size_t slash = current.rfind('/');
    if (slash == std::string::npos) return current;
    const std::string parent = slash == 0 ? std::string("/") : current.substr(0, slash);
    struct stat up {};
    if (::stat(parent.c_str(), &up) != 0 || up.st_dev != st.st_dev) return current;
    if (parent == "/") return parent;
    current = parent;
  }
}

uint32_t openFile(const std::string& path, const OpenMode& mode, int& fd) {
  fd = -1;
  int flags = O_CLOEXEC;
  if (mode.read && (mode.write || mode.append)) flags |= O_RDWR;
  else if (mode.write || mode.append) flags |= O_WRONLY;
  else flags |= O_RDONLY;
  if (mode.append) flags |= O_APPEND;
  if (mode.create) flags |= O_CREAT;
  if (mode.create && mode.exclusive) flags |= O_EXCL;
  if (mode.truncate) flags |= O_TRUNC;
  if (mode.noFollow) flags |= O_NOFOLLOW;
  At at(path);
  if (at.walkError()) return codeFor(at.walkError(), path, at);
  const int opened = openChecked(at, flags, static_cast<mode_t>(mode.createMode), mode.directory);
  if (opened < 0) return openFailure(opened, path, at);
  struct stat st {};
  if (!mode.directory && ::fstat(opened, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(opened);
    return winerr::AccessDenied;
  }
  if (mode.sequential) ::posix_fadvise(opened, 0, 0, POSIX_FADV_SEQUENTIAL);
  fd = opened;
  return 0;
}

uint32_t readFile(int fd, void* buffer, size_t count, size_t& got) {
  got = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, count);
    if (n >= 0) {
      got = static_cast<size_t>(n);
      return 0;
    }
    if (errno != EINTR) return lastWinError();
  }
}

uint32_t writeFile(int fd, const void* buffer, size_t count, size_t& written) {
  written = 0;
  const char* data = static_cast<const char*>(buffer);
  while (written < count) {
    const ssize_t n = ::write(fd, data + written, count - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return lastWinError();
    if (n == 0) return 0;
    written += static_cast<size_t>(n);
  }
  return 0;
}

uint32_t seekFile(int fd, int64_t distance, int origin, uint64_t& position) {
  const int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : -1;
  if (whence < 0) return winerr::InvalidParameter;
  const off_t at = ::lseek(fd, static_cast<off_t>(distance), whence);
  if (at < 0) return lastWinError();
  position = static_cast<uint64_t>(at);
  return 0;
}

void closeFile(int fd) noexcept {
  if (fd >= 0) ::close(fd);
}

uint32_t confineBeneath(const std::string& directory) {
  const int fd = ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return winErrorForPath(errno, directory);
  if (confinement.fd >= 0) ::close(confinement.fd);
  confinement.fd = fd;
  confinement.root = directory;
  while (confinement.root.size() > 1 && confinement.root.back() == '/') confinement.root.pop_back();
  return 0;
}

bool isConfined(const std::string& path) { return !beneathRoot(path).empty(); }

uint32_t openItem(const std::string& path, int& fd) {
  fd = -1;
  At at(path);
  if (at.walkError()) return codeFor(at.walkError(), path, at);
  const int opened = ::openat(at.dir(), at.name(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (opened < 0) return codeFor(errno, path, at);
  fd = opened;
  return 0;
}

uint32_t statHandle(int fd, EntryStatus& status) {
  status = EntryStatus{};
  struct stat st {};
  if (::fstatat(fd, "", &st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) return lastWinError();
  fill(st, status);
  return 0;
}

struct DirectoryReader::Impl {
  DIR* dir = nullptr;
  bool confined = false;
  ~Impl() {
    if (dir) ::closedir(dir);
  }
};

DirectoryReader::DirectoryReader() : impl_(std::make_unique<Impl>()) {}
DirectoryReader::~DirectoryReader() = default;

uint32_t DirectoryReader::open(const std::string& path) {
  if (impl_->dir) {
    ::closedir(impl_->dir);
    impl_->dir = nullptr;
  }
  At at(path.empty() ? std::string(".") : path);
  if (at.walkError()) return codeFor(at.walkError(), path, at);
  impl_->confined = at.confined();
  const int fd = ::openat(at.dir(), at.name(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (at.confined() ? O_NOFOLLOW : 0));
  if (fd < 0) return codeFor(errno, path, at);
  impl_->dir = ::fdopendir(fd);
  if (!impl_->dir) {
    const uint32_t code = lastWinError();
    ::close(fd);
    return code;
  }
  return 0;
}

uint32_t DirectoryReader::next(std::string& name, bool& atEnd) {
  atEnd = false;
  if (!impl_->dir) {
    atEnd = true;
    return 0;
  }
  errno = 0;
  const struct dirent* entry = ::readdir(impl_->dir);
  if (!entry) {
    if (errno) return lastWinError();
    atEnd = true;
    return 0;
  }
  name = entry->d_name;
  return 0;
}

uint32_t DirectoryReader::statEntry(const std::string& name, EntryStatus& status) {
  status = EntryStatus{};
  if (!impl_->dir) return winerr::InvalidHandle;
  if (statAt(::dirfd(impl_->dir), name.c_str(), status, impl_->confined) != 0) {
    const int err = errno;
    return err == ENOTDIR ? winerr::Directory : winErrorFromErrno(err);
  }
  return 0;
}

OpenDirectory::~OpenDirectory() {
  if (fd_ >= 0) ::close(fd_);
}

OpenDirectory::OpenDirectory(OpenDirectory&& other) noexcept
    : fd_(other.fd_), device_(other.device_), inode_(other.inode_) {
  other.fd_ = -1;
}

OpenDirectory& OpenDirectory::operator=(OpenDirectory&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    device_ = other.device_;
    inode_ = other.inode_;
    other.fd_ = -1;
  }
  return *this;
}

uint32_t OpenDirectory::take(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const uint32_t code = lastWinError();
    ::close(fd);
    return code;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  device_ = st.st_dev;
  inode_ = st.st_ino;
  return 0;
}

namespace {
// ELOOP from O_NOFOLLOW: the name is a link, which is no directory to enter.
uint32_t openCode(int err, const std::string& path, const At* at) {
  if (err == ELOOP) return winerr::Directory;
  return at ? codeFor(err, path, *at) : (err == ENOTDIR ? winerr::Directory : winErrorFromErrno(err));
}
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
} // namespace

uint32_t OpenDirectory::open(const std::string& path) {
  At at(path);
  if (at.walkError()) return codeFor(at.walkError(), path, at);
  const int fd = ::openat(at.dir(), at.name(), kDirectoryFlags);
  if (fd < 0) return openCode(errno, path, &at);
  return take(fd);
}

uint32_t OpenDirectory::openChild(const std::string& name, OpenDirectory& child) const {
  if (fd_ < 0) return winerr::InvalidHandle;
  const int fd = ::openat(fd_, name.c_str(), kDirectoryFlags);
  if (fd < 0) return openCode(errno, name, nullptr);
  return child.take(fd);
}

uint32_t OpenDirectory::openParent(uint64_t device, uint64_t inode, OpenDirectory& parent) const {
  if (fd_ < 0) return winerr::InvalidHandle;
  const int fd = ::openat(fd_, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return winErrorFromErrno(errno);
  OpenDirectory found;
  if (const uint32_t code = found.take(fd)) return code;
  if (found.device_ != device || found.inode_ != inode) return winerr::PathNotFound;
  parent = std::move(found);
  return 0;
}

uint32_t OpenDirectory::list(std::vector<Entry>& entries) const {
  entries.clear();
  if (fd_ < 0) return winerr::InvalidHandle;
  // A second descriptor of the same open directory, read from the start.
  const int copy = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return lastWinError();
  DIR* dir = ::fdopendir(copy);
  if (!dir) {
    const uint32_t code = lastWinError();
    ::close(copy);
    return code;
  }
  ::rewinddir(dir);
  uint32_t unknown = 0;
  for (;;) {
    errno = 0;
    const struct dirent* found = ::readdir(dir);
    if (!found) {
      const int err = errno;
      ::closedir(dir);
      if (!err) return unknown;
      entries.clear();
      return winErrorFromErrno(err);
    }
    if (std::strcmp(found->d_name, ".") == 0 || std::strcmp(found->d_name, "..") == 0) continue;
    Entry entry;
    entry.name = found->d_name;
    if (statAt(fd_, found->d_name, entry.status) != 0) {
      const int err = errno;
      if (err == ENOENT) continue;
      entry.code = err == ENOTDIR ? winerr::Directory : winErrorFromErrno(err);
      unknown = entry.code;
    }
    entries.push_back(std::move(entry));
  }
}

std::string OpenDirectory::pathOf(const std::string& name) const {
  // The kernel's link to the open directory; the "." makes the directory,
  // not that link, the parent of the name, for calls that look at a parent.
  return "/proc/self/fd/" + std::to_string(fd_) + "/./" + name;
}

} // namespace platform::fs
