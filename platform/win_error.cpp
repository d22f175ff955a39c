#include "platform/win_error.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace platform {

namespace {
// Several errno values share one Windows code (EACCES, EPERM and EROFS are
// all 5); the text of a code names the errno it came from last on this
// thread, so a read-only file system does not read "Permission denied".
struct LastMapping {
  uint32_t code = 0;
  int err = 0;
};
thread_local LastMapping lastMapping;

uint32_t codeOf(int err) {
  switch (err) {
    case 0: return winerr::Success;
    case ENOENT: return winerr::FileNotFound;
    case ENOTDIR: return winerr::PathNotFound;
    case EMFILE:
    case ENFILE: return winerr::TooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS: return winerr::AccessDenied;
    case EBADF: return winerr::InvalidHandle;
    case ENOMEM: return winerr::OutOfMemory;
    case EBUSY:
    case ETXTBSY: return winerr::SharingViolation;
    case EEXIST: return winerr::AlreadyExists;
    case EINVAL: return winerr::InvalidParameter;
    case EPIPE: return winerr::NoData;
    case ENOSPC:
    case EDQUOT: return winerr::DiskFull;
    case ENAMETOOLONG: return winerr::FilenameExcedRange;
    case ENOTEMPTY: return winerr::DirNotEmpty;
    case EISDIR: return winerr::AccessDenied;
    case ELOOP: return winerr::InvalidName;
    case EAGAIN: return winerr::PipeBusy;
    case ETIMEDOUT: return winerr::Timeout;
    case ECONNREFUSED: return winerr::PipeBusy;
    case ECONNRESET: return winerr::BrokenPipe;
    case EIO: return winerr::ReadFault;
    case EOPNOTSUPP: return winerr::NotSupported;
    case EXDEV: return winerr::NotSameDevice;
    default: return 0x20000000u | static_cast<uint32_t>(err);  // customer bit: no Windows twin
  }
}
} // namespace

uint32_t winErrorFromErrno(int err) {
  const uint32_t code = codeOf(err);
  if (code != winerr::Success) lastMapping = {code, err};
  return code;
}

uint32_t winErrorForPath(int err, const std::string& path) {
  if (err != ENOENT) return winErrorFromErrno(err);
  uint32_t code = winerr::FileNotFound;
  const auto slash = path.find_last_of('/');
  if (slash != std::string::npos && slash != 0) {
    struct stat st {};
    const std::string parent(path.data(), slash);
    if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) code = winerr::PathNotFound;
  }
  lastMapping = {code, ENOENT};
  return code;
}

uint32_t lastWinError() { return winErrorFromErrno(errno); }

namespace {
int errnoOf(uint32_t code) {
  if (code == lastMapping.code) return lastMapping.err;
  if (code & 0x20000000u) return static_cast<int>(code & ~0x20000000u);
  switch (code) {
    case winerr::FileNotFound: return ENOENT;
    case winerr::PathNotFound: return ENOENT;
    case winerr::TooManyOpenFiles: return EMFILE;
    case winerr::AccessDenied: return EACCES;
    case winerr::InvalidHandle: return EBADF;
    case winerr::NotEnoughMemory:
    case winerr::OutOfMemory: return ENOMEM;
    case winerr::SharingViolation: return EBUSY;
    case winerr::FileExists:
    case winerr::AlreadyExists: return EEXIST;
    case winerr::InvalidParameter: return EINVAL;
    case winerr::BrokenPipe:
    case winerr::NoData: return EPIPE;
    case winerr::DiskFull: return ENOSPC;
    case winerr::FilenameExcedRange: return ENAMETOOLONG;
    case winerr::DirNotEmpty: return ENOTEMPTY;
    case winerr::InvalidName: return ELOOP;
    case winerr::PipeBusy: return EAGAIN;
    case winerr::Timeout: return ETIMEDOUT;
    case winerr::ReadFault:
    case winerr::WriteFault: return EIO;
    case winerr::NotSupported: return EOPNOTSUPP;
    case winerr::Directory: return ENOTDIR;
    case winerr::NotSameDevice: return EXDEV;
    default: return 0;
  }
}
} // namespace

std::optional<std::string> systemMessage(uint32_t code) {
  if (code == 0) return std::string("Success");
  // The refusals of a confined tree have no errno of their own.
  if (code == winerr::StoppedOnSymlink)
    return std::string("A symbolic link is in the way; no link is followed inside a webspace");
  if (code == winerr::NotRegularFile) return std::string("Not a regular file (a FIFO, a device or a socket)");
  const int e = errnoOf(code);
  if (e == 0) return std::nullopt;
  char buf[256];
  // GNU strerror_r returns the text, which may not be in buf.
  const char* msg = strerror_r(e, buf, sizeof buf);
  if (!msg || std::strncmp(msg, "Unknown error", 13) == 0) return std::nullopt;
  return std::string(msg);
}

} // namespace platform


