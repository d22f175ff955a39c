// Attributes, removal, moving, copying and creating items, the special
// folders, and the removal of directory links.
#include "support/file_ops.h"

#include <chrono>
#include <functional>
#include <random>
#include <thread>
#include <utility>

#include "inspection/open_files.h"
#include "platform/acl.h"
#include "platform/environment.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "platform/win_error.h"
#include "support/errors.h"
#include "support/format.h"

namespace fs = platform::fs;
namespace winerr = platform::winerr;

namespace {

constexpr uint32_t kDeleteRights = platform::acl::right::Delete | platform::acl::right::WriteAttributes;
constexpr uint32_t kAllRights = platform::acl::right::GenericAll;

bool gone(uint32_t code) { return code == 0 || code == winerr::FileNotFound; }

std::string absolutePath(const std::string& path) {
  if (!path.empty() && path.front() == '/') return VFileName::toLongPath(path);
  return VFileName::combine(fs::currentDirectory(), path);
}

// The processes holding any of the items, joined with line feeds; "" when
// none are found. Looking them up never replaces the error being reported.
std::string holdersOf(const std::vector<std::string>& items) noexcept {
  try {
    std::vector<std::string> full;
    for (const std::string& item : items) full.push_back(absolutePath(item));
    const std::set<std::string> processes = RunTime::getProccessesByOpenedFiles(full);
    return text::join(std::vector<std::string>(processes.begin(), processes.end()), "\n");
  } catch (...) {
    return {};
  }
}

// text, or with code 32 and holders found text + ". Processes: " + holders.
[[noreturn]] void raiseNamingHolders(const std::string& text, uint32_t code, const std::vector<std::string>& items,
                                     const Place& place) {
  if (code == winerr::SharingViolation) {
    const std::string processes = holdersOf(items);
    if (!processes.empty()) throwOsException(text + ". Processes: " + processes, code, place);
  }
  throwOsException(text, code, place);
}

// A name no one else uses, in the form of a GUID.
std::string newGuidText() {
  static std::mt19937_64 generator{std::random_device{}()};
  const uint64_t a = generator(), b = generator();
  return formatString("{%08X-%04X-%04X-%04X-%012llX}", static_cast<unsigned>(a >> 32),
                      static_cast<unsigned>((a >> 16) & 0xFFFF), static_cast<unsigned>(a & 0xFFFF),
                      static_cast<unsigned>(b >> 48), static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
}

// The remedy of force: the right to delete, and no read-only attribute.
void loosen(const std::string& path, uint32_t rights) {
  platform::acl::grantAccess(path, rights);
  fs::setOwnerWritable(path);
}

// Where removeFile moves files "to the recycler": a directory at the top of
// the file system that holds the file, so that the move stays a rename.
std::string recyclerPath(const std::string& path) {
  return VFileName::combine(fs::volumeRoot(absolutePath(path)),
                            ".tarvo-recycler-{86066D57-9347-46a7-B4DB-971D9EF36D29}");
}

void removeFileToRecycler(const std::string& path, bool force, int retries, int delayMilliseconds) {
  const std::string source = VFileName::toLongPath(path);
  const std::string recycler = recyclerPath(path);
  makeDir(recycler);
  const std::string target = VFileName::combine(recycler, newGuidText());
  uint32_t code = fs::renameEntry(source, target, false);
  if (code == winerr::FileNotFound) return;
  if (code && force) {
    loosen(source, kDeleteRights);
    code = fs::renameEntry(source, target, false);
  }
  for (int i = 0; code && code != winerr::FileNotFound && i < retries; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMilliseconds));
    code = fs::renameEntry(source, target, false);
  }
  if (code == winerr::FileNotFound) return;
  if (code)
    raiseNamingHolders("Move file '" + path + "' to '" + target + "'", code, {path}, Place{"", "removeFile", 598});
  fs::removeFile(target);
}

