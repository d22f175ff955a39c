#include "support/logging.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "config/registry.h"
#include "platform/account.h"
#include "platform/log_file.h"
#include "platform/named_lock.h"
#include "platform/process_identity.h"
#include "platform/run_shared.h"
#include "platform/system_log.h"
#include "platform/text.h"
#include "platform/win_error.h"
#include "support/command_line.h"
#include "support/execution_context.h"
#include "support/file_ops.h"
#include "support/guard.h"
#include "support/named_mutex.h"

const char* logLevelWord(int level) {
  static const char* const words[] = {"Info", "Warning", "Result", "Error", "Unexpected", "Crash"};
  return level >= 0 && level <= 5 ? words[level] : "Unknown level";
}

namespace {

using registry::HKEY_LOCAL_MACHINE;

constexpr const char* kEventLogKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog";
constexpr const char* kLogName = "Tarvo";

std::atomic<uint32_t> debugQueries{0};
std::atomic<uint32_t> debugCache{0};

// What keeps the logging from working as configured, said once per run on
// the system log and the console, where an operator sees it.
std::mutex noticeMutex;
std::string pendingNotice;

void noteOnce(platform::RunFlag said, const std::string& text) {
  if (platform::runFlag(said).exchange(true)) return;
  const std::lock_guard<std::mutex> guard(noticeMutex);
  pendingNotice = text;
}

// Installation paths may come with Windows separators.
std::string combinePath(std::string base, const std::string& more) {
  for (char& c : base)
    if (c == '\\') c = '/';
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + "/" + more;
}

std::string productRoot() { return registry::getstr(HKEY_LOCAL_MACHINE, kConfigKey, "PRODUCT_ROOT_D", registry::View32); }

platform::EventType eventTypeOf(LogLevel level) {
  switch (level) {
    case Info: return platform::EventType::Information;
    case Warning: return platform::EventType::Warning;
    case Result: return platform::EventType::Success;
    default: return platform::EventType::Error;
  }
}

// Makes sure the log "Tarvo" and the source's key exist with their values,
// then opens the source. Runs under the system-wide registration mutex.
std::unique_ptr<platform::SystemLog> registerEventSource(const std::string& source) {
  ExclusiveTask task(kEventSourceMutex);
  const std::string logKey = std::string(kEventLogKey) + "\\" + kLogName;
  if (!registry::keyExists(HKEY_LOCAL_MACHINE, logKey, registry::ViewDefault)) {
    registry::Key key;
    registry::create(HKEY_LOCAL_MACHINE, logKey, key, registry::KeyAllAccess);
    registry::set(key, "MaxSize", 8388608u);
    registry::set(key, "Retention", 0u);
  }
  registry::Key key;
  registry::create(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\EventLog\\" + std::string(kLogName) + "\\" + source,
                   key, registry::KeyAllAccess);
  registry::set(key, "TypesSupported", 7u);
  // Without a product root the events still go out, only unnamed.
  std::string root;
  if (registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, "PRODUCT_ROOT_D", root, registry::REG_SZ, registry::View32) ==
      0)
    registry::set(key, "EventMessageFile", combinePath(root, "admin/bin64/eventmsg.dll"));
  return std::make_unique<platform::SystemLog>(source);
}

void printToConsole(OutputSwitches& switches, const std::string& text) {
  // Each message a line of its own, the last one ended too, so that what
  // follows on the terminal or in a scheduler's mail starts on a new line.
  // A closed console fails these writes, and the run goes on without it.
  switches.bytes[OutputSwitches::kConsolePrinted] = 1;
  std::fputs(text.c_str(), stdout);
  std::fputs("\n", stdout);
  std::fflush(stdout);
}

