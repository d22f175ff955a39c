// A night's logs of one kind in one engine pass. Both engines skip every
// record that is not newer than the last one they counted, so a log read
// after another loses the records it has in the last second of the one
// before. The logs of a kind that follow each other are therefore gathered
// into one log first, which the engine then sorts and reads at once.
//
// Gathering keeps every record on the disk at every step:
//  1. the logs are copied, in order, into "<first>.gathering", which is
//     flushed to the disk;
//  2. the list "<first>.gathered" names the copy and each copied log (inode,
//     size, modification time) and is flushed;
//  3. the listed logs that are still as listed are removed, the copy takes the
//     first log's name, the directory is flushed and the list goes.
// A run killed before 2 leaves a copy without its list: the logs are all
// there, the copy goes. Killed after 2, the next run finishes the gathering.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "config/web_stat_config.h"

inline constexpr const char* kGatheringSuffix = ".gathering";
inline constexpr const char* kGatheredSuffix = ".gathered";

// The copy or the list of a gathering: no log of its own.
bool isGatheringFile(const std::string& path);

// Finishes or undoes what a killed gathering left in the directory.
void recoverInterruptedGathering(const std::string& directory);

// Gathers each run of two or more logs of one kind that follow each other
// into the first of them: regular files of one name, not refused on an
// earlier night (so that their nights go on counting), that mayGather
// accepts, and gives back the logs left to process, in order. A log that changes while it is copied, or a copy
// that cannot be made, leaves that run's logs as they were (a Warning).
// fieldsLine, when given, goes before a log that has none of its own once an
// earlier log of the copy had one, so that its records are read in their own
// fields.
std::vector<LogSource> gatherLogsOfEachKind(const std::string& directory, const std::vector<LogSource>& logs,
                                            const std::function<bool(const LogSource&)>& mayGather,
                                            const std::string& fieldsLine = {});
