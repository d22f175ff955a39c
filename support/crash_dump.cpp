#include "support/crash_dump.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <utility>
#include <vector>

#include "config/registry.h"
#include "platform/fault_signals.h"
#include "platform/proc_fs.h"
#include "platform/process_identity.h"
#include "platform/win_error.h"
#include "support/errors.h"
#include "support/fault_translator.h"
#include "support/file_ops.h"
#include "support/logging.h"

namespace {

std::atomic<CrashDumpInfo*> currentInfo{nullptr};
// The fault path shares the object's name buffers: one dump at a time.
std::atomic<bool> writing{false};

int dumpInto(platform::CoreDumper& dumper, const char* path, uint32_t dumpType) noexcept {
  return dumper.write(path, (dumpType & dump_type::FullMemory) != 0);
}

void dumpForFault(uint32_t code) noexcept {
  if (CrashDumpInfo* info = currentInfo.load()) {
    const CrashExceptionRecord record{code};
    writeCrashDump(&record, *info);
  }
}

void dumpForHeapCorruption() noexcept { dumpForFault(crash_code::HeapCorruption); }

void logSentSignal(int signal, int senderPid) {
  std::string sender;
  if (platform::procfs::commandLine(static_cast<uint32_t>(senderPid), sender) != 0 || sender.empty())
    sender.clear();
  else
    sender = " (" + sender + ")";
  LogManager::instance().log(Error, "Ended by signal %s sent by process %d%s", platform::faults::signalName(signal),
                             senderPid, sender);
}

std::string programNameWithoutExtension() {
  std::string name = platform::programPath();
  if (size_t slash = name.find_last_of('/'); slash != std::string::npos) name.erase(0, slash + 1);
  if (size_t dot = name.find_last_of('.'); dot != std::string::npos && dot != 0) name.erase(dot);
  return name;
}

// Days since 1970-01-01 to year, month and day of the proleptic Gregorian
// calendar (H. Hinnant's civil_from_days); plain arithmetic, no library call.
void civilFromDays(long long days, int& year, int& month, int& day) noexcept {
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const long long dayOfEra = days - era * 146097;
  const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const long long mp = (5 * dayOfYear + 2) / 153;
  day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
}

void putDigits(char* out, int value, int width) noexcept {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

long utcOffset(std::time_t t) {
  std::tm local{};
  if (!localtime_r(&t, &local)) return 0;
  return local.tm_gmtoff;
}

} // namespace

SignalSafeLocalClock::SignalSafeLocalClock() {
  const std::time_t now = std::time(nullptr);
  offset_ = utcOffset(now);
  // Daily probes over a year find each change of the offset; a bisection
  // then finds its second.
  long last = offset_;
  std::time_t probed = now;
  for (int day = 1; day <= 400 && changes_ < kMaxChanges; ++day) {
    const std::time_t t = now + static_cast<std::time_t>(day) * 86400;
    const long offset = utcOffset(t);
    if (offset == last) {
      probed = t;
      continue;
    }
    std::time_t before = probed, after = t;
    while (after - before > 1) {
      const std::time_t mid = before + (after - before) / 2;
      (utcOffset(mid) == last ? before : after) = mid;
    }
    changeAt_[changes_] = after;
    offsetFrom_[changes_] = offset;
    ++changes_;
    last = offset;
    probed = t;
  }
}

long SignalSafeLocalClock::offsetAt(std::time_t t) const noexcept {
  long offset = offset_;
  for (int i = 0; i < changes_ && changeAt_[i] <= t; ++i) offset = offsetFrom_[i];
  return offset;
}

void SignalSafeLocalClock::format(std::time_t t, char (&out)[20]) const noexcept {
  const long long local = static_cast<long long>(t) + offsetAt(t);
  long long days = local / 86400;
  long long seconds = local % 86400;
  if (seconds < 0) {
    seconds += 86400;
    --days;
  }
  int year, month, day;
  civilFromDays(days, year, month, day);
  putDigits(out, year, 4);
  putDigits(out + 4, month, 2);
  putDigits(out + 6, day, 2);
  out[8] = '_';
  putDigits(out + 9, static_cast<int>(seconds / 3600), 2);
  putDigits(out + 11, static_cast<int>(seconds / 60 % 60), 2);
  putDigits(out + 13, static_cast<int>(seconds % 60), 2);
  out[15] = '\0';
}

// Writes a dump when the process aborts (glibc's answer to a corrupted heap);
// the abort itself goes on.
class CrashDumpInfo::HeapCorruptionHandler {
 public:
  HeapCorruptionHandler() : hook_(&dumpForHeapCorruption) {}