// The named mutex of a channel, kept open between entries so that an entry
// costs a lock and an unlock of the lock file rather than an open and a
// close too. A forked child opens its own: a lock file opened before the fork
// is one open file for both, and flock would let both in at once.
VMutex& channelMutex(const std::string& name) {
  struct Held {
    uint32_t processId;
    std::unique_ptr<VMutex> mutex;
  };
  static std::map<std::string, Held>* held = new std::map<std::string, Held>;  // lives to the end of the process
  const std::string mutexName = "tarvolog_" + name + "_mutex";
  Held& entry = (*held)[platform::lockFilePath(mutexName)];  // the lock directory may change
  if (!entry.mutex || entry.processId != platform::processId()) {
    entry.mutex.reset();
    entry.mutex = std::make_unique<VMutex>(mutexName);
    entry.processId = platform::processId();
  }
  return *entry.mutex;
}

} // namespace

bool debuggingEnabled() {
  if (debugQueries.fetch_add(1) % 16 == 0) {
    uint32_t value = debugCache.load();
    try {
      if (registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, "Debug", value, registry::View32) == 0) debugCache = value;
    } catch (const vexception& e) {
      // A value that cannot be read is as good as 0, and must not cost the entry.
      debugCache = 0;
      noteOnce(platform::RunFlag::DebugValueReported,
               "The registry value Debug under HKEY_LOCAL_MACHINE\\" + std::string(kConfigKey) + " cannot be read (" +
                   e.message() + "); it must be a dword. Logging goes on as with Debug 0.");
    }
  }
  return debugCache.load() != 0;
}

void writeLogChannelEntry(const std::string& channel, uint32_t defaultEnabled, const std::string& entryText) {
  const std::string name = channel.empty() ? platform::programFileName() : channel;
  const registry::OneReading switches;
  uint32_t enabled = defaultEnabled;
  registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, "log_" + name + "_enabled", enabled, registry::View32);
  if (!enabled) return;

  const std::string directory = combinePath(productRoot(), "admin/logs");
  // Threads of this process share the channel's lock file, and flock does not
  // tell them apart: they take turns here first.
  static std::mutex channelsGuard;
  const std::lock_guard<std::mutex> turn(channelsGuard);
  VMutex& mutex = channelMutex(name);
  // A lock that another process keeps past the wait does not cost the
  // entry: one write with O_APPEND does not interleave with other entries.
  // It is waited for once; later entries of the process only try it.
  static std::set<std::string> stuckChannels;
  std::optional<vexception> stuck;
  if (stuckChannels.count(name)) {
    mutex.tryLock();
  } else {
    try {
      mutex.lock();
    } catch (const vexception& e) {
      stuckChannels.insert(name);
      stuck = e;
    }
  }
  struct Unlock {
    VMutex& mutex;
    ~Unlock() { mutex.unlock(); }
  } unlock{mutex};

  // One reading of the clock gives both the file's date and the time stamp.
  const platform::LocalTime t = platform::localTime();
  // Fixed-size fields: formatted in place, without a counting pass.
  char date[16];
  std::snprintf(date, sizeof date, "%04d%02d%02d", t.year, t.month, t.day);
  char stamp[80];
  std::snprintf(stamp, sizeof stamp, "%04d%s%02d%s%02d %02d:%02d:%02d.%03d %u %u ", t.year, "/", t.month, "/", t.day,
                t.hour, t.minute, t.second, t.milliseconds, platform::processId(), platform::threadId());
  const std::string path = directory + "/tarvolog_" + name + date + ".log";
  const std::string entry = stamp + entryText + "\r\n";
  uint32_t code = platform::appendLogEntry(path, "\xFF\xFE", text::toUtf16le(entry));
  // The product root is there but not its logs directory: it is made, as the
  // installation would have.
  if (code == platform::winerr::PathNotFound && fileExist(directoryOf(directoryOf(directory)))) {
    makeDir(directory);
    code = platform::appendLogEntry(path, "\xFF\xFE", text::toUtf16le(entry));
  }
  if (code) throwOsException("Write to file '" + path + "'", code, Place{"", "LogChannel::write", 112});
  if (stuck) throw *stuck;  // the entry is written; the caller tells the other outputs why it waited
}

