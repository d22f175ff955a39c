#include "support/process.h"

#include "platform/fs.h"
#include "platform/process_identity.h"
#include "platform/spawn.h"
#include "platform/text.h"
#include "support/command_line.h"
#include "support/errors.h"
#include "support/format.h"
#include "support/guard.h"
#include "support/logging.h"

namespace {

constexpr uint32_t kInvalidHandle = 6;
constexpr uint32_t kFileNotFound = 2;

// The parent's ends and the child's ends of what start makes; whatever is
// still held when start leaves is closed.
struct Descriptors {
  int fds[6] = {-1, -1, -1, -1, -1, -1};
  ~Descriptors() {
    for (int fd : fds) platform::spawn::closeFd(fd);
  }
  int take(int i) {
    const int fd = fds[i];
    fds[i] = -1;
    return fd;
  }
};

std::string readToEnd(int fd) {
  std::string out;
  if (fd < 0) return out;
  char buffer[65536];
  for (;;) {
    size_t got = 0;
    if (platform::fs::readFile(fd, buffer, sizeof buffer, got) != 0 || got == 0) return out;
    out.append(buffer, got);
  }
}

} // namespace

vexecutil::~vexecutil() {
  platform::spawn::closeFd(stdinPipe_);
  platform::spawn::closeFd(stdoutPipe_);
  platform::spawn::closeFd(stderrPipe_);
  // A child that has already ended is reaped; a running one runs on.
  if (pid_ > 0 && !ended_) {
    platform::spawn::Ending ending;
    platform::spawn::wait(pid_, 0, ending);
  }
}

std::string vexecutil::commandLine() const {
  if (application.empty()) return arguments;
  return formatString("\"%s\" %s", application, arguments);
}

void vexecutil::start() {
  const std::string line = commandLine();
  const Place place{"", "vexecutil::start", 186};
  // The message shows the command line with its passwords masked, as every log does.
  auto fail = [&](uint32_t code) {
    const std::string masked = maskPasswords(arguments);
    const std::string shown = application.empty() ? masked : formatString("\"%s\" %s", application, masked);
    throwOsException("CreateProcess '" + shown + "'", code, place);
  };
  if (pid_ > 0) fail(kInvalidHandle);

  platform::spawn::Request request;
  request.argv = splitProgramCommandLine(line);
  if (request.argv.empty()) fail(kFileNotFound);
  request.program = application.empty() ? request.argv[0] : application;
  if (environment) request.environment = &*environment;
  request.workingDirectory = workingDirectory;
  request.suspended = suspended;

  // 0/1: stdin pipe read/write, 2/3: stdout pipe read/write, 4/5: stderr pipe
  // read/write; files take the child's slot.
  Descriptors d;
  if (stdinFromPipe) {
    if (const uint32_t code = platform::spawn::createPipe(d.fds[0], d.fds[1])) fail(code);
    request.stdinFd = d.fds[0];
  } else if (!stdinFile.empty()) {
    if (const uint32_t code = platform::spawn::openInputFile(stdinFile, d.fds[0])) fail(code);
    request.stdinFd = d.fds[0];
  }
  if (stdoutToPipe) {
    if (const uint32_t code = platform::spawn::createPipe(d.fds[2], d.fds[3])) fail(code);
    request.stdoutFd = d.fds[3];
  } else if (!stdoutFile.empty()) {
    if (const uint32_t code = platform::spawn::createOutputFile(stdoutFile, d.fds[3])) fail(code);
    request.stdoutFd = d.fds[3];
  }
  if (stderrToPipe) {
    if (const uint32_t code = platform::spawn::createPipe(d.fds[4], d.fds[5])) fail(code);
    request.stderrFd = d.fds[5];
  } else if (stderrToStdout) {
    request.stderrFd = request.stdoutFd >= 0 ? request.stdoutFd : 1;
  }

  int pid = -1;
  if (const uint32_t code = platform::spawn::start(request, pid)) fail(code);
  pid_ = pid;
  ended_ = false;
  terminatedWith_.reset();
  // The child's ends close with d; the parent keeps its own.
  if (stdinFromPipe) stdinPipe_ = d.take(1);
  if (stdoutToPipe) stdoutPipe_ = d.take(2);
  if (stderrToPipe) stderrPipe_ = d.take(4);
}

void vexecutil::reaped(int status, int signal, bool killed) {
  ended_ = true;
  if (killed && terminatedWith_) {
    exitCode_ = *terminatedWith_;
  } else if (signal != 0) {
    exitCode_ = 128u + static_cast<uint32_t>(signal);
  } else {
    exitCode_ = static_cast<uint32_t>(status);
  }
}

bool vexecutil::waitForExit(uint32_t timeoutMilliseconds) {
  if (ended_) return true;
  if (pid_ <= 0) throwOsException("Lock object", kInvalidHandle, Place{"", "vexecutil::waitForExit", 210});
  const int timeout = timeoutMilliseconds == kInfinite || timeoutMilliseconds > 0x7FFFFFFFu
                          ? platform::spawn::kWaitInfinite
                          : static_cast<int>(timeoutMilliseconds);
  platform::spawn::Ending ending;
  if (const uint32_t code = platform::spawn::wait(pid_, timeout, ending))
    throwOsException("Lock object", code, Place{"", "vexecutil::waitForExit", 210});
  if (ending.exited) reaped(ending.status, ending.signal, ending.killed);
  return ending.exited;
}

