// Windows error codes are the program's error numbers (2 file not found,
// 3 path not found, 5 access denied, 32 sharing violation, ...). The calls of
// platform/ fail with errno; these functions turn it into the matching code
// and give back the system's text for a code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

namespace winerr {
constexpr uint32_t Success = 0;
constexpr uint32_t FileNotFound = 2;
constexpr uint32_t PathNotFound = 3;
constexpr uint32_t TooManyOpenFiles = 4;
constexpr uint32_t AccessDenied = 5;
constexpr uint32_t InvalidHandle = 6;
constexpr uint32_t NotEnoughMemory = 8;
constexpr uint32_t OutOfMemory = 14;
constexpr uint32_t NotSameDevice = 17;
constexpr uint32_t NoMoreFiles = 18;
constexpr uint32_t WriteFault = 29;
constexpr uint32_t ReadFault = 30;
constexpr uint32_t SharingViolation = 32;
constexpr uint32_t HandleEof = 38;
constexpr uint32_t NotSupported = 50;
constexpr uint32_t FileExists = 80;
constexpr uint32_t InvalidParameter = 87;
constexpr uint32_t BrokenPipe = 109;
constexpr uint32_t DiskFull = 112;
constexpr uint32_t InsufficientBuffer = 122;
constexpr uint32_t InvalidName = 123;
constexpr uint32_t DirNotEmpty = 145;
constexpr uint32_t AlreadyExists = 183;
constexpr uint32_t FilenameExcedRange = 206;
constexpr uint32_t PipeBusy = 231;
constexpr uint32_t NoData = 232;
constexpr uint32_t MoreData = 234;
constexpr uint32_t WaitTimeout = 258;
constexpr uint32_t Directory = 267;
constexpr uint32_t StoppedOnSymlink = 681;
constexpr uint32_t NotRegularFile = 1920;
constexpr uint32_t Timeout = 1460;
} // namespace winerr

// The Windows code for an errno value. ENOENT gives 2; callers that know the
// failing path use winErrorForPath, which gives 3 when a parent is missing.
uint32_t winErrorFromErrno(int err);
uint32_t winErrorForPath(int err, const std::string& path);
// The code of the current errno.
uint32_t lastWinError();

// The system text of a code: strerror of the errno it came from. A code with
// no errno counterpart has no system text.
std::optional<std::string> systemMessage(uint32_t code);

} // namespace platform