 private:
  platform::AbortSignalHook hook_;
};

void CrashDumpInfo::install() noexcept {
  static std::once_flag once;
  std::call_once(once, [] {
    // Constructed here, destroyed with the other statics at exit.
    static CrashDumpInfo processWide;
  });
}

CrashDumpInfo* CrashDumpInfo::current() noexcept { return currentInfo.load(); }

CrashDumpInfo::CrashDumpInfo() noexcept {
  try {
    setUp();
  } catch (...) {
    enabled_ = false;
  }
  if (!enabled_) {
    heapHandler_.reset();
    return;
  }
  currentInfo.store(this);
  setFaultDumpHook(&dumpForFault);
  faultHookSet_ = true;
}

void CrashDumpInfo::setUp() {
  registry::Key key;
  registry::open(registry::HKEY_LOCAL_MACHINE, kConfigKey, key, registry::KeyRead, registry::View32);
  uint32_t enabled = 1;
  registry::lookup(key, "CrashDumpsEnabled", enabled);
  if (enabled == 0) {
    enabled_ = false;
    return;
  }
  std::string root;
  if (registry::lookup(key, "PRODUCT_ROOT_D", root) != 0 || root.empty()) {
    enabled_ = false;
    return;
  }
  location_ = VFileName::combine(normalizeFilePath(root), "etc/crashdumps");
  std::string location;
  if (registry::lookup(key, "CrashDumpsLocation", location) == 0) location_ = normalizeFilePath(location);
  makeDir(location_);
  uint32_t maxCount = 0;
  if (registry::lookup(key, "CrashDumpsMaxCount", maxCount) == 0) maxCount_ = maxCount;
  prefix_ = programNameWithoutExtension();
  // location + "/" + prefix + the 19 characters of the file name must fit.
  if (location_.size() + 1 + prefix_.size() + 19 > platform::CoreDumper::kMaxPath) {
    enabled_ = false;
    return;
  }
  dumper_.prepare();
  heapHandler_ = std::make_unique<HeapCorruptionHandler>();
}

CrashDumpInfo::~CrashDumpInfo() {
  if (faultHookSet_) setFaultDumpHook(nullptr);
  if (!enabled_) return;
  try {
    tearDown();
  } catch (...) {
    // Clean-up at exit reports nothing.
  }
  heapHandler_.reset();
  CrashDumpInfo* self = this;
  currentInfo.compare_exchange_strong(self, nullptr);
}

void CrashDumpInfo::tearDown() {
  std::vector<std::pair<std::filesystem::file_time_type, std::string>> dumps;
  // Only "*.dmp" names count: packed dumps (".zip") are the operator's and
  // stay, whatever their age.
  VFileFinder finder;
  if (finder.first(VFileName::combine(location_, "*.dmp"))) {
    do {
      if (finder.isDots() || finder.isDirectory()) continue;
      std::string path = VFileName::combine(location_, finder.name());
      std::error_code ec;
      auto written = std::filesystem::last_write_time(path, ec);
      if (ec) continue;
      dumps.emplace_back(written, std::move(path));
    } while (finder.next());
  }
  // Oldest first; a name carries its second, so it settles equal times.
  std::sort(dumps.begin(), dumps.end());
  for (size_t i = 0; dumps.size() - i > maxCount_; ++i) removeFile(dumps[i].second, true);
}

const char* CrashDumpInfo::formatFileName() noexcept {
  if (!enabled_) return nullptr;
  clock_.format(std::time(nullptr), fileName_);
  std::memcpy(fileName_ + 15, ".dmp", 5);
  // "%s/%s%s" of location, prefix and file name; the lengths were checked at
  // set-up.
  char* out = path_;
  std::memcpy(out, location_.data(), location_.size());
  out += location_.size();
  *out++ = '/';
  std::memcpy(out, prefix_.data(), prefix_.size());
  out += prefix_.size();
  std::memcpy(out, fileName_, sizeof fileName_);
  return path_;
}

std::string CrashDumpInfo::getFileName() {
  const char* path = formatFileName();
  if (!path) throw vexception("Crash dumping does not enabled", Place{"", "CrashDumpInfo::getFileName", 653});
  return path;
}

void installSignalHandling() {
  platform::faults::setStartDispositions();
  platform::faults::reportSentSignals(&logSentSignal);
}

void writeCrashDump(const CrashExceptionRecord* record, CrashDumpInfo& info) noexcept {
  if (!record || !info.enabled()) return;
  if (writing.exchange(true)) return;
  if (const char* path = info.formatFileName()) dumpInto(info.dumper(), path, dump_type::Crash);
  writing.store(false);
}

void internalDumpMiniDump(const std::string& path, const CrashExceptionRecord*, uint32_t dumpType) {
  platform::CoreDumper own;
  platform::CoreDumper* dumper = &own;
  if (CrashDumpInfo* info = CrashDumpInfo::current(); info && info->dumper().ready())
    dumper = &info->dumper();
  else
    own.prepare();
  if (int err = dumpInto(*dumper, path.c_str(), dumpType))
    throwOsException("Unable to generate dump file", platform::winErrorForPath(err, path),
                     Place{"", "internalDumpMiniDump", 702});
}
