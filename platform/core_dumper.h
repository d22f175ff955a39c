// Core files of the running process, written from inside a fault or abort
// handler. The core is made by an outside dumper (gdb and its "gcore"
// command) started as a child that attaches to this process, so the file is
// one that gdb opens like any other core. Whatever needs memory, the PATH or
// /proc is done once by prepare(); write() only makes calls that are safe in
// a signal handler (open, fork without handlers, execve, waitpid, prctl).
//
// The dumper needs the right to trace this process: with Yama's
// ptrace_scope 1 write() names the dumper as the allowed tracer for the
// time of the dump; scope 2 needs CAP_SYS_PTRACE and scope 3 forbids it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

class CoreDumper {
 public:
  // Longest dump path write() accepts, without the terminator.
  static constexpr size_t kMaxPath = 260;

  CoreDumper() = default;
  CoreDumper(const CoreDumper&) = delete;
  CoreDumper& operator=(const CoreDumper&) = delete;

  // Finds the dumper (gdb on the PATH, else /usr/bin/gdb) and builds its
  // command line for this process. False when no dump can work here; write()
  // then fails with the errno kept in unavailableReason().
  bool prepare();
  bool ready() const { return ready_; }
  int unavailableReason() const { return unavailable_; }
  const std::string& dumperPath() const { return dumper_; }

  // Writes a core of this process into path and waits for the dumper.
  // fullMemory also dumps the mappings the kernel's coredump filter leaves
  // out. Returns 0 or an errno value (EIO: the dumper wrote no core; EBUSY:
  // another thread is dumping right now). Safe in a signal handler.
  int write(const char* path, bool fullMemory) noexcept;

 private:
  bool ready_ = false;
  int unavailable_ = 0;
  std::string dumper_;
  std::vector<std::string> env_;
  std::vector<char*> envp_;
  std::vector<std::string> args_;
  std::vector<char*> argvFull_;
  std::vector<char*> argvFiltered_;
  size_t fileArgIndexFull_ = 0;
  size_t fileArgIndexFiltered_ = 0;
  // "gcore " + path, filled in by write().
  char fileArg_[6 + kMaxPath + 1] = {};
};

// While it exists, an abort of the process (SIGABRT, which glibc raises when
// it finds the heap corrupted) first calls the hook on the aborting thread;
// then the disposition that was there before takes over again, so the
// process still ends by SIGABRT. A SIGABRT sent by another process is no
// abort: it goes to faults::takeSentSignal. Only one may exist at a time.
class AbortSignalHook {
 public:
  using Hook = void (*)() noexcept;
  explicit AbortSignalHook(Hook hook);
  ~AbortSignalHook();
  AbortSignalHook(const AbortSignalHook&) = delete;
  AbortSignalHook& operator=(const AbortSignalHook&) = delete;
};

// Yama's ptrace_scope (0 to 3); -1 when Yama is not active.
int ptraceScope();

} // namespace platform
