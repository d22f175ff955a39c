// The execution context: one small record shared by every module of the
// process (the program and the shared modules it loads), holding the output
// switches of the logger and the registry of cancellation points.
//
// The program exports the pointer variable below. A module finds the context
// by looking that variable up in every loaded module; the first one that is
// set supplies the context (its reference count goes up by one). If none is
// set, the module makes a new context. Either way the module then sets its
// own variable, so modules loaded later find the context through it too.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace ThreadCancelation {
class CancelationPoint;
}

// Thirteen one-byte flags: bytes 0 to 5 the console switches of the levels 0
// to 5, bytes 6 to 11 their event-log switches, byte 12 set once the console
// has printed a message.
struct OutputSwitches {
  static constexpr int kLevels = 6;
  static constexpr int kConsolePrinted = 12;
  unsigned char bytes[13] = {};

  bool console(int level) const { return level >= 0 && level < kLevels && bytes[level] != 0; }
  bool eventLog(int level) const { return level >= 0 && level < kLevels && bytes[kLevels + level] != 0; }
  void setConsole(int level, bool on) { bytes[level] = on ? 1 : 0; }
  void setEventLog(int level, bool on) { bytes[kLevels + level] = on ? 1 : 0; }
};
static_assert(sizeof(OutputSwitches) == 13);

struct ExecutionContext {
  std::atomic<long> referenceCount{1};
  // Guards the cancellation registry below and the creation of the switches.
  std::mutex lock;
  // Every open cancellation point of the process, and per thread its innermost one.
  std::vector<ThreadCancelation::CancelationPoint*> points;
  std::unordered_map<std::thread::id, ThreadCancelation::CancelationPoint*> currentPoints;
  OutputSwitches* switches = nullptr;  // made on demand
};

extern "C" {
extern ExecutionContext* m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22;
}

// The process's context as this module sees it; found or made on first use.
ExecutionContext& executionContext();
// The output switches of the context, made zeroed when first asked for;
// created tells whether this call made them.
OutputSwitches& outputSwitches(bool* created = nullptr);
