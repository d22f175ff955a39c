// The file-system calls of the program. Every call answers 0 or the Windows
// code of its failure (ENOENT below a missing directory gives 3, a path
// through a file gives 267). Paths may be longer than the kernel's limit: such
// a path is walked directory by directory and the call is made relative to its
// parent. A symbolic link is always handled as the link itself unless a call
// says otherwise.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::fs {

struct EntryStatus {
  bool isSymlink = false;
  bool isDirectory = false;  // the item, or the target of a link, is a directory
  bool isRegular = false;    // the item itself is a regular file
  bool ownerWritable = false;
  uint32_t mode = 0;         // permission bits of the item (of a link: 0777)
  uint32_t owner = 0;
  uint32_t group = 0;
  uint64_t size = 0;
  int64_t modified = 0;      // nanoseconds since 1970
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t links = 0;        // names of the item (hard links)
  const char* kind = "";     // "regular file", "directory", "symbolic link", "FIFO", "socket", "device"
};

uint32_t statEntry(const std::string& path, EntryStatus& status);
// The Windows attribute word of a status: 0x10 directory, 0x400 reparse
// point (a symbolic link), 0x1 read-only (owner write bit missing), else 0x80.
uint32_t windowsAttributes(const EntryStatus& status);
// Gives the owner the write bit; a link is left as it is.
uint32_t setOwnerWritable(const std::string& path);
// Sets the permission bits (mode & 07777); a link is left as it is.
uint32_t setMode(const std::string& path, uint32_t mode);
// Gives the item (a link itself, not its target) to the owner and group.
uint32_t setOwner(const std::string& path, uint32_t owner, uint32_t group);

// Durability: a file's data (fdatasync), or a directory's entries (fsync),
// on the disk when the call returns, so that a power cut afterwards keeps
// them. One call per file is the whole cost; the data written before it
// reaches the disk in one go.
uint32_t flushFile(const std::string& path);
uint32_t flushHandle(int fd);
uint32_t flushDirectory(const std::string& path);

// unlink(2): a link is removed as a link, a directory is refused (5).
uint32_t removeFile(const std::string& path);
uint32_t removeDirectory(const std::string& path);
// Without replace an existing target fails with 183, as a Windows move does.
uint32_t renameEntry(const std::string& from, const std::string& to, bool replace);
uint32_t makeDirectory(const std::string& path, uint32_t mode = 0777);
uint32_t makeSymlink(const std::string& target, const std::string& link);
uint32_t readSymlink(const std::string& path, std::string& target);
// Content, permission bits and modification time of from, into to. An
// existing to fails with 80 when failIfExists; the same file as from fails
// with 32 and leaves it as it was. A copy that fails midway is removed.
uint32_t copyFile(const std::string& from, const std::string& to, bool failIfExists);

// Where the file's first hole begins (bytes never written, as in a sparse
// file): its size when it has none.
uint32_t firstHole(const std::string& path, uint64_t& offset);

// The working directory of the process; "" when it cannot be named.
std::string currentDirectory();
// The top directory of the file system that holds path.
std::string volumeRoot(const std::string& path);
// Why the file system that holds path takes no more writes: 5 (its text
// "Read-only file system") when it is mounted read-only, 112 when no block
// is left for this account, else 0.
uint32_t refusesWrites(const std::string& path);

struct OpenMode {
  bool read = true;
  bool write = false;
  bool append = false;     // writes go to the end
  bool create = false;
  bool exclusive = false;  // with create: an existing file fails with 80
  bool truncate = false;
  bool directory = false;  // opening a directory is allowed (else 5)
  bool noFollow = false;   // the last component must not be a link
  bool sequential = false; // read-ahead hint
  uint32_t createMode = 0666;
};
uint32_t openFile(const std::string& path, const OpenMode& mode, int& fd);
// Reads at most count bytes; got 0 means the end of the file.
uint32_t readFile(int fd, void* buffer, size_t count, size_t& got);
// Writes until all is written or the system refuses; written tells how far it
// came, also when the refusal (a full disk) came after some bytes.
uint32_t writeFile(int fd, const void* buffer, size_t count, size_t& written);
// origin 0 begin, 1 current, 2 end.
uint32_t seekFile(int fd, int64_t distance, int origin, uint64_t& position);
void closeFile(int fd) noexcept;
// Confines the process's file calls to the directory's tree, for the rest of
// the process: a path beneath it is resolved from the directory without
// following any symbolic link, in any component or at the end, and nothing
// leads out of it; a link in the way fails with 681. There only regular
// files (and directories, where a call allows them) are opened, and a FIFO
// or a device never blocks the opening: it fails with 1920. Paths elsewhere
// (the installation, the temporary directory) are not affected.
uint32_t confineBeneath(const std::string& directory);
// The path lies beneath the confining directory.
bool isConfined(const std::string& path);

// A handle on the item itself (O_PATH, a link is not followed), and its status.
uint32_t openItem(const std::string& path, int& fd);
uint32_t statHandle(int fd, EntryStatus& status);

// Reads the entries of one directory, "." and ".." included.
class DirectoryReader {
 public:
  DirectoryReader();
  ~DirectoryReader();
  DirectoryReader(const DirectoryReader&) = delete;
  DirectoryReader& operator=(const DirectoryReader&) = delete;

  uint32_t open(const std::string& path);
  // The next name; atEnd is set when there is none.
  uint32_t next(std::string& name, bool& atEnd);
  // The status of an entry of the open directory.
  uint32_t statEntry(const std::string& name, EntryStatus& status);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A directory held open, for walking a tree of any depth: its subdirectories
// and its parent are opened relative to it, and its entries are named by
// paths through its descriptor (pathOf) that stay short however deep it
// lies, so that every step costs the same at the bottom of the tree as at
// the top. Links are never followed into.
class OpenDirectory {
 public:
  OpenDirectory() = default;
  ~OpenDirectory();
  OpenDirectory(OpenDirectory&& other) noexcept;
  OpenDirectory& operator=(OpenDirectory&& other) noexcept;
  OpenDirectory(const OpenDirectory&) = delete;
  OpenDirectory& operator=(const OpenDirectory&) = delete;

  // The directory at path, opened for reading; a link there is refused.
  uint32_t open(const std::string& path);
  // Its subdirectory name, opened for reading; a link is refused.
  uint32_t openChild(const std::string& name, OpenDirectory& child) const;
  // The directory that holds it, when that is still the directory of this
  // device and inode; another one (the tree was moved) answers 3.
  uint32_t openParent(uint64_t device, uint64_t inode, OpenDirectory& parent) const;
  uint64_t device() const { return device_; }
  uint64_t inode() const { return inode_; }

  struct Entry {
    std::string name;
    EntryStatus status;
    uint32_t code = 0;  // why the status could not be told (no search right), else 0
  };
  // Every entry but "." and "..", in the directory's order; an entry gone
  // meanwhile is left out. Answers the failure of the listing (no entries
  // then), else the code of the last entry whose status could not be told.
  uint32_t list(std::vector<Entry>& entries) const;
  // A path to the entry for calls that take paths; good while this is open.
  std::string pathOf(const std::string& name) const;

 private:
  int fd_ = -1;
  uint64_t device_ = 0;
  uint64_t inode_ = 0;
  uint32_t take(int fd);
};

} // namespace platform::fs
