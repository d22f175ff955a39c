#include "platform/core_dumper.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/fault_signals.h"

extern char** environ;

namespace platform {

namespace {

// One dump at a time: the buffers of write() are shared.
std::atomic<bool> dumping{false};

std::string findOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (!dir.empty()) {
      std::string candidate = dir + "/" + program;
      if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    start = end + 1;
  }
  return {};
}

bool hasTraceCapability() {
  // CAP_SYS_PTRACE is bit 19 of the effective set.
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) != 0) continue;
    unsigned long long caps = std::strtoull(line.c_str() + 7, nullptr, 16);
    return (caps >> 19) & 1u;
  }
  return geteuid() == 0;
}

void restoreErrno(int saved) { errno = saved; }

} // namespace

int ptraceScope() {
  std::ifstream in("/proc/sys/kernel/yama/ptrace_scope");
  int scope = -1;
  if (!(in >> scope)) return -1;
  return scope;
}

bool CoreDumper::prepare() {
  ready_ = false;
  const int scope = ptraceScope();
  if (scope >= 3 || (scope == 2 && !hasTraceCapability())) {
    unavailable_ = EPERM;
    return false;
  }
  dumper_ = findOnPath("gdb");
  if (dumper_.empty() && access("/usr/bin/gdb", X_OK) == 0) dumper_ = "/usr/bin/gdb";
  if (dumper_.empty()) {
    unavailable_ = ENOENT;
    return false;
  }

  env_.clear();
  for (char** e = environ; e && *e; ++e) env_.emplace_back(*e);
  envp_.clear();
  for (auto& e : env_) envp_.push_back(e.data());
  envp_.push_back(nullptr);

  std::memcpy(fileArg_, "gcore ", 6);
  fileArg_[6] = '\0';
  // The same session the gcore script runs, with the file name in our hands
  // (gcore itself would append ".<pid>" to it).
  args_ = {dumper_,
           "--nx",
           "--batch",
           "--readnever",
           "-iex",
           "set debuginfod enabled off",
           "-ex",
           "set pagination off",
           "-ex",
           "set height 0",
           "-ex",
           "set width 0",
           "-ex",
           "set use-coredump-filter off",
           "-ex",
           "attach " + std::to_string(getpid()),
           "-ex",
           "detach",
           "-ex",
           "quit"};
  const size_t filterIndex = 13;  // "set use-coredump-filter off"
  const size_t detachIndex = 16;  // the file argument goes in front of "-ex detach"
  auto build = [&](std::vector<char*>& argv, size_t& fileIndex, bool full) {
    argv.clear();
    for (size_t i = 0; i < args_.size(); ++i) {
      if (!full && (i == filterIndex - 1 || i == filterIndex)) continue;
      if (i == detachIndex) {
        argv.push_back(const_cast<char*>("-ex"));
        fileIndex = argv.size();
        argv.push_back(fileArg_);
      }
      argv.push_back(args_[i].data());
    }
    argv.push_back(nullptr);
  };
  build(argvFull_, fileArgIndexFull_, true);
  build(argvFiltered_, fileArgIndexFiltered_, false);
  unavailable_ = 0;
  ready_ = true;
  return true;
}

int CoreDumper::write(const char* path, bool fullMemory) noexcept {
  const int savedErrno = errno;
  if (!ready_) return unavailable_ ? unavailable_ : ENOENT;
  if (dumping.exchange(true)) return EBUSY;
  struct Release {
    int saved;
    ~Release() {
      dumping.store(false);
      restoreErrno(saved);
    }
  } release{savedErrno};

  const size_t length = std::strlen(path);
  if (length == 0 || length > kMaxPath) return ENAMETOOLONG;
  std::memcpy(fileArg_ + 6, path, length + 1);

  // A worker that acts as a webspace's owner writes its dump as root: the
  // dump location is the installation's. Raw calls: they change this thread
  // only and are safe in a signal handler.
  if (geteuid() != getuid()) {
    syscall(SYS_setresuid, -1, getuid(), -1);
    syscall(SYS_setresgid, -1, getgid(), -1);
  }
  // Created here so that a location we cannot write to gives its own reason.
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  close(fd);

  // The child waits on the pipe until it is allowed to trace us.
  int gate[2];
  if (pipe2(gate, O_CLOEXEC) != 0) return errno;
  char* const* argv = fullMemory ? argvFull_.data() : argvFiltered_.data();
  // _Fork runs no fork handlers, so no lock of this process is needed.
  const pid_t child = _Fork();
  if (child == 0) {
    close(gate[1]);
    char byte;
    while (read(gate[0], &byte, 1) < 0 && errno == EINTR) {
    }
    int devNull = open("/dev/null", O_RDWR);
    if (devNull >= 0) {
      dup2(devNull, 0);
      dup2(devNull, 1);
      dup2(devNull, 2);
    }
    close_range(3, ~0u, 0);
    execve(dumper_.c_str(), argv, envp_.data());
    _exit(127);
  }
  close(gate[0]);
  if (child < 0) {
    const int err = errno;
    close(gate[1]);
    return err;
  }
  // Without Yama this fails with EINVAL, and nothing is needed.
  prctl(PR_SET_PTRACER, static_cast<unsigned long>(child), 0, 0, 0);
  const char go = 1;
  (void)!::write(gate[1], &go, 1);
  close(gate[1]);

  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  prctl(PR_SET_PTRACER, 0UL, 0, 0, 0);

  struct stat st;
  if (stat(path, &st) != 0) return errno;
  if (st.st_size == 0) return EIO;
  // Without the child's status (SIGCHLD ignored) the file is the only witness.
  if (waited == child && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) return EIO;
  return 0;
}

namespace {

std::atomic<AbortSignalHook::Hook> abortHook{nullptr};
struct sigaction previousAbortAction;

void onAbort(int, siginfo_t* info, void*) {
  // Sent by another process: no heap to dump, the abort is reported as sent.
  if (info && faults::takeSentSignal(SIGABRT, info->si_code, info->si_pid)) return;
  const int savedErrno = errno;
  // A second abort while the hook runs goes straight to the old disposition.
  if (AbortSignalHook::Hook hook = abortHook.exchange(nullptr)) hook();
  sigaction(SIGABRT, &previousAbortAction, nullptr);
  // Blocked until this handler returns, then delivered to the old disposition:
  // the process ends by SIGABRT as it would have without us.
  raise(SIGABRT);
  errno = savedErrno;
}

} // namespace

AbortSignalHook::AbortSignalHook(Hook hook) {
  abortHook.store(hook);
  struct sigaction sa {};
  sa.sa_sigaction = onAbort;
  sa.sa_flags = SA_SIGINFO;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGABRT, &sa, &previousAbortAction);
}

AbortSignalHook::~AbortSignalHook() {
  abortHook.store(nullptr);
  struct sigaction current {};
  sigaction(SIGABRT, nullptr, &current);
  if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == onAbort)
    sigaction(SIGABRT, &previousAbortAction, nullptr);
}

} // namespace platform