uint32_t vexecutil::exitCode() {
  if (ended_) return exitCode_;
  if (pid_ <= 0) throwOsException("GetExitCodeProcess", kInvalidHandle, Place{"", "vexecutil::exitCode", 225});
  platform::spawn::Ending ending;
  if (const uint32_t code = platform::spawn::wait(pid_, 0, ending))
    throwOsException("GetExitCodeProcess", code, Place{"", "vexecutil::exitCode", 225});
  if (!ending.exited) return kStillActive;
  reaped(ending.status, ending.signal, ending.killed);
  return exitCode_;
}

void vexecutil::terminate(uint32_t code) {
  if (pid_ <= 0 || ended_) return;
  terminatedWith_ = code;
  platform::spawn::kill(pid_);
}

void vexecutil::resume() {
  if (pid_ > 0 && !ended_) platform::spawn::resume(pid_);
}

std::string vexecutil::readOutput() { return readToEnd(stdoutPipe_); }
std::string vexecutil::readError() { return readToEnd(stderrPipe_); }

void vexecutil::writeInput(const std::string& bytes) {
  if (stdinPipe_ < 0) return;
  if (const uint32_t code = platform::spawn::writeFd(stdinPipe_, bytes.data(), bytes.size()))
    throwOsException("Write to the standard input of '" + commandLine() + "'", code,
                     Place{"", "vexecutil::writeInput", 240});
}

void vexecutil::closeInput() {
  platform::spawn::closeFd(stdinPipe_);
  stdinPipe_ = -1;
}

namespace {

std::string runUtility(const std::string& application, const std::string& arguments, uint32_t* exitCode,
                       const std::string& stdinFile, const std::string& stdoutFile,
                       const std::vector<std::string>* environment, const std::string& masked) {
  vexecutil util;
  util.arguments = arguments;
  util.application = application;
  util.noWindow = true;
  util.stdinFile = stdinFile;
  if (stdoutFile.empty()) {
    util.stdoutToPipe = true;
    util.stderrToStdout = true;
  } else {
    // The file gets what the program writes as its output, nothing else.
    util.stdoutFile = stdoutFile;
    util.stderrToPipe = true;
  }
  if (environment) util.environment = *environment;

  std::string output;
  {
    FaultTranslatorScope translator;
    ThreadCancelation::CancelationPoint point(ThreadCancelation::Synchronous);
    const uint64_t started = platform::tickCount();
    writeToUtilExecLog(true, application, arguments, 0);
    LogManager::instance().log(Info, "Execute %s %s", application, masked);
    guardRethrow(Place{formatString("Execute %s %s", application, masked), "execExtUtil", 87}, [&] {
      util.start();
      // Read to the end before any wait: a child that writes more than a
      // pipe holds would otherwise block for ever.
      output = util.stdoutToPipe ? util.readOutput() : util.readError();
      if (exitCode) {
        util.waitForExit();
        *exitCode = util.exitCode();
      }
    });
    writeToUtilExecLog(false, application, arguments, platform::tickCount() - started);
  }
  std::string converted = text::fromAnsi(output);
  LogManager::instance().log(Info, "Execute %s %s result: %s", application, masked, converted);
  return converted;
}

} // namespace

std::string execExtUtil(const std::string& application, const std::string& arguments, bool throwOnError,
                        uint32_t* exitCode, const std::string& stdinFile, const std::string& stdoutFile,
                        const std::vector<std::string>* environment) {
  try {
    const std::string masked = maskPasswords(arguments);
    uint32_t code = 0;
    std::string output =
        runUtility(application, arguments, exitCode ? &code : nullptr, stdinFile, stdoutFile, environment, masked);
    if (exitCode) *exitCode = code;
    return output;
  } catch (abi::__forced_unwind&) {
    throw;  // a thread that is ending is no failure to swallow
  } catch (...) {
    if (throwOnError) throw;
    return {};
  }
}

void execExtUtilChecked(const std::string& application, const std::string& arguments, std::string& output,
                        const std::vector<std::string>* environment, const std::string& stdinFile,
                        const std::string& stdoutFile) {
  uint32_t code = 0;
  output = execExtUtil(application, arguments, true, &code, stdinFile, stdoutFile, environment);
  if (code != 0) {
    throw vexception("Execute " + application + " " + maskPasswords(arguments) + " failed[" + std::to_string(code) +
                         "]: " + output,
                     Place{"", "execExtUtilChecked", 138});
  }
}

std::vector<std::string> environmentWith(const std::string& name, const std::string& value) {
  std::vector<std::string> environment = platform::spawn::currentEnvironment();
  const std::string prefix = name + "=";
  std::erase_if(environment, [&](const std::string& entry) { return entry.compare(0, prefix.size(), prefix) == 0; });
  environment.push_back(prefix + value);
  return environment;
}