struct LogManager::Impl {
  std::mutex eventMutex;
  std::unique_ptr<platform::SystemLog> eventLog;
  std::string eventSourceName;
};

LogManager::LogManager() : impl_(new Impl) {
  bool created = false;
  OutputSwitches& switches = outputSwitches(&created);
  if (!created) return;  // another module of the process set them up
  bool debugging = false;
  try {
    debugging = debuggingEnabled();
  } catch (...) {
  }
  for (int level = Info; level <= Crash; ++level) {
    switches.setConsole(level, level >= Result);
    switches.setEventLog(level, level >= Error || debugging);
  }
}

LogManager& LogManager::instance() {
  static LogManager* manager = new LogManager;  // lives to the end of the process
  return *manager;
}

void LogManager::logException(LogLevel level, const vexception& e) noexcept {
  std::string text;
  try {
    text = e.fullMessage();
  } catch (...) {
    return;
  }
  dispatch(level, text);
}

void LogManager::dispatch(LogLevel level, const std::string& message) noexcept {
  // Each output gives up only itself when it fails. The daily log is the
  // installation's, whichever account the process works as.
  std::string lockTrouble;
  try {
    const platform::account::ProgramAccountScope asProgram;
    if (debuggingEnabled() || level >= Error)
      writeLogChannelEntry("debug", 1, text::fromAnsi(logLevelWord(level)) + std::string(": ") + message);
  } catch (const vexception& e) {
    if (e.message().rfind("Waited ", 0) == 0) {
      lockTrouble = e.fullMessage();
    } else {
      noteOnce(platform::RunFlag::DailyLogReported,
               "Entries cannot be written to the daily log (" + e.message() +
                   "); until that is repaired they go to the system log and the console only.");
    }
  } catch (...) {
  }
  if (!lockTrouble.empty()) dispatch(Error, lockTrouble);
  OutputSwitches* switches = nullptr;
  try {
    switches = &outputSwitches();
  } catch (...) {
    return;
  }
  try {
    if (switches->eventLog(level)) reportEvent(level, message);
  } catch (...) {
  }
  try {
    if (switches->console(level)) printToConsole(*switches, message);
  } catch (...) {
  }
  std::string notice;
  {
    const std::lock_guard<std::mutex> guard(noticeMutex);
    notice.swap(pendingNotice);
  }
  if (!notice.empty()) dispatch(Error, notice);
}

const std::string& LogManager::eventSourceName() {
  if (impl_->eventSourceName.empty()) impl_->eventSourceName = platform::programFileName();
  return impl_->eventSourceName;
}

platform::SystemLog* LogManager::getEventLog() noexcept {
  try {
    std::lock_guard<std::mutex> guard(impl_->eventMutex);
    if (!impl_->eventLog) impl_->eventLog = registerEventSource(eventSourceName());
    return impl_->eventLog.get();
  } catch (...) {
    return nullptr;  // no event this time; the next report registers again
  }
}

void LogManager::reportEvent(LogLevel level, const std::string& message) {
  platform::SystemLog* source = getEventLog();
  if (!source) return;
  std::lock_guard<std::mutex> guard(impl_->eventMutex);
  if (!source->report(eventTypeOf(level), message)) impl_->eventLog.reset();
}

void writeToUtilExecLog(bool start, const std::string& utility, const std::string& arguments,
                        uint64_t elapsedMilliseconds) noexcept {
  try {
    guardLog(Info, Place{"writeToUtilExecLog", "writeToUtilExecLog", 36}, [&] {
      const std::string status = start ? std::string() : std::to_string(elapsedMilliseconds);
      const std::string entry = formatString("execUtil(%s)\t%s\t%s\t%s\t%s\n", start ? "Start" : "End",
                                             platform::programPath(), utility, maskPasswords(arguments), status);
      writeLogChannelEntry("util_exec", 0, entry);
    });
  } catch (...) {
  }
}
