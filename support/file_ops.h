// File-system operations of the statistics engines. Paths are native ("/")
// UTF-8 paths; every failure is raised through throwOsException with the
// Windows error code, a text naming the item and a place.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform::fs {
class DirectoryReader;
}

namespace VFileName {
// Normalised absolute form of an absolute path; other paths unchanged.
// Only "/" separates: a backslash is a character of a Linux file name.
std::string toLongPath(const std::string& path);
// base + "/" + more, leading separators of more dropped, "." and ".."
// resolved; never truncates, whatever the length.
std::string combine(const std::string& base, const std::string& more);
// "." and ".." resolved, doubled separators dropped (no link is followed).
std::string canonicalize(const std::string& path);
// The path without its last component; a trailing separator counts as the
// last component ("/a/b/" gives "/a/b"), the root stays the root.
std::string removeFileSpec(const std::string& path);
// Expands ${NAME} and %NAME% from the environment.
std::string expandEnvironmentStrings(const std::string& text);
} // namespace VFileName

// Turns "\" into "/", drops "." and empty components, resolves "..", keeps a
// leading and a trailing separator as they were.
std::string normalizeFilePath(const std::string& path);
// The path without its last component and the separators that then end it
// ("/a" gives "/").
std::string directoryOf(const std::string& path);
// Appends the native separator unless the path already ends with one.
std::string appendBackslash(const std::string& path);

// Attribute bits as the callers test them.
namespace file_attribute {
constexpr uint32_t ReadOnly = 0x1;
constexpr uint32_t Directory = 0x10;
constexpr uint32_t Normal = 0x80;
constexpr uint32_t ReparsePoint = 0x400;
} // namespace file_attribute

// The item itself counts (a link, even a dangling one, exists); isDirectory
// is also set for a link to a directory.
bool fileExist(const std::string& path, bool* isDirectory = nullptr);
// Directory for a directory or a link to one, ReparsePoint for a symbolic
// link, ReadOnly when the owner lacks the write bit, else Normal.
uint32_t getFileAttributes(const std::string& path);
// Clears the bits of the mask (ReadOnly: gives the owner the write bit back).
void setFileAttributes(const std::string& path, uint32_t mask);

// A missing file is no failure. force grants the running account the right
// to delete and clears the read-only attribute before the second try.
void removeFile(const std::string& path, bool force = true, bool toRecycler = false, int retries = 0,
                int retryDelayMilliseconds = 0);
// Removes the tree. A symbolic link inside it (or the path itself, when it is
// a link) is removed as a link: nothing is ever removed through one.
void removeDir(const std::string& path, bool force = true, const std::string& recyclerDir = {});
// Never replaces an existing target (183), as a Windows move.
void renameFile(const std::string& from, const std::string& to, int attempts = 1);
// Content, permission bits and modification time; copying a file onto itself
// fails (32) and leaves it as it was.
void copyFile(const std::string& from, const std::string& to, bool failIfExists);
// Creates the directory and its missing parents; an existing item is left.
void makeDir(const std::string& path);
// Raises, naming it, unless the path is a directory itself: a link to one
// (which a customer may point anywhere) is refused.
void requireDirectoryItself(const std::string& path);
// The same, each new directory with the owner, group and permission bits of
// the nearest existing directory above it.
void makeDirLikeParent(const std::string& path);
// Before the last other copy of records is removed or replaced, the file that
// now holds them goes to the disk (its data), and so does its directory (its
// name); a power cut afterwards keeps both. Raises "Flush '<path>' to disk".
void flushFileToDisk(const std::string& path);
void flushDirectoryToDisk(const std::string& directory);
// The temporary directory ($TMPDIR or /tmp) with its trailing separator.
std::string tempPath();
// Special folders by their Windows identifier (CSIDL), without a trailing
// separator; raises for unknown ones and, without create, for missing ones.
// 0x25 (system) and 0x29 (system x86): $TARVO_SYSTEM_DIR or /usr/bin;
// 0x23 (common application data): /var/lib; 0x1a (application data):
// $XDG_CONFIG_HOME or ~/.config; 0x1c (local application data):
// $XDG_DATA_HOME or ~/.local/share; 0x28 (profile): $HOME; 0x26 (program
// files): /opt. The create flag 0x8000 in the identifier is ignored.
std::string getWellKnownPath(int folderId, bool create);
std::string readFileContents(const std::string& path);
void listFiles(const std::string& directory, const std::string& pattern, std::vector<std::string>& files,
               bool recursive);

