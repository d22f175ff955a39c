// Walks the descriptors (and current directories) of every other process and
// keeps those that name one of the items or something beneath one. A process
// that ends while it is read is passed over without a word.
#include "inspection/open_files.h"

#include "inspection/handle_path.h"
#include "inspection/path_relation.h"
#include "platform/proc_fs.h"
#include "platform/process_identity.h"
#include "platform/text.h"
#include "platform/win_error.h"
#include "support/errors.h"
#include "support/format.h"
#include "support/guard.h"
#include "support/logging.h"

namespace {

namespace procfs = platform::procfs;
constexpr const char* kFunction = "RunTime::getProccessesByOpenedFiles";

class HolderSearch {
 public:
  explicit HolderSearch(const std::vector<std::string>& items) : items_(items.begin(), items.end()) {
    joined_ = text::join(std::vector<std::string>(items_.begin(), items_.end()), ", ");
  }

  std::set<std::string> run() {
    std::vector<uint32_t> pids;
    if (const uint32_t code = procfs::processIds(pids)) {
      LogManager::instance().log(Error, "%s", formatSystemMessage(code, "NtQuerySystemInformation() failed"));
      return {};
    }
    const uint32_t self = platform::processId();
    for (const uint32_t pid : pids) {
      if (pid == self) continue;
      guardLog(Error, Place{formatString("getProccessesByOpenedFile(%s). PID %d", joined_, static_cast<int>(pid)), kFunction, 586},
               [&] { inspectProcess(pid); });
    }
    return std::move(found_);
  }

 private:
  static void refused(uint32_t code, int id) {
    LogManager::instance().log(Warning, "%s", formatSystemMessage(code, formatString("OpenProcess(%d) failed", id)));
  }

  void inspectProcess(uint32_t pid) {
    const int id = static_cast<int>(pid);
    std::vector<int> fds;
    const uint32_t code = procfs::descriptors(pid, fds);
    // Ended since the walk began.
    if (code == platform::winerr::FileNotFound || (code && procfs::hasEnded(pid))) return;
    if (code) return refused(code, id);
    if (fds.empty()) return;  // kernel threads hold nothing
    std::string image;
    if (const uint32_t imageCode = procfs::executablePath(pid, image)) {
      if (procfs::hasEnded(pid)) return;  // ended while it was read: it holds nothing
      // Refused like the descriptors would be: the process is not ours to inspect.
      if (imageCode == platform::winerr::AccessDenied) return refused(imageCode, id);
      throwRuntimeError("Unable to query full process image name.", imageCode);
    }
    std::string commandLine;
    guardLog(Warning, Place{formatString("Get process(%d), '%s' command line", id, image), kFunction, 541}, [&] {
      if (procfs::commandLine(pid, commandLine) != 0) commandLine.clear();
    });
    const std::string name = commandLine.empty() ? image : commandLine;
    LogManager::instance().log(Info, "Check process(%d) '%s' handles...", id, name);

    // The current directory holds its directory open, as a handle would.
    fds.push_back(procfs::kCurrentDirectory);
    ended_ = false;
    for (const int fd : fds) {
      if (ended_) return;
      const unsigned handle = static_cast<unsigned>(fd) & 0xFFFFu;
      guardLog(Error,
               Place{formatString("getProccessesByOpenedFile(%s). Process(%d): '%s'. Handle: 0x%hx", joined_, id, name, handle),
                     kFunction, 583},
               [&] { inspectDescriptor(pid, fd, handle, name); });
    }
  }

  void inspectDescriptor(uint32_t pid, int fd, unsigned handle, const std::string& name) {
    const int id = static_cast<int>(pid);
    std::string link;
    // A descriptor closed while it is read (by its process, or by the end of
    // it) is passed over without a word; its number may already name another.
    const auto closed = [](uint32_t code) {
      return code == platform::winerr::FileNotFound || code == platform::winerr::PathNotFound;
    };
    if (const uint32_t code = procfs::descriptorLink(pid, fd, link)) {
      if ((ended_ = procfs::hasEnded(pid)) || closed(code)) return;
      LogManager::instance().log(
          Warning, "%s",
          formatSystemMessage(code, formatString("DuplicateHandle(0x%hx) failed. Process(%d) '%s'", handle, id, name)));
      return;
    }
    // Pipes, sockets and anonymous objects have no path: not files.
    if (link.empty() || link.front() != '/') return;
    inspection::HandleObject object;
    try {
      object = inspection::getFilePathByHandle(pid, fd);
    } catch (const vosexception& e) {
      if ((ended_ = procfs::hasEnded(pid)) || closed(e.errorCode())) return;
      throw;
    }
    if (object.kind == procfs::ObjectKind::Other) return;
    if (!inspection::matchingItem(items_, object.path)) return;
    found_.insert(formatString("PID(%d) '%s'", id, name));
    LogManager::instance().log(Info, "Handle 0x%hx opened by process(%d) '%s'. Handle path: '%s'", handle, id, name,
                               object.path);
  }

  inspection::PathSet items_;
  std::string joined_;
  bool ended_ = false;  // the process inspected ended meanwhile
  std::set<std::string> found_;
};

} // namespace

namespace RunTime {

std::set<std::string> getProccessesByOpenedFiles(const std::vector<std::string>& items) {
  if (items.empty()) return {};
  return HolderSearch(items).run();
}

} // namespace RunTime
