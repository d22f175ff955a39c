// The running process's own command line, as the system keeps it.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The arguments of this process, program path first, exactly as the kernel
// holds them (/proc/self/cmdline). Empty when they cannot be read.
std::vector<std::string> ownCommandLine();

} // namespace platform