void makeDirWithMode(const std::string& path, uint32_t mode) {
  if (path.empty())
    throw ArgumentException("Unable to create directory with wrong name", Place{"", "VDirectory::createDirectory", 105});
  std::string directory = VFileName::canonicalize(path);
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  if (directory.empty() || directory == "/" || fileExist(directory)) return;
  const std::string parent = VFileName::removeFileSpec(directory);
  if (!parent.empty() && parent != directory) makeDirWithMode(parent, 0777);
  const uint32_t code = fs::makeDirectory(directory, mode);
  bool isDirectory = false;
  // Made by someone else in the meantime: what was asked for is there.
  if (code == winerr::AlreadyExists && fileExist(directory, &isDirectory) && isDirectory) return;
  if (code) throwOsException("CreateDirectory(" + directory + ")", code, Place{"", "makeDir", 43});
}

constexpr int kRemoveDirLine = 652;

} // namespace

bool fileExist(const std::string& path, bool* isDirectory) {
  fs::EntryStatus status;
  const uint32_t code = fs::statEntry(VFileName::toLongPath(path), status);
  // Inside a webspace nothing lies beyond a link.
  if (code == winerr::FileNotFound || code == winerr::PathNotFound || code == winerr::StoppedOnSymlink) return false;
  if (code) throwOsException("retrieves attributes for file or directory " + path, code, Place{"", "fileExist", 88});
  if (isDirectory) *isDirectory = status.isDirectory;
  return true;
}

uint32_t getFileAttributes(const std::string& path) {
  fs::EntryStatus status;
  if (const uint32_t code = fs::statEntry(VFileName::toLongPath(path), status))
    throwOsException("GetFileAttributes(" + path + ")", code, Place{"", "getFileAttributes", 50});
  return fs::windowsAttributes(status);
}

void setFileAttributes(const std::string& path, uint32_t mask) {
  // Read-only is the one attribute the file system keeps (the owner's write
  // bit); the others have nothing to clear.
  const std::string target = VFileName::toLongPath(path);
  fs::EntryStatus status;
  uint32_t code = fs::statEntry(target, status);
  if (!code && (mask & file_attribute::ReadOnly)) code = fs::setOwnerWritable(target);
  if (code) throwOsException("SetFileAttributes(" + path + ")", code, Place{"", "setFileAttributes", 57});
}

void removeFile(const std::string& path, bool force, bool toRecycler, int retries, int retryDelayMilliseconds) {
  if (toRecycler) return removeFileToRecycler(path, force, retries, retryDelayMilliseconds);
  const std::string target = VFileName::toLongPath(path);
  uint32_t code = fs::removeFile(target);
  if (gone(code)) return;
  if (force) {
    loosen(target, kDeleteRights);
    code = fs::removeFile(target);
    if (gone(code)) return;
  }
  for (int i = 0; i < retries; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(retryDelayMilliseconds));
    code = fs::removeFile(target);
    if (gone(code)) return;
  }
  raiseNamingHolders("DeleteFile '" + path + "'", code, {path}, Place{"", "removeFile", 621});
}

