// The management service's frames by hand: 4-byte little-endian numbers, and whole messages
// over a local socket with a wait of at most kFrameWaitMs: a silent peer fails a test, not hangs it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/local_socket.h"

namespace testenv {

namespace localsock = platform::localsock;
inline constexpr int kFrameWaitMs = 5000;

inline std::string le32(uint32_t n) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<char>(n >> (8 * i));
  return out;
}

// False when the peer took nothing in time.
inline bool sendFrame(const localsock::Socket& s, const std::string& m) {
  size_t sent = 0;
  while (localsock::sendMessage(s, m.data(), m.size(), sent) == localsock::IoPending)
    if (localsock::waitReady(s, localsock::Readiness::Writable, kFrameWaitMs) != 0) return false;
  return true;
}

// The receive's code (not 0 at the end of the stream), IoPending when nothing came in time.
inline uint32_t receiveFrame(const localsock::Socket& s, std::string& m) {
  std::string buffer(70000, '\0');
  size_t got = 0;
  uint32_t code;
  while ((code = localsock::receiveMessage(s, buffer.data(), buffer.size(), got)) == localsock::IoPending)
    if (localsock::waitReady(s, localsock::Readiness::Readable, kFrameWaitMs) != 0) return localsock::IoPending;
  m = buffer.substr(0, got);
  return code;
}

}  // namespace testenv
