// Placeholder until the registry file support lands: an empty registry.
#include "config/registry.h"

#include "support/errors.h"

namespace registry {

struct Key::State {
  std::string path;
};
Key::Key() = default;
Key::~Key() = default;
Key::Key(Key&&) noexcept = default;
Key& Key::operator=(Key&&) noexcept = default;
bool Key::isOpen() const { return state != nullptr; }
const std::string& Key::path() const {
  static const std::string empty;
  return state ? state->path : empty;
}

uint32_t lookup(Root, const std::string&, const std::string&, std::string&, uint32_t, int) { return 2; }
uint32_t lookup(Root, const std::string&, const std::string&, uint32_t&, int) { return 2; }
std::string getstr(Root, const std::string& subkey, const std::string& name, int) {
  throwOsException("lookup subKey=" + subkey + " value=" + name, 2, Place{"", "registry::getstr", 773});
}
void create(Root, const std::string& subkey, Key& key, uint32_t, int) {
  key.state = std::make_unique<Key::State>();
  key.state->path = subkey;
}
void open(Root, const std::string& subkey, Key&, uint32_t, int) {
  throwOsException("RegOpenKeyEx subKey=" + subkey, 2, Place{"", "registry::open", 49});
}
bool keyExists(Root, const std::string&, int) { return false; }
uint32_t lookup(const Key&, const std::string&, std::string&) { return 2; }
uint32_t lookup(const Key&, const std::string&, uint32_t&) { return 2; }
void set(Key&, const std::string&, const std::string&) {}
void set(Key&, const std::string&, uint32_t) {}

} // namespace registry
