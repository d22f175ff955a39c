// Webalizer statistics of one domain.
#pragma once

#include <string>
#include <vector>

#include "config/web_stat_config.h"

struct AddressNames;

namespace LogForWebalizer {
// Runs Webalizer over every log file beside the configuration, in order; the
// first failing log file ends the domain with its exception. Files left by an
// interrupted run (".sort1", ".sort2", ".prepared") are first turned back
// into their chunks and are never processed as chunks of their own.
// Webalizer finds the client addresses' names in names (none when null) and
// looks nothing up itself.
void processConfig(const WebStatConfig& config, const AddressNames* names = nullptr);
// One chunk: prepared (unless a marker says it already is), Webalizer run
// into the kind's statistics directory, leftovers of AWStats removed,
// permissions repaired, the chunk deleted. Webalizer failing to start or
// ending with a non-zero exit code raises, and the chunk stays.
void processLogFile(const LogSource& source, const WebStatConfig& config, const AddressNames* names = nullptr);
// The client addresses of the configuration's log files (and of what an
// interrupted run left beside them), each once, added to addresses.
void collectAddresses(const WebStatConfig& config, std::vector<std::string>& addresses);
// Turns the leftovers of an interrupted preparation in the directory back
// into chunks; logs what it did.
void recoverInterruptedPreparation(const std::string& directory);
} // namespace LogForWebalizer

// Moves the file aside to path + thread id + seconds since 1970 and returns
// that name; a taken name is retried a second later, 16 attempts in all.
std::string backupFile(const std::string& path);
// True for the names of the preparation's own files beside a chunk.
bool isPreparationLeftover(const std::string& path);
