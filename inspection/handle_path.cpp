#include "inspection/handle_path.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/win_error.h"
#include "support/errors.h"
#include "support/logging.h"

namespace inspection {

namespace {

struct WorkerState {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::optional<HandleObject> result;
};

} // namespace

std::optional<HandleObject> resolveOnWorker(std::function<HandleObject()> resolve, unsigned handle,
                                            std::chrono::milliseconds timeout) {
  auto state = std::make_shared<WorkerState>();
  std::thread([state, resolve = std::move(resolve)] {
    std::optional<HandleObject> result;
    try {
      result = resolve();
    } catch (...) {
      // A failed resolution is an empty answer.
    }
    std::lock_guard<std::mutex> lock(state->mutex);
    state->result = std::move(result);
    state->done = true;
    state->finished.notify_all();
  }).detach();

  std::unique_lock<std::mutex> lock(state->mutex);
  if (!state->finished.wait_for(lock, timeout, [&] { return state->done; })) {
    LogManager::instance().log(
        Warning,
        "GetFinalPathNameByHandleExecutor::getFilePath(0x%hx) Terminate handle path resolving thread: timeout reached",
        handle);
    return std::nullopt;
  }
  return state->result;
}

HandleObject getFilePathByHandle(uint32_t pid, int fd, std::chrono::milliseconds timeout) {
  using platform::procfs::ObjectKind;
  const auto resolved = resolveOnWorker(
      [pid, fd] {
        HandleObject object;
        if (platform::procfs::descriptorKind(pid, fd, object.kind) != 0) {
          object.kind = ObjectKind::RegularFile;  // a file whose path is unknown
          return object;
        }
        if (object.kind != ObjectKind::Other && platform::procfs::descriptorLink(pid, fd, object.path) != 0)
          object.path.clear();
        return object;
      },
      static_cast<unsigned>(fd), timeout);
  if (resolved && resolved->kind == ObjectKind::Other) return *resolved;
  // No path: the descriptor is closed; no answer: its file system hangs.
  if (!resolved || resolved->path.empty())
    throwOsException("GetFilePathByHandle() function cannot resolve file name.",
                     resolved ? platform::winerr::PathNotFound : platform::winerr::Timeout,
                     Place{"", "GetFilePathByHandle", 463});
  return *resolved;
}

} // namespace inspection
