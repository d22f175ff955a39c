// Who holds a file open: the other processes of the machine that have one of
// the items, or something beneath one of them, open. A diagnostic aid for the
// messages of failed deletions, moves and copies: it never raises for a
// process or descriptor it cannot inspect, it logs what it skipped.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace RunTime {

// One "PID(%d) '%s'" per process (its command line, else its executable),
// sorted and unique. Items are full paths.
std::set<std::string> getProccessesByOpenedFiles(const std::vector<std::string>& items);

} // namespace RunTime
