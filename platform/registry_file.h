// The registry of this system: one file in the Windows ".reg" text format
// ("Windows Registry Editor Version 5.00"), at $TARVO_REGISTRY or
// /etc/tarvo/registry.reg. A missing file is an empty registry.
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Tarvo\ZUL Config\Config]
//   "PRODUCT_ROOT_D"="/opt/tarvo"          REG_SZ (\\ and \" escaped)
//   "Debug"=dword:00000001                 REG_DWORD
//   "INSTALLDIR"=hex(2):25,00,...,00,00    REG_EXPAND_SZ, UTF-16LE bytes
//   "Blob"=hex:01,02                       REG_BINARY; hex(N): any other type
//   @="text"                               the key's default value
//
// Key and value names compare case-insensitively, as on Windows. A key exists
// when its own section or a section below it is in the file.
//
// The calls answer with Windows error codes (0 success, 2 no such key or
// value, 5 access denied, ...). A file that cannot be parsed answers
// RegistryCorrupt, and corruptionText() then names the file, the line and what
// is wrong there. A write changes only the lines of what it changes:
// comments, blank lines, the order of the rest, the encoding and the line
// ends stay as they were. Readers need no lock: writers replace the file
// atomically (temporary file + rename) while holding an exclusive flock on
// "<file>.lock", so a reader sees the old or the new file, never a mix.
#pragma once

#include <cstdint>
#include <string>

namespace platform::regfile {

// ERROR_BADDB: "the configuration registry database is corrupt".
constexpr uint32_t RegistryCorrupt = 1009;

// Types as Windows numbers them.
constexpr uint32_t TypeNone = 0;
constexpr uint32_t TypeString = 1;
constexpr uint32_t TypeExpandString = 2;
constexpr uint32_t TypeBinary = 3;
constexpr uint32_t TypeDword = 4;

// $TARVO_REGISTRY, or /etc/tarvo/registry.reg.
std::string registryPath();

struct ValueData {
  uint32_t type = TypeNone;
  std::string bytes;  // as Windows stores them: REG_SZ is UTF-16LE with its terminating null
};

// Key paths are full: "HKEY_LOCAL_MACHINE\SOFTWARE\Tarvo". A trailing "\" is ignored.
uint32_t openKey(const std::string& keyPath);
uint32_t queryValue(const std::string& keyPath, const std::string& name, ValueData& value);
// Creates the key when it is missing (the file is rewritten only then).
uint32_t createKey(const std::string& keyPath);
// Creates the key when needed and stores the value. Nothing is written (and
// no lock taken) when the key or value is already as asked.
uint32_t setValue(const std::string& keyPath, const std::string& name, const ValueData& value);

// While one lives, the reads of the calling thread look at the file only
// once: values read together come from one version of the file, for the
// cost of one look. Nested ones share the outermost one's reading.
class OneReading {
 public:
  OneReading();
  ~OneReading();
  OneReading(const OneReading&) = delete;
  OneReading& operator=(const OneReading&) = delete;
};

// The explanation of the last RegistryCorrupt answer of the calling thread:
// "Malformed registry file '<path>', line N: <what>".
const std::string& corruptionText();

} // namespace platform::regfile
