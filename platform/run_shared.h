// Flags that the workers of one run share with each other and with the run
// itself: a word of memory mapped before any worker is forked, so that "say
// it once per run" holds however many processes do the run's work.
#pragma once

#include <atomic>
#include <cstddef>

namespace platform {

enum class RunFlag : size_t { AWStatsNotInstalledReported, DebugValueReported, DailyLogReported, Count };

// The flag, shared by this process and every copy forked from it.
std::atomic<bool>& runFlag(RunFlag flag);

} // namespace platform
