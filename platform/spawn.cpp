#include "platform/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/account.h"
#include "platform/fs.h"
#include "platform/win_error.h"

extern char** environ;

namespace platform::spawn {

namespace {

// Set in a copy made by forkCopy (a worker).
bool insideCopy = false;

bool isExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The program file to run: a name with "/" as it stands, else the first
// executable of that name in PATH (found here, so that a missing program is a
// failure of the start and not a child that ends at once).
uint32_t resolveProgram(const std::string& program, std::string& path) {
  if (program.empty()) return winErrorFromErrno(ENOENT);
  if (program.find('/') != std::string::npos) {
    path = program;
    return 0;
  }
  const char* searchPath = ::getenv("PATH");
  std::string dirs = searchPath && *searchPath ? searchPath : "/usr/local/bin:/usr/bin:/bin";
  size_t begin = 0;
  while (begin <= dirs.size()) {
    size_t end = dirs.find(':', begin);
    if (end == std::string::npos) end = dirs.size();
    // An empty entry means the current directory.
    const std::string dir = end > begin ? dirs.substr(begin, end - begin) : std::string(".");
    std::string candidate = dir + "/" + program;
    if (isExecutableFile(candidate)) {
      path = std::move(candidate);
      return 0;
    }
    begin = end + 1;
  }
  return winErrorFromErrno(ENOENT);
}

std::vector<char*> pointers(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (const std::string& s : strings) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class Attributes {
 public:
  Attributes() { posix_spawnattr_init(&attr_); }
  ~Attributes() { posix_spawnattr_destroy(&attr_); }
  posix_spawnattr_t* get() { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

// The start through fork, for what posix_spawn cannot do: a child that stops
// before the program begins, or one that runs as another account. Only
// async-signal-safe calls run in the child; a failing exec reaches the
// parent through a pipe that the exec closes, so a program that cannot be run
// still fails here.
uint32_t startForked(const Request& request, const std::string& program, char* const* argv, char* const* envp,
                     int& pid) {
  const pid_t parent = ::getpid();
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return lastWinError();
  const pid_t child = ::fork();
  if (child < 0) {
    const uint32_t code = lastWinError();
    ::close(report[0]);
    ::close(report[1]);
    return code;
  }
  if (child == 0) {
    auto fail = [&](int err) {
      while (::write(report[1], &err, sizeof err) < 0 && errno == EINTR) {
      }
      ::_exit(127);
    };
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    const int fds[3] = {request.stdinFd, request.stdoutFd, request.stderrFd};
    for (int target = 0; target < 3; ++target) {
      if (fds[target] < 0) continue;
      if (fds[target] == target) {
        ::fcntl(target, F_SETFD, 0);
      } else if (::dup2(fds[target], target) < 0) {
        fail(errno);
      }
    }
    // Descriptors inherited without close-on-exec stop here; the report
    // pipe closes with the exec.
    if (report[1] > 3) ::close_range(3, static_cast<unsigned>(report[1]) - 1, 0);
    ::close_range(static_cast<unsigned>(report[1]) + 1, ~0u, 0);
    if (!account::becomeActingAccountForExec()) fail(errno);
    // A worker's programs end with it (after the change of account, which
    // clears this): a killed run leaves no engine writing behind it.
    if (insideCopy) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(128 + SIGKILL);
    }
    if (!request.workingDirectory.empty() && ::chdir(request.workingDirectory.c_str()) != 0) fail(errno);
    if (request.suspended) ::raise(SIGSTOP);
    ::execve(program.c_str(), argv, envp);
    fail(errno);
  }
  ::close(report[1]);
  if (request.suspended) {
    // The exec comes after the resume: a failing one ends the child with 127.
    ::close(report[0]);
    int status = 0;
    while (::waitpid(child, &status, WUNTRACED) < 0) {
      if (errno != EINTR) return lastWinError();
    }
    pid = child;
    return 0;
  }
  int err = 0;
  ssize_t got;
  while ((got = ::read(report[0], &err, sizeof err)) < 0 && errno == EINTR) {
  }
  ::close(report[0]);
  if (got == static_cast<ssize_t>(sizeof err)) {
    int status = 0;
    ::kill(child, SIGCONT);
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return winErrorForPath(err, program);
  }
  pid = child;
  return 0;
}

} // namespace

uint32_t start(const Request& request, int& pid) {
  std::string program;
  if (const uint32_t code = resolveProgram(request.program, program)) return code;
  if (!request.workingDirectory.empty()) {
    struct stat st;
    if (::stat(request.workingDirectory.c_str(), &st) != 0) return winErrorForPath(errno, request.workingDirectory);
    if (!S_ISDIR(st.st_mode)) return winerr::Directory;
  }

  std::vector<std::string> argv = request.argv;
  if (argv.empty()) argv.push_back(request.program);
  std::vector<char*> argvPointers = pointers(argv);
  std::vector<char*> envPointers;
  char* const* envp = environ;
  if (request.environment) {
    envPointers = pointers(*request.environment);
    envp = envPointers.data();
  }

  if (request.suspended || account::acting() || insideCopy)
    return startForked(request, program, argvPointers.data(), envp, pid);

  FileActions actions;
  const int fds[3] = {request.stdinFd, request.stdoutFd, request.stderrFd};
  for (int target = 0; target < 3; ++target) {
    // dup2 onto itself clears close-on-exec in glibc's spawn, as wanted.
    if (fds[target] >= 0) posix_spawn_file_actions_adddup2(actions.get(), fds[target], target);
  }
  if (!request.workingDirectory.empty())
    posix_spawn_file_actions_addchdir_np(actions.get(), request.workingDirectory.c_str());
  // Descriptors this program inherited without close-on-exec stop here too.
  posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);

  // The child starts with the default handling of every signal, whatever this
  // program set up for its own faults, and with nothing blocked.
  Attributes attributes;
  sigset_t all;
  sigfillset(&all);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(attributes.get(), &all);
  posix_spawnattr_setsigmask(attributes.get(), &none);
  posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  pid_t child = -1;
  const int rc = ::posix_spawn(&child, program.c_str(), actions.get(), attributes.get(), argvPointers.data(), envp);
  if (rc != 0) return winErrorForPath(rc, program);
  pid = child;
  return 0;
}

uint32_t createPipe(int& readEnd, int& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return lastWinError();
  readEnd = fds[0];
  writeEnd = fds[1];
  return 0;
}

// Through the file layer, so that a child's streams in a confined tree are
// the regular files named there and nothing a link leads to.
uint32_t openInputFile(const std::string& path, int& fd) {
  fs::OpenMode mode;
  mode.sequential = true;
  if (const uint32_t code = fs::openFile(path, mode, fd)) return code;
  char start[3];
  if (::pread(fd, start, sizeof start, 0) == 3 && std::memcmp(start, kByteOrderMark, 3) == 0) ::lseek(fd, 3, SEEK_SET);
  return 0;
}

uint32_t createOutputFile(const std::string& path, int& fd) {
  fs::OpenMode mode;
  mode.read = false;
  mode.write = true;
  mode.create = true;
  mode.truncate = true;
  return fs::openFile(path, mode, fd);
}

void closeFd(int fd) noexcept {
  if (fd >= 0) ::close(fd);
}

uint32_t writeFd(int fd, const void* buffer, size_t count) {
  const char* p = static_cast<const char*>(buffer);
  while (count > 0) {
    const ssize_t n = ::write(fd, p, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return lastWinError();
    }
    p += n;
    count -= static_cast<size_t>(n);
  }
  return 0;
}

namespace {

void describe(int status, Ending& ending) {
  ending.exited = true;
  if (WIFSIGNALED(status)) {
    ending.signal = WTERMSIG(status);
    ending.status = 0;
    ending.killed = ending.signal == SIGKILL;
  } else {
    ending.signal = 0;
    ending.status = WEXITSTATUS(status);
  }
}

// One look without blocking: true when the child was reaped.
uint32_t reapIfEnded(int pid, Ending& ending) {
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      describe(status, ending);
      return 0;
    }
    if (r == 0) return 0;
    if (errno != EINTR) return lastWinError();
  }
}

} // namespace

