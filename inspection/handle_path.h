// The path behind one open descriptor of another process. Asking the file
// system can hang (a network file system that does not answer), so the
// question runs on a worker thread that the caller waits for only so long.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/proc_fs.h"

namespace inspection {

constexpr std::chrono::milliseconds kResolveTimeout{2000};

struct HandleObject {
  platform::procfs::ObjectKind kind = platform::procfs::ObjectKind::Other;
  std::string path;  // empty when it could not be resolved
};

// Runs resolve on a worker thread and waits at most timeout. On time-out it
// logs the Warning entry and answers nothing; the worker is left to end by
// itself (a thread cannot be stopped safely) and touches nothing of the
// caller's when it does.
std::optional<HandleObject> resolveOnWorker(std::function<HandleObject()> resolve, unsigned handle,
                                            std::chrono::milliseconds timeout);

// What the descriptor refers to. A file or directory whose path cannot be
// had raises "GetFilePathByHandle() function cannot resolve file name." with
// code 3; other objects (devices and the like) come back with kind Other.
HandleObject getFilePathByHandle(uint32_t pid, int fd, std::chrono::milliseconds timeout = kResolveTimeout);

} // namespace inspection
