#include "config/registry.h"

#include "platform/environment.h"
#include "platform/registry_file.h"
#include "platform/text.h"
#include "support/errors.h"

namespace registry {

namespace regfile = platform::regfile;

struct Key::State {
  std::string subkey;
  std::string fullPath;
  uint32_t access = 0;
};
Key::Key() = default;
Key::~Key() = default;
Key::Key(Key&&) noexcept = default;
Key& Key::operator=(Key&&) noexcept = default;
bool Key::isOpen() const { return state != nullptr; }
const std::string& Key::path() const {
  static const std::string empty;
  return state ? state->subkey : empty;
}

namespace {

constexpr uint32_t KeySetValue = 0x0002;
constexpr uint32_t InvalidHandle = 6;
constexpr uint32_t AccessDenied = 5;

// Both registry views read the same keys here, so the view only documents
// which one the Windows program asked for.
std::string fullPath(Root, const std::string& subkey) {
  return subkey.empty() ? std::string("HKEY_LOCAL_MACHINE") : "HKEY_LOCAL_MACHINE\\" + subkey;
}

// A registry file that does not parse: the operator must repair it, so this
// is raised even where the call otherwise answers with a code.
[[noreturn]] void raiseCorrupt(const char* function, int32_t line) {
  throw vexception(regfile::corruptionText(), Place{"", function, line});
}

// The stored text: its last UTF-16 unit is the terminator, the text ends at
// the first null, and REG_EXPAND_SZ is expanded.
std::string textOf(const regfile::ValueData& data) {
  std::string_view bytes(data.bytes);
  if (bytes.size() % 2 != 0) bytes.remove_suffix(1);
  if (!bytes.empty()) bytes.remove_suffix(2);
  size_t end = 0;
  while (end + 1 < bytes.size() && !(bytes[end] == '\0' && bytes[end + 1] == '\0')) end += 2;
  std::string value = text::fromUtf16le(bytes.substr(0, end));
  if (data.type == REG_EXPAND_SZ) value = platform::expandEnvironmentStrings(value);
  return value;
}

bool typesAgree(uint32_t stored, uint32_t expected) {
  if (stored == expected) return true;
  const bool storedText = stored == REG_SZ || stored == REG_EXPAND_SZ;
  const bool expectedText = expected == REG_SZ || expected == REG_EXPAND_SZ;
  return storedText && expectedText;
}

uint32_t numberOf(const regfile::ValueData& data) {
  uint32_t n = 0;
  for (int i = 3; i >= 0; --i) n = n << 8 | static_cast<unsigned char>(data.bytes[static_cast<size_t>(i)]);
  return n;
}

// Query of one value; the code of a missing key or value is returned, a
// corrupt file is raised with the caller's place.
uint32_t query(const std::string& path, const std::string& name, regfile::ValueData& data, const char* function,
               int32_t line) {
  const uint32_t code = regfile::queryValue(path, name, data);
  if (code == regfile::RegistryCorrupt) raiseCorrupt(function, line);
  return code;
}

struct NumberPlaces {
  std::string shownName;
  int32_t typeLine;
  int32_t sizeLine;
};

uint32_t lookupNumber(const std::string& path, const std::string& name, uint32_t& value, const NumberPlaces& places) {
  regfile::ValueData data;
  const uint32_t code = query(path, name, data, "registry::lookup", places.typeLine);
  if (code != 0) return code;
  if (data.type != REG_DWORD)
    throw vexception("RegQueryValueEx invalid type of '" + places.shownName + "'",
                     Place{"", "registry::lookup", places.typeLine});
  if (data.bytes.size() != 4)
    throw vexception("RegQueryValueEx invalid size of '" + places.shownName + "'",
                     Place{"", "registry::lookup", places.sizeLine});
  value = numberOf(data);
  return 0;
}

void store(Key& key, const std::string& name, const regfile::ValueData& data, int32_t line) {
  const Place place{"", "registry::set", line};
  uint32_t code = 0;
  if (!key.state) {
    code = InvalidHandle;
  } else if ((key.state->access & KeySetValue) == 0) {
    code = AccessDenied;
  } else {
    code = regfile::setValue(key.state->fullPath, name, data);
  }
  if (code == regfile::RegistryCorrupt) raiseCorrupt("registry::set", line);
  if (code != 0) throwOsException("RegSetValueEx valueName=" + name, code, place);
}

} // namespace

uint32_t lookup(Root root, const std::string& subkey, const std::string& name, std::string& value,
                uint32_t expectedType, int /*view*/) {
  regfile::ValueData data;
  const uint32_t code = query(fullPath(root, subkey), name, data, "registry::lookup", 572);
  if (code != 0) return code;
  if (!typesAgree(data.type, expectedType))
    throw vexception("RegQueryValueEx invalid type of '" + subkey + "\\" + name + "'",
                     Place{"", "registry::lookup", 572});
  value = textOf(data);
  return 0;
}

uint32_t lookup(Root root, const std::string& subkey, const std::string& name, uint32_t& value, int /*view*/) {
  return lookupNumber(fullPath(root, subkey), name, value, NumberPlaces{subkey + "\\" + name, 448, 450});
}

std::string getstr(Root root, const std::string& subkey, const std::string& name, int view) {
  std::string value;
  const uint32_t code = lookup(root, subkey, name, value, REG_SZ, view);
  if (code != 0)
    throwOsException("lookup subKey=" + subkey + " value=" + name, code, Place{"", "registry::getstr", 773});
  return value;
}

void create(Root root, const std::string& subkey, Key& key, uint32_t access, int /*view*/) {
  const std::string path = fullPath(root, subkey);
  const uint32_t code = regfile::createKey(path);
  if (code == regfile::RegistryCorrupt) raiseCorrupt("registry::create", 42);
  if (code != 0) throwOsException("RegCreateKeyEx subKey=" + subkey, code, Place{"", "registry::create", 42});
  key.state = std::make_unique<Key::State>(Key::State{subkey, path, access});
}

void open(Root root, const std::string& subkey, Key& key, uint32_t access, int /*view*/) {
  const std::string path = fullPath(root, subkey);
  const uint32_t code = regfile::openKey(path);
  if (code == regfile::RegistryCorrupt) raiseCorrupt("registry::open", 49);
  if (code != 0) throwOsException("RegOpenKeyEx subKey=" + subkey, code, Place{"", "registry::open", 49});
  key.state = std::make_unique<Key::State>(Key::State{subkey, path, access});
}

bool keyExists(Root root, const std::string& subkey, int /*view*/) {
  return regfile::openKey(fullPath(root, subkey)) == 0;
}

uint32_t lookup(const Key& key, const std::string& name, std::string& value) {
  if (!key.state) return InvalidHandle;
  regfile::ValueData data;
  const uint32_t code = query(key.state->fullPath, name, data, "registry::lookup", 671);
  if (code != 0) return code;
  if (data.type != REG_SZ && data.type != REG_EXPAND_SZ)
    throw vexception("RegQueryValueEx invalid type of '" + name + "'", Place{"", "registry::lookup", 671});
  value = textOf(data);
  return 0;
}

uint32_t lookup(const Key& key, const std::string& name, uint32_t& value) {
  if (!key.state) return InvalidHandle;
  return lookupNumber(key.state->fullPath, name, value, NumberPlaces{name, 329, 331});
}

void set(Key& key, const std::string& name, const std::string& value) {
  regfile::ValueData data{REG_SZ, text::toUtf16le(value)};
  data.bytes.append(2, '\0');
  store(key, name, data, 217);
}

void set(Key& key, const std::string& name, uint32_t value) {
  regfile::ValueData data{REG_DWORD, {}};
  for (int i = 0; i < 4; ++i) data.bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  store(key, name, data, 203);
}

} // namespace registry
