// Appending one entry to a log file that several processes share. The
// callers serialise whole entries with a named lock; this call only has to
// put the entry at the end in one piece.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Opens the file for reading and writing (creating it when missing, mode
// 0666 less the umask), writes byteOrderMark first when the file is empty,
// then the entry, completely, and closes the file. 0 or the Windows error code.
uint32_t appendLogEntry(const std::string& path, const std::string& byteOrderMark, const std::string& entry);

} // namespace platform
