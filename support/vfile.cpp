// File handles whose failures raise, the line reader over them, and the
// whole-file read.
#include <cstring>
#include <utility>

#include "platform/fs.h"
#include "platform/win_error.h"
#include "support/errors.h"
#include "support/file_ops.h"
#include "support/format.h"

namespace {

platform::fs::OpenMode openModeOf(uint32_t access, uint32_t disposition, uint32_t flags, bool& valid) {
  using namespace file_open;
  platform::fs::OpenMode mode;
  const bool all = (access & GenericAll) != 0;
  mode.write = all || (access & (GenericWrite | WriteData)) != 0;
  mode.append = !mode.write && (access & AppendData) != 0;
  // Linux cannot open without reading or writing: an access of 0 reads.
  mode.read = all || (access & (GenericRead | ReadData)) != 0 || !(mode.write || mode.append);
  valid = true;
  switch (disposition) {
    case CreateNew: mode.create = mode.exclusive = true; break;
    case CreateAlways: mode.create = mode.truncate = true; break;
    case OpenExisting: break;
    case OpenAlways: mode.create = true; break;
    case TruncateExisting: mode.truncate = true; break;
    default: valid = false;
  }
  mode.directory = (flags & BackupSemantics) != 0;
  mode.noFollow = (flags & OpenReparsePoint) != 0;
  mode.sequential = (flags & SequentialScan) != 0;
  mode.createMode = (flags & AttributeReadOnly) ? 0444 : 0666;
  return mode;
}

} // namespace

VFile::~VFile() { close(); }

VFile::VFile(VFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)), name_(std::move(other.name_)) {}

VFile& VFile::operator=(VFile&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    name_ = std::move(other.name_);
  }
  return *this;
}

void VFile::open(const std::string& path, uint32_t access, uint32_t /*share*/, uint32_t disposition,
                 uint32_t flags) {
  close();
  const Place place{"", "VFile::open", 104};
  bool valid = false;
  const platform::fs::OpenMode mode = openModeOf(access, disposition, flags, valid);
  if (!valid) throwOsException("Open file '" + path + "'", platform::winerr::InvalidParameter, place);
  int fd = -1;
  if (const uint32_t code = platform::fs::openFile(path, mode, fd)) throwOsException("Open file '" + path + "'", code, place);
  fd_ = fd;
  name_ = path;
}

size_t VFile::read(void* buffer, size_t count) {
  size_t got = 0;
  const uint32_t code = fd_ < 0 ? platform::winerr::InvalidHandle : platform::fs::readFile(fd_, buffer, count, got);
  if (code) throwOsException("Read from file '" + name_ + "'", code, Place{"", "VFile::read", 112});
  return got;
}

void VFile::flushToDisk() {
  const uint32_t code = fd_ < 0 ? platform::winerr::InvalidHandle : platform::fs::flushHandle(fd_);
  if (code) throwOsException("Flush '" + name_ + "' to disk", code, Place{"", "VFile::flushToDisk", 0});
}

size_t VFile::write(const void* buffer, size_t count, bool requireAll) {
  size_t written = 0;
  const uint32_t code =
      fd_ < 0 ? platform::winerr::InvalidHandle : platform::fs::writeFile(fd_, buffer, count, written);
  if (code && written == 0) throwOsException("Write to file '" + name_ + "'", code, Place{"", "VFile::write", 130});
  if (requireAll && written != count) {
    const std::string text = formatString("Unable to write %d bytes into file '", static_cast<int>(count)) + name_ +
                             formatString("' (%d written)", static_cast<int>(written));
    // The system's reason for the rest (no space left, a file-size limit).
    if (code) throwOsException(text, code, Place{"", "VFile::write", 132});
    throw vexception(text, Place{"", "VFile::write", 132});
  }
  return written;
}

uint64_t VFile::seek(int64_t distance, Origin origin) {
  uint64_t position = 0;
  const uint32_t code = fd_ < 0 ? platform::winerr::InvalidHandle
                                : platform::fs::seekFile(fd_, distance, static_cast<int>(origin), position);
  if (code) throwOsException("Unable seek in file '" + name_ + "'", code, Place{"", "VFile::seek", 180});
  return position;
}

void VFile::close() noexcept {
  platform::fs::closeFile(fd_);
  fd_ = -1;
}

void BufferedFileWriter::append(std::string_view bytes) {
  pending_ += bytes;
  if (pending_.size() < kBufferSize) return;
  file_.write(pending_.data(), pending_.size());
  pending_.clear();
}

void BufferedFileWriter::finish() {
  if (!pending_.empty()) file_.write(pending_.data(), pending_.size());
  pending_.clear();
  file_.flushToDisk();
}

BufferedFileReader::BufferedFileReader(VFile& file) : file_(file), buffer_(kBufferSize) {}

bool BufferedFileReader::readLine(std::string& line) {
  line.clear();
  bool consumed = false;
  char* const buffer = buffer_.data();
  // The next carriage return at or after from, or end_: one search serves
  // every line up to it, so a file without them costs one search a buffer.
  auto nextCr = [&](size_t from) {
    const void* cr = from < end_ ? std::memchr(buffer + from, '\r', end_ - from) : nullptr;
    return cr ? static_cast<size_t>(static_cast<const char*>(cr) - buffer) : end_;
  };
  for (;;) {
    if (pos_ == end_) {
      if (eof_) return consumed;
      end_ = file_.read(buffer, buffer_.size());
      pos_ = 0;
      if (end_ == 0) {
        eof_ = true;
        return consumed;
      }
      cr_ = nextCr(0);
    }
    const char* lf = static_cast<const char*>(std::memchr(buffer + pos_, '\n', end_ - pos_));
    const size_t lineEnd = lf ? static_cast<size_t>(lf - buffer) : end_;
    while (cr_ < lineEnd) {  // carriage returns are dropped wherever they stand
      line.append(buffer + pos_, cr_ - pos_);
      pos_ = cr_ + 1;
      cr_ = nextCr(pos_);
    }
    line.append(buffer + pos_, lineEnd - pos_);
    consumed = true;
    pos_ = lf ? lineEnd + 1 : end_;
    if (lf) return true;
  }
}

std::string readFileContents(const std::string& path) {
  VFile file;
  file.open(path, file_open::GenericRead, file_open::ShareRead, file_open::OpenExisting, file_open::AttributeNormal);
  std::string contents;
  char piece[1024];
  while (const size_t got = file.read(piece, sizeof piece)) contents.append(piece, got);
  return contents;
}
