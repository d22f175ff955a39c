// Crash dumps. Unless the installation turns them off, the program writes a
// core file of itself when a processor fault is translated inside a guarded
// operation and when the heap is found corrupted (glibc's abort). The dumps
// go to a directory of the installation, named after the program and the
// local time (web_statistics_executor20261204_183050.dmp); at exit only the
// newest "CrashDumpsMaxCount" of them are kept.
//
// Registry values, key "SOFTWARE\Tarvo\ZUL Config\Config":
//   "CrashDumpsEnabled"   number, 0 turns dumps off (default on)
//   "PRODUCT_ROOT_D"      installation root; missing or empty: dumps off
//   "CrashDumpsLocation"  dump directory (default root + "etc/crashdumps")
//   "CrashDumpsMaxCount"  dumps kept at exit (default 10)
// Any failure of the set-up (unreadable values, a location that cannot be
// created) turns dumps off silently; the program starts normally.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "platform/core_dumper.h"

// What the dump is written for.
struct CrashExceptionRecord {
  uint32_t code = 0;  // the Windows code of the fault (0xc0000005, ...)
};

namespace crash_code {
constexpr uint32_t HeapCorruption = 0xc0000374u;
} // namespace crash_code

// Dump contents, as bits: data segments, full memory, handle data.
namespace dump_type {
constexpr uint32_t DataSegments = 1;
constexpr uint32_t FullMemory = 2;
constexpr uint32_t HandleData = 4;
constexpr uint32_t Crash = DataSegments | FullMemory | HandleData;
} // namespace dump_type

// Local time without the C library's time-zone lock, for the fault path: the
// offsets from UTC of the coming year are looked up once, when it is built.
class SignalSafeLocalClock {
 public:
  SignalSafeLocalClock();
  // "%04d%02d%02d_%02d%02d%02d" of the local time at t into out: 15
  // characters and a terminator.
  void format(std::time_t t, char (&out)[20]) const noexcept;

 private:
  long offsetAt(std::time_t t) const noexcept;
  static constexpr int kMaxChanges = 8;
  std::time_t changeAt_[kMaxChanges] = {};
  long offsetFrom_[kMaxChanges] = {};
  int changes_ = 0;
  long offset_ = 0;  // before the first change
};

class CrashDumpInfo {
 public:
  // Sets up the process-wide object once; it is torn down at exit. The entry
  // calls this before anything else.
  static void install() noexcept;
  // The object the fault and abort handlers write through; null when none.
  static CrashDumpInfo* current() noexcept;

  // Reads the registry, creates the location and, when dumps are on,
  // registers the fault and heap-corruption handlers. Never throws.
  CrashDumpInfo() noexcept;
  // Applies the count limit and removes the handlers. Never throws.
  ~CrashDumpInfo();
  CrashDumpInfo(const CrashDumpInfo&) = delete;
  CrashDumpInfo& operator=(const CrashDumpInfo&) = delete;

  bool enabled() const { return enabled_; }
  uint32_t maxCount() const { return maxCount_; }
  const std::string& location() const { return location_; }
  const std::string& prefix() const { return prefix_; }

  // The path of a new dump, named after the current second. Raises
  // "Crash dumping does not enabled" when dumps are off.
  std::string getFileName();
  // The same into the object's own buffer, without allocating: for the
  // fault path. Null when dumps are off.
  const char* formatFileName() noexcept;

  platform::CoreDumper& dumper() { return dumper_; }

 private:
  void setUp();
  void tearDown();

  bool enabled_ = true;
  uint32_t maxCount_ = 10;
  std::string location_;
  std::string prefix_;
  char fileName_[20] = {};
  char path_[platform::CoreDumper::kMaxPath + 1] = {};
  SignalSafeLocalClock clock_;
  platform::CoreDumper dumper_;
  class HeapCorruptionHandler;
  std::unique_ptr<HeapCorruptionHandler> heapHandler_;
  bool faultHookSet_ = false;
};

// The signal handling the program relies on, set up by the entry before
// anything else, whatever its starter left: children can be waited for, a
// closed console or pipe makes writes fail instead of ending the process,
// and a fault or abort signal that another process sent (kill -SEGV) is no
// crash: it is logged as what it is, at level Error ("Ended by signal SIGSEGV
// sent by process 4711 (kill -SEGV 1234)"), no dump is written, and the
// process ends by that signal as a killed program does.
void installSignalHandling();

// Writes a dump for the record when dumps are on; nothing when they are off
// or there is no record. A dump that cannot be written is passed over. Safe
// in a signal handler.
void writeCrashDump(const CrashExceptionRecord* record, CrashDumpInfo& info) noexcept;

// Writes a dump of the given type into path; raises the system error with
// "Unable to generate dump file" when it cannot.
void internalDumpMiniDump(const std::string& path, const CrashExceptionRecord* record, uint32_t dumpType);
