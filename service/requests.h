// The requests of the management service that this program sends; the
// stand-in service answers the same two.
#pragma once

#include "service/serializer.h"

namespace tarvosrv {

// getString (setting name: string) -> string: the value of an installation setting.
inline constexpr vserializer::Guid GetStringRequest{
    0xAD3EBC3Cu, 0xE6B9, 0x4FCF, {0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22}};
// componentInfo (package name: string, mode: block of 4 bytes) -> string; mode
// 2 asks for the package's installation directory ("" when it has none).
inline constexpr vserializer::Guid ComponentInfoRequest{
    0x943B58AAu, 0x49DE, 0x47A5, {0xAA, 0x59, 0x0E, 0x01, 0x0A, 0x48, 0xC3, 0x41}};
inline constexpr uint32_t ComponentDirectoryMode = 2;

} // namespace tarvosrv
