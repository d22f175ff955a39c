#include "service/serializer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/text.h"

namespace vserializer {

namespace {

void putUInt32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

[[noreturn]] void endOfData() {
  throw invalidprotocol("Unexpected end of data when read from serializer.", Place{"", "vserializer::reader::read", 88});
}

// Memory for the buffer, or the end of the process: a request that cannot be
// built leaves nothing sensible to do.
void* reallocOrDie(void* old, size_t size) {
  for (;;) {
    if (void* p = std::realloc(old, size)) return p;
    std::new_handler handler = std::get_new_handler();
    if (!handler) {
      std::fputs("Out of memory\n", stderr);
      std::abort();
    }
    handler();
  }
}

} // namespace

std::array<uint8_t, 16> Guid::bytes() const {
  std::array<uint8_t, 16> out{};
  putUInt32(out.data(), data1);
  out[4] = static_cast<uint8_t>(data2);
  out[5] = static_cast<uint8_t>(data2 >> 8);
  out[6] = static_cast<uint8_t>(data3);
  out[7] = static_cast<uint8_t>(data3 >> 8);
  std::memcpy(out.data() + 8, data4.data(), 8);
  return out;
}

buffer::~buffer() { std::free(data_); }

void buffer::grow(size_t needed) {
  if (needed <= capacity_) return;
  const size_t capacity = (needed + 15) / 16 * 16;
  data_ = static_cast<uint8_t*>(reallocOrDie(data_, capacity));
  capacity_ = capacity;
}

void buffer::writeUInt32(uint32_t value) {
  grow(length_ + 4);
  putUInt32(data_ + length_, value);
  length_ += 4;
}

void buffer::writeRaw(const void* data, size_t count) {
  if (count == 0) return;
  grow(length_ + count);
  std::memcpy(data_ + length_, data, count);
  length_ += count;
}

void buffer::writeBlock(const void* data, size_t count) {
  writeUInt32(static_cast<uint32_t>(count));
  writeRaw(data, count);
}

void buffer::writeString(std::string_view value) {
  const std::string units = text::toUtf16le(value);
  writeUInt32(static_cast<uint32_t>(units.size() + 1));
  const uint8_t size = CharSizeWide;
  writeRaw(&size, 1);
  writeRaw(units);
}

void buffer::writeError(std::string_view value) {
  writeUInt32(ErrorMarker);
  writeString(value);
}

uint32_t reader::readUInt32() {
  if (bytes_.size() - position_ < 4) endOfData();
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes_[position_ + static_cast<size_t>(i)]);
  position_ += 4;
  return value;
}

std::string reader::readRaw(size_t count) {
  if (bytes_.size() - position_ < count) endOfData();
  std::string out = bytes_.substr(position_, count);
  position_ += count;
  return out;
}

std::string reader::readString() {
  const uint32_t length = readUInt32();
  if (length == ErrorMarker) {
    throw vexception(readString());
  }
  if (length == 0) {
    throw invalidprotocol("Unexpected end of data when read C-string from serializer.",
                          Place{"", "vserializer::reader::readString", 131});
  }
  const std::string block = readRaw(length);
  const std::string_view rest = std::string_view(block).substr(1);
  switch (static_cast<uint8_t>(block[0])) {
    case CharSizeAnsi:
      return text::fromAnsi(rest);
    case CharSizeWide:
      return text::fromUtf16le(rest.substr(0, rest.size() / 2 * 2));
    default:
      throw invalidprotocol("Unsupported char size when read C-string from serializer.",
                            Place{"", "vserializer::reader::readString", 146});
  }
}

} // namespace vserializer