// Windows open values, mapped to open(2) flags.
namespace file_open {
constexpr uint32_t GenericRead = 0x80000000u;
constexpr uint32_t GenericWrite = 0x40000000u;
constexpr uint32_t ShareRead = 1;
constexpr uint32_t ShareWrite = 2;
constexpr uint32_t ShareDelete = 4;
constexpr uint32_t CreateNew = 1;
constexpr uint32_t CreateAlways = 2;
constexpr uint32_t OpenExisting = 3;
constexpr uint32_t OpenAlways = 4;
constexpr uint32_t TruncateExisting = 5;
constexpr uint32_t AttributeReadOnly = 0x1;    // a created file gets no write bits
constexpr uint32_t AttributeNormal = 0x80;
constexpr uint32_t OpenReparsePoint = 0x00200000u;  // the last component must not be a link
constexpr uint32_t BackupSemantics = 0x02000000u;   // directories may be opened
constexpr uint32_t SequentialScan = 0x08000000u;
// Further access rights that the mapping knows.
constexpr uint32_t ReadData = 0x1;
constexpr uint32_t WriteData = 0x2;
constexpr uint32_t AppendData = 0x4;
constexpr uint32_t GenericAll = 0x10000000u;
} // namespace file_open

class VFile {
 public:
  VFile() = default;
  ~VFile();
  VFile(VFile&& other) noexcept;
  VFile& operator=(VFile&& other) noexcept;
  VFile(const VFile&) = delete;
  VFile& operator=(const VFile&) = delete;

  // Share modes are accepted and not enforced: Linux has no mandatory ones.
  void open(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition,
            uint32_t flags = file_open::AttributeNormal);
  // Bytes read; 0 at the end of the file.
  size_t read(void* buffer, size_t count);
  // Bytes written; with requireAll anything short of count raises.
  size_t write(const void* buffer, size_t count, bool requireAll = true);
  enum Origin { Begin = 0, Current = 1, End = 2 };
  uint64_t seek(int64_t distance, Origin origin);
  void close() noexcept;
  // What was written reaches the disk (flushFileToDisk for an open file).
  void flushToDisk();
  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::string& name() const { return name_; }

 private:
  int fd_ = -1;
  std::string name_;
};

class BufferedFileReader {
 public:
  // Each refill is one system call: with 4096-byte reads the calls alone take
  // longer than `wc -l` needs for the whole file; 64 KiB keeps up with it.
  static constexpr size_t kBufferSize = 65536;

  explicit BufferedFileReader(VFile& file);
  // The next line without its line feed and carriage returns; false past the end.
  bool readLine(std::string& line);

 private:
  VFile& file_;
  std::vector<char> buffer_;
  size_t pos_ = 0;
  size_t end_ = 0;
  size_t cr_ = 0;  // the next carriage return in the buffer at or after pos_, or end_
  bool eof_ = false;
};

// Collects what is appended and writes it in large writes; finish() writes
// the rest and flushes the file to the disk.
class BufferedFileWriter {
 public:
  explicit BufferedFileWriter(VFile& file) : file_(file) { pending_.reserve(kBufferSize); }
  void append(std::string_view bytes);
  void finish();

 private:
  static constexpr size_t kBufferSize = 65536;
  VFile& file_;
  std::string pending_;
};

class VFileFinder {
 public:
  VFileFinder();
  ~VFileFinder();
  VFileFinder(VFileFinder&&) noexcept;
  VFileFinder& operator=(VFileFinder&&) noexcept;
  VFileFinder(const VFileFinder&) = delete;
  VFileFinder& operator=(const VFileFinder&) = delete;

  // pattern: a directory path followed by a name pattern with "*" and "?"
  // (case-insensitive, "*.*" matches every name). False when nothing matches.
  // "." and ".." are reported as Windows does (see isDots).
  bool first(const std::string& pattern);
  bool next();
  const std::string& name() const { return name_; }
  uint32_t attributes() const { return attributes_; }
  bool isDirectory() const { return (attributes_ & file_attribute::Directory) != 0; }
  bool isDots() const { return name_ == "." || name_ == ".."; }

 private:
  bool advance(bool first, const std::string& pattern);
  std::unique_ptr<platform::fs::DirectoryReader> dir_;
  std::string directory_;
  std::string namePattern_;
  std::string name_;
  uint32_t attributes_ = 0;
};

// Case-insensitive match of a name against "*" and "?" patterns.
bool matchFilePattern(const std::string& pattern, const std::string& name);

// A directory reparse point (a symbolic link to a directory).
class VReparseDir {
 public:
  // Opens the link itself, never its target.
  VReparseDir(const std::string& path, bool writable);
  ~VReparseDir();
  VReparseDir(VReparseDir&& other) noexcept;
  VReparseDir& operator=(VReparseDir&& other) noexcept;
  VReparseDir(const VReparseDir&) = delete;
  VReparseDir& operator=(const VReparseDir&) = delete;
  // Replaces the link by an empty directory; the target is untouched. An
  // item that is not a link fails with 87.
  void removeReparsePoint();

 private:
  std::string path_;
  int fd_ = -1;
};
void removeDirReparsePoint(const std::string& path);