void removeDir(const std::string& path, bool force, const std::string& recyclerDir) {
  const Place place{"", "removeDir", kRemoveDirLine};
  const std::string directory = VFileName::toLongPath(path);
  // Deletes (or moves aside) one item, with the remedy of force on failure.
  // operand is the path the calls take; the messages name dir + "/" + name.
  const auto removeItem = [&](const std::string& operand, const std::string& dir, const std::string& name,
                              bool isDirectory) {
    const auto attempt = [&]() -> std::pair<uint32_t, std::string> {
      if (recyclerDir.empty()) return {isDirectory ? fs::removeDirectory(operand) : fs::removeFile(operand), {}};
      const std::string target = VFileName::combine(recyclerDir, newGuidText());
      return {fs::renameEntry(operand, target, false), target};
    };
    auto [code, target] = attempt();
    if (!gone(code) && force) {
      loosen(operand, isDirectory ? kAllRights : kDeleteRights);
      std::tie(code, target) = attempt();
    }
    if (gone(code)) return;
    const std::string item = name.empty() ? dir : dir + "/" + name;
    if (!recyclerDir.empty())
      raiseNamingHolders("Move file '" + item + "' to '" + target + "'", code, {item}, place);
    raiseNamingHolders((isDirectory ? "Delete directory '" : "Delete file '") + item + "'", code, {item}, place);
  };

  fs::EntryStatus self;
  if (fs::statEntry(directory, self) == 0 && self.isSymlink) return removeItem(directory, directory, "", false);

  // The tree is taken apart from the bottom up with one directory open at a
  // time, each reached from the one above (and back by ".."), and every item
  // named through the open directory: each step costs the same at any depth.
  // Full paths are made only for messages.
  struct Level {
    size_t pathEnd;  // of the level's path in shown
    uint64_t device, inode;
    std::vector<std::string> subdirectories;
    size_t next = 0;
  };
  std::vector<Level> levels;
  std::string shown = directory;
  fs::OpenDirectory current;
  // Opens the directory (once more with the remedy of force, through
  // remedyPath), removes its files and takes the next level down; false when
  // it cannot be opened.
  const auto enter = [&](const std::function<uint32_t(fs::OpenDirectory&)>& open, const std::string& remedyPath) {
    fs::OpenDirectory opened;
    uint32_t code = open(opened);
    if (code && force) {
      loosen(remedyPath, kAllRights);
      code = open(opened);
    }
    if (code) return false;
    std::vector<fs::OpenDirectory::Entry> entries;
    code = opened.list(entries);
    // An entry whose kind could not be told (no search right) fails the
    // listing too, but stays in it.
    if (code && force && code != winerr::NoData && code != winerr::NoMoreFiles) {
      loosen(remedyPath, kAllRights);
      opened.list(entries);
    }
    current = std::move(opened);
    Level level{shown.size(), current.device(), current.inode(), {}, 0};
    for (const fs::OpenDirectory::Entry& entry : entries) {
      // A link is removed as a link, whatever it points at.
      if (!entry.code && entry.status.isDirectory && !entry.status.isSymlink)
        level.subdirectories.push_back(entry.name);
      else
        removeItem(current.pathOf(entry.name), shown, entry.name, false);
    }
    levels.push_back(std::move(level));
    return true;
  };

  enter([&](fs::OpenDirectory& d) { return d.open(directory); }, directory);
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next < level.subdirectories.size()) {
      const std::string name = level.subdirectories[level.next++];
      const std::string operand = current.pathOf(name);
      const std::string parentPath = shown;
      shown += "/" + name;
      // The parent stays open while the child is opened: it is the way to
      // the child's rights.
      fs::OpenDirectory parent = std::move(current);
      if (enter([&](fs::OpenDirectory& d) { return parent.openChild(name, d); }, operand)) continue;
      // Not to be opened (gone, or no right to it): removed as it is.
      current = std::move(parent);
      shown.resize(parentPath.size());
      fs::setOwnerWritable(operand);
      removeItem(operand, shown, name, true);
      continue;
    }
    levels.pop_back();
    if (levels.empty()) break;
    // Every entry of the level is gone: up to its parent, which removes it.
    const Level& parent = levels.back();
    const std::string name = shown.substr(parent.pathEnd + 1);
    fs::OpenDirectory up;
    if (current.openParent(parent.device, parent.inode, up) != 0) {
      // Moved meanwhile, or no right to search it: the parent by its path.
      if (const uint32_t code = up.open(shown.substr(0, parent.pathEnd)))
        raiseNamingHolders("Delete directory '" + shown + "'", code, {shown}, place);
    }
    current = std::move(up);
    shown.resize(parent.pathEnd);
    const std::string operand = current.pathOf(name);
    fs::setOwnerWritable(operand);
    removeItem(operand, shown, name, true);
  }
  current = fs::OpenDirectory();
  fs::setOwnerWritable(directory);
  removeItem(directory, directory, "", true);
}

