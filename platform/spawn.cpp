#include "platform/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/win_error.h"

extern char** environ;

namespace platform::spawn {

namespace {

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

// The suspended start: fork, set the child up, stop it, then exec. Only
// async-signal-safe calls run in the child.
uint32_t startSuspended(const Request& request, const std::string& program, char* const* argv, char* const* envp,
                        int& pid) {
  const pid_t child = ::fork();
  if (child < 0) return lastWinError();
  if (child == 0) {
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
        ::_exit(127);
      }
    }
    if (!request.workingDirectory.empty() && ::chdir(request.workingDirectory.c_str()) != 0) ::_exit(127);
    ::closefrom(3);
    ::raise(SIGSTOP);
    ::execve(program.c_str(), argv, envp);
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, WUNTRACED) < 0) {
    if (errno != EINTR) return lastWinError();
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

  if (request.suspended) return startSuspended(request, program, argvPointers.data(), envp, pid);

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

uint32_t openInputFile(const std::string& path, int& fd) {
  fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return winErrorForPath(errno, path);
  return 0;
}

uint32_t createOutputFile(const std::string& path, int& fd) {
  fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return winErrorForPath(errno, path);
  return 0;
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

std::vector<std::string> currentEnvironment() {
  std::vector<std::string> out;
  for (char** e = environ; e && *e; ++e) out.emplace_back(*e);
  return out;
}

} // namespace platform::spawn
