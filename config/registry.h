// Access to the values of HKEY_LOCAL_MACHINE. On this system the registry is
// a file in the ".reg" text format (see platform/registry_file.h); both
// registry views read the same keys.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/registry_file.h"

namespace registry {

enum class Root { LocalMachine };
inline constexpr Root HKEY_LOCAL_MACHINE = Root::LocalMachine;

enum ValueType : uint32_t { REG_NONE = 0, REG_SZ = 1, REG_EXPAND_SZ = 2, REG_BINARY = 3, REG_DWORD = 4 };

// Registry views: 1 the 32-bit view, 2 and 3 the 64-bit view, other values the default.
inline constexpr int View32 = 1;
inline constexpr int View64 = 2;
inline constexpr int ViewDefault = 0;

enum Access : uint32_t { KeyRead = 0x20019, KeyWrite = 0x20006, KeyAllAccess = 0xF003F };

// An open key; closed when the object ends.
class Key {
 public:
  Key();
  ~Key();
  Key(Key&&) noexcept;
  Key& operator=(Key&&) noexcept;
  bool isOpen() const;
  const std::string& path() const;

  struct State;
  std::unique_ptr<State> state;
};

// Text value by key path: 0 on success; otherwise the error code, and value
// keeps what the caller put in it. A stored type other than the expected one
// (REG_SZ and REG_EXPAND_SZ accept each other) raises
// "RegQueryValueEx invalid type of '<subkey>\<name>'". REG_EXPAND_SZ is expanded.
uint32_t lookup(Root root, const std::string& subkey, const std::string& name, std::string& value,
                uint32_t expectedType, int view);
// 32-bit number by key path: REG_DWORD of 4 bytes.
uint32_t lookup(Root root, const std::string& subkey, const std::string& name, uint32_t& value, int view);
// Text value that must exist: raises "lookup subKey=<subkey> value=<name>" with the code.
std::string getstr(Root root, const std::string& subkey, const std::string& name, int view);

// Held around reads that belong together (the switches of one log entry):
// they come from one version of the registry, looked at once.
using OneReading = platform::regfile::OneReading;

// Creates or opens a key; raises "RegCreateKeyEx subKey=<subkey>".
void create(Root root, const std::string& subkey, Key& key, uint32_t access, int view = ViewDefault);
// Opens an existing key; raises "RegOpenKeyEx subKey=<subkey>".
void open(Root root, const std::string& subkey, Key& key, uint32_t access, int view = ViewDefault);
bool keyExists(Root root, const std::string& subkey, int view);

// Values of an open key.
uint32_t lookup(const Key& key, const std::string& name, std::string& value);
uint32_t lookup(const Key& key, const std::string& name, uint32_t& value);
// Writes REG_SZ / REG_DWORD; raises "RegSetValueEx valueName=<name>".
void set(Key& key, const std::string& name, const std::string& value);
void set(Key& key, const std::string& name, uint32_t value);

} // namespace registry
