// File-system operations of the statistics engines. Paths are native ("/")
// UTF-8 paths; every failure is raised through throwOsException with the
// Windows error code, a text naming the item and a place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace VFileName {
// Normalised absolute form of an absolute path; other paths unchanged.
std::string toLongPath(const std::string& path);
// base + "/" + more, leading separators of more dropped; never truncates.
std::string combine(const std::string& base, const std::string& more);
std::string canonicalize(const std::string& path);
// The path without its last component.
std::string removeFileSpec(const std::string& path);
// Expands ${NAME} and %NAME% from the environment.
std::string expandEnvironmentStrings(const std::string& text);
} // namespace VFileName

// Turns "\" into "/", drops "." and empty components, resolves "..", keeps a
// leading and a trailing separator as they were.
std::string normalizeFilePath(const std::string& path);
// The path without its last component and the separators that then end it.
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

bool fileExist(const std::string& path, bool* isDirectory = nullptr);
uint32_t getFileAttributes(const std::string& path);
// Clears the bits of the mask (ReadOnly: gives the owner the write bit back).
void setFileAttributes(const std::string& path, uint32_t mask);

void removeFile(const std::string& path, bool force = true, bool toRecycler = false, int retries = 0,
                int retryDelayMilliseconds = 0);
void removeDir(const std::string& path, bool force = true, const std::string& recyclerDir = {});
void renameFile(const std::string& from, const std::string& to, int attempts = 1);
void copyFile(const std::string& from, const std::string& to, bool failIfExists);
void makeDir(const std::string& path);
// The temporary directory ($TMPDIR or /tmp) with its trailing separator.
std::string tempPath();
// Special folders by their Windows identifier (CSIDL); raises for unknown ones.
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
constexpr uint32_t AttributeNormal = 0x80;
constexpr uint32_t SequentialScan = 0x08000000u;
} // namespace file_open

class VFile {
 public:
  VFile() = default;
  ~VFile();
  VFile(VFile&& other) noexcept;
  VFile& operator=(VFile&& other) noexcept;
  VFile(const VFile&) = delete;
  VFile& operator=(const VFile&) = delete;

  void open(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition,
            uint32_t flags = file_open::AttributeNormal);
  // Bytes read; 0 at the end of the file.
  size_t read(void* buffer, size_t count);
  void write(const void* buffer, size_t count, bool requireAll = true);
  enum Origin { Begin = 0, Current = 1, End = 2 };
  uint64_t seek(int64_t distance, Origin origin);
  void close() noexcept;
  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::string& name() const { return name_; }

 private:
  int fd_ = -1;
  std::string name_;
};

class BufferedFileReader {
 public:
  explicit BufferedFileReader(VFile& file);
  // The next line without its line feed and carriage returns; false past the end.
  bool readLine(std::string& line);

 private:
  VFile& file_;
  std::vector<char> buffer_;
  size_t pos_ = 0;
  size_t end_ = 0;
  bool eof_ = false;
};

class VFileFinder {
 public:
  VFileFinder() = default;
  ~VFileFinder();
  VFileFinder(VFileFinder&&) noexcept;
  VFileFinder& operator=(VFileFinder&&) noexcept;
  VFileFinder(const VFileFinder&) = delete;
  VFileFinder& operator=(const VFileFinder&) = delete;

  // pattern: a directory path followed by a name pattern with "*" and "?"
  // (case-insensitive, "*.*" matches every name). False when nothing matches.
  bool first(const std::string& pattern);
  bool next();
  const std::string& name() const { return name_; }
  uint32_t attributes() const { return attributes_; }
  bool isDirectory() const { return (attributes_ & file_attribute::Directory) != 0; }
  bool isDots() const { return name_ == "." || name_ == ".."; }

 private:
  void* dir_ = nullptr;
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
  VReparseDir(const std::string& path, bool writable);
  // Replaces the link by an empty directory; the target is untouched.
  void removeReparsePoint();

 private:
  std::string path_;
};
void removeDirReparsePoint(const std::string& path);