uint32_t wait(int pid, int timeoutMilliseconds, Ending& ending) {
  ending = Ending{};
  if (pid <= 0) return winErrorFromErrno(ECHILD);
  if (timeoutMilliseconds < 0) {
    for (;;) {
      int status = 0;
      if (::waitpid(pid, &status, 0) == pid) {
        describe(status, ending);
        return 0;
      }
      if (errno != EINTR) return lastWinError();
    }
  }
  if (const uint32_t code = reapIfEnded(pid, ending); code != 0 || ending.exited || timeoutMilliseconds == 0)
    return code;

  // A pidfd becomes readable when the child ends; without one, look again
  // every millisecond.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left > 0) {
      if (pidfd >= 0) {
        struct pollfd p = {pidfd, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(left));
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    const uint32_t code = reapIfEnded(pid, ending);
    if (code != 0 || ending.exited || left <= 0) {
      if (pidfd >= 0) ::close(pidfd);
      return code;
    }
  }
}

uint32_t kill(int pid) {
  if (pid <= 0) return winErrorFromErrno(ESRCH);
  return ::kill(pid, SIGKILL) == 0 ? 0 : lastWinError();
}

uint32_t resume(int pid) {
  if (pid <= 0) return winErrorFromErrno(ESRCH);
  return ::kill(pid, SIGCONT) == 0 ? 0 : lastWinError();
}

uint32_t forkCopy(int& pid) {
  const pid_t parent = ::getpid();
  std::fflush(nullptr);  // what is buffered is printed once, by the parent
  const pid_t child = ::fork();
  if (child < 0) return lastWinError();
  if (child == 0) {
    insideCopy = true;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(128 + SIGKILL);  // the parent ended before the line above
  }
  pid = child;
  return 0;
}

void exitCopy(int code) noexcept {
  std::fflush(nullptr);
  ::_exit(code);
}

uint32_t waitReadable(const std::vector<int>& fds, int timeoutMilliseconds, std::vector<size_t>& ready) {
  ready.clear();
  std::vector<struct pollfd> polled;
  for (const int fd : fds) polled.push_back({fd, POLLIN, 0});
  for (;;) {
    const int n = ::poll(polled.data(), polled.size(), timeoutMilliseconds);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return lastWinError();
    break;
  }
  for (size_t i = 0; i < polled.size(); ++i)
    if (polled[i].revents != 0) ready.push_back(i);
  return 0;
}

std::vector<std::string> currentEnvironment() {
  std::vector<std::string> out;
  for (char** e = environ; e && *e; ++e) out.emplace_back(*e);
  return out;
}

} // namespace platform::spawn
