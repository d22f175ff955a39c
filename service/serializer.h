// The byte layout of the management-service conversation. Every integer is a
// 32-bit little-endian unsigned number.
//   block:  length L, then L bytes
//   string: a block whose first byte is the character size; strings written
//           here are L = 2 * code units + 1, the byte 2, then UTF-16LE units
//           (no terminating zero); strings read may also have the size 1
//           (8-bit text in the locale's character set)
//   error:  a block length of 0xFFFFFFFF in an answer, followed by a string
//           holding the service's error text
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/errors.h"

namespace vserializer {

inline constexpr uint32_t ErrorMarker = 0xFFFFFFFFu;
inline constexpr uint8_t CharSizeAnsi = 1;
inline constexpr uint8_t CharSizeWide = 2;

// A request identifier: the 16 bytes of a GUID in its in-memory layout (first
// field 4 bytes little-endian, second and third 2 bytes little-endian, the
// last 8 bytes as they stand).
struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  std::array<uint8_t, 8> data4;
  std::array<uint8_t, 16> bytes() const;
  bool operator==(const Guid&) const = default;
};

// The writing side: a growable byte buffer. Its capacity grows to the needed
// length rounded up to the next multiple of 16.
class buffer {
 public:
  buffer() = default;
  ~buffer();
  buffer(const buffer&) = delete;
  buffer& operator=(const buffer&) = delete;

  void writeUInt32(uint32_t value);
  void writeRaw(const void* data, size_t count);
  void writeRaw(std::string_view bytes) { writeRaw(bytes.data(), bytes.size()); }
  void writeBlock(const void* data, size_t count);
  // A wide string (character size 2) from the program's UTF-8 text.
  void writeString(std::string_view text);
  // The error marker followed by the text.
  void writeError(std::string_view text);

  const uint8_t* data() const { return data_; }
  size_t size() const { return length_; }
  size_t capacity() const { return capacity_; }
  std::string_view bytes() const { return {reinterpret_cast<const char*>(data_), length_}; }

 private:
  void grow(size_t needed);
  uint8_t* data_ = nullptr;
  size_t length_ = 0;
  size_t capacity_ = 0;
};

// The reading side: the bytes of one answer and a read position.
class reader {
 public:
  reader() = default;
  explicit reader(std::string bytes) : bytes_(std::move(bytes)) {}

  // Fewer than 4 bytes left: invalidprotocol "Unexpected end of data when read from serializer.".
  uint32_t readUInt32();
  // count bytes; fewer left: the same invalidprotocol.
  std::string readRaw(size_t count);
  // A string; an error marker raises a vexception whose message is the
  // service's text. Length 0, a short block or a character size other than
  // 1 and 2 raise invalidprotocol.
  std::string readString();

  size_t position() const { return position_; }
  size_t length() const { return bytes_.size(); }
  bool atEnd() const { return position_ == bytes_.size(); }

 private:
  std::string bytes_;
  size_t position_ = 0;
};

} // namespace vserializer