void renameFile(const std::string& from, const std::string& to, int attempts) {
  const std::string text = "Rename file '" + from + "' to '" + to + "'";
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    const uint32_t code = fs::renameEntry(VFileName::toLongPath(from), VFileName::toLongPath(to), false);
    if (!code) return;
    if (code != winerr::SharingViolation) throwOsException(text, code, Place{"", "renameFile", 741});
    if (attempt < attempts) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    const std::string processes = holdersOf({from});
    if (!processes.empty())
      throwOsException(text + ". Processes: " + processes, code, Place{"", "renameFile", 738});
    throwOsException(text, code, Place{"", "renameFile", 741});
  }
}

void copyFile(const std::string& from, const std::string& to, bool failIfExists) {
  const uint32_t code = fs::copyFile(VFileName::toLongPath(from), VFileName::toLongPath(to), failIfExists);
  if (!code) return;
  if (code == winerr::SharingViolation) {
    const std::string processes = holdersOf({from, to});
    if (!processes.empty())
      throwOsException("Copy file '" + from + "' to '" + to + "'. Processes: " + processes, code,
                       Place{"", "copyFile", 717});
  }
  throwOsException("copy file " + from + " to " + to, code, Place{"", "copyFile", 720});
}

void makeDir(const std::string& path) { makeDirWithMode(path, 0777); }

void requireDirectoryItself(const std::string& path) {
  fs::EntryStatus status;
  if (const uint32_t code = fs::statEntry(VFileName::toLongPath(path), status))
    throwOsException("Open directory " + path, code, Place{"", "requireDirectoryItself", 0});
  if (status.isSymlink)
    throw vexception(formatString("The directory '%s' is a symbolic link; nothing is written through it. Replace "
                                  "the link by a directory",
                                  path),
                     Place{"", "requireDirectoryItself", 0});
  if (!status.isDirectory)
    throw vexception(formatString("'%s' is a %s, not a directory", path, status.kind),
                     Place{"", "requireDirectoryItself", 0});
}

void makeDirLikeParent(const std::string& path) {
  std::string directory = VFileName::canonicalize(path);
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  if (directory.empty() || fileExist(directory)) return;
  const std::string parent = VFileName::removeFileSpec(directory);
  if (!parent.empty() && parent != directory) makeDirLikeParent(parent);
  fs::EntryStatus model;
  if (const uint32_t code = fs::statEntry(VFileName::toLongPath(parent), model))
    throwOsException("CreateDirectory(" + directory + ")", code, Place{"", "makeDir", 43});
  makeDirWithMode(directory, model.mode);
  // The creation mask must not take bits away from the model's.
  const std::string made = VFileName::toLongPath(directory);
  uint32_t code = fs::setMode(made, model.mode);
  fs::EntryStatus status;
  if (!code && (code = fs::statEntry(made, status)) == 0 && (status.owner != model.owner || status.group != model.group))
    code = fs::setOwner(made, model.owner, model.group);
  // An account that may not give files away keeps the directory as its own.
  if (code && code != winerr::AccessDenied)
    throwOsException("Give " + directory + " the owner and rights of " + parent, code, Place{"", "makeDir", 43});
}

void flushFileToDisk(const std::string& path) {
  if (const uint32_t code = fs::flushFile(VFileName::toLongPath(path)))
    throwOsException("Flush '" + path + "' to disk", code, Place{"", "flushFileToDisk", 0});
}

void flushDirectoryToDisk(const std::string& directory) {
  if (const uint32_t code = fs::flushDirectory(VFileName::toLongPath(directory)))
    throwOsException("Flush '" + directory + "' to disk", code, Place{"", "flushDirectoryToDisk", 0});
}

