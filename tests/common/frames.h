// The management service's frames by hand: 4-byte little-endian numbers, and
// whole messages over a local socket with a wait of at most kFrameWaitMs, so
// that a silent peer fails a test instead of hanging it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/local_socket.h"

namespace testenv {

inline constexpr int kFrameWaitMs = 5000;

inline std::string le32(uint32_t n) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<char>(n >> (8 * i));
  return out;
}

// False when the peer took nothing within kFrameWaitMs.
inline bool sendFrame(const platform::localsock::Socket& s, const std::string& m) {
  namespace ls = platform::localsock;
  size_t sent = 0;
  while (ls::sendMessage(s, m.data(), m.size(), sent) == ls::IoPending)
    if (ls::waitReady(s, ls::Readiness::Writable, kFrameWaitMs) != 0) return false;
  return true;
}

// The receive's code (not 0 at the end of the stream), or IoPending when
// nothing came within kFrameWaitMs.
inline uint32_t receiveFrame(const platform::localsock::Socket& s, std::string& m) {
  namespace ls = platform::localsock;
  std::string buffer(70000, '\0');
  size_t got = 0;
  uint32_t code;
  while ((code = ls::receiveMessage(s, buffer.data(), buffer.size(), got)) == ls::IoPending)
    if (ls::waitReady(s, ls::Readiness::Readable, kFrameWaitMs) != 0) return ls::IoPending;
  m = buffer.substr(0, got);
  return code;
}

}  // namespace testenv