std::string tempPath() {
  const std::string directory = platform::environmentOr("TMPDIR", "/tmp");
  if (!fileExist(directory)) {
    // Shared by every account, as /tmp is: all may write, none may remove
    // what is not theirs.
    makeDirWithMode(directory, 0777);
    fs::setMode(VFileName::toLongPath(directory), 01777);
  }
  return appendBackslash(directory);
}

std::string getWellKnownPath(int folderId, bool create) {
  const auto failure = [folderId] {
    return vexception("SHGetSpecialFolderPath failed for index " + std::to_string(folderId),
                      Place{"", "getWellKnownPath", 363});
  };
  const std::string home = platform::environmentOr("HOME", "");
  const auto inHome = [&](const char* variable, const char* below) {
    const std::string set = platform::environmentOr(variable, "");
    if (!set.empty()) return set;
    return home.empty() ? std::string() : VFileName::combine(home, below);
  };
  std::string path;
  switch (folderId & ~0x8000) {
    case 0x25:  // system
    case 0x29:  // system (x86)
      path = platform::environmentOr("TARVO_SYSTEM_DIR", "/usr/bin");
      break;
    case 0x23: path = "/var/lib"; break;                                  // common application data
    case 0x1a: path = inHome("XDG_CONFIG_HOME", ".config"); break;        // application data
    case 0x1c: path = inHome("XDG_DATA_HOME", ".local/share"); break;     // local application data
    case 0x28: path = home; break;                                        // profile
    case 0x26: path = "/opt"; break;                                      // program files
    default: throw failure();
  }
  if (path.empty()) throw failure();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  bool isDirectory = false;
  if (!fileExist(path, &isDirectory)) {
    if (!create) throw failure();
    makeDir(path);
  } else if (!isDirectory) {
    throw failure();
  }
  return path;
}

VReparseDir::VReparseDir(const std::string& path, bool /*writable*/) : path_(path) {
  // The handle is on the link itself; rights on a link mean nothing on Linux.
  if (const uint32_t code = fs::openItem(VFileName::toLongPath(path), fd_))
    throwOsException("Open file '" + path + "'", code, Place{"", "VReparseDir::VReparseDir", 54});
}

VReparseDir::~VReparseDir() { fs::closeFile(fd_); }

VReparseDir::VReparseDir(VReparseDir&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)) {}

VReparseDir& VReparseDir::operator=(VReparseDir&& other) noexcept {
  if (this != &other) {
    fs::closeFile(fd_);
    path_ = std::move(other.path_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void VReparseDir::removeReparsePoint() {
  const Place place{"", "VReparseDir::removeReparsePoint", 78};
  const std::string text = "Remove reparse point '" + path_ + "'";
  const std::string link = VFileName::toLongPath(path_);
  fs::EntryStatus held, now;
  uint32_t code = fd_ < 0 ? winerr::InvalidHandle : fs::statHandle(fd_, held);
  if (!code) code = fs::statEntry(link, now);
  if (code) throwOsException(text, code, place);
  // Only the link that was opened is replaced, never a directory.
  if (!held.isSymlink || now.device != held.device || now.inode != held.inode)
    throwOsException(text, winerr::InvalidParameter, place);
  // The link steps aside first, so that a failure leaves it in place.
  const std::string aside = link + ".tarvo-link-" + newGuidText();
  if ((code = fs::renameEntry(link, aside, false))) throwOsException(text, code, place);
  if ((code = fs::makeDirectory(link, 0777))) {
    fs::renameEntry(aside, link, false);
    throwOsException(text, code, place);
  }
  if ((code = fs::removeFile(aside))) throwOsException(text, code, place);
}

void removeDirReparsePoint(const std::string& path) {
  VReparseDir directory(path, true);
  directory.removeReparsePoint();
}
