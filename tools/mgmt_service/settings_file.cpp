#include "tools/mgmt_service/settings_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/text.h"
#include "tools/mgmt_service/process_control.h"

namespace mgmt {

bool SettingsFile::refresh(bool force) {
  const std::string identity = fileIdentity(path_);
  if (!force && error_.empty() && identity == identity_) return true;
  identity_ = identity;
  values_.clear();

  std::ifstream in(path_, std::ios::binary);
  if (!in) {
    error_ = "cannot read the settings file " + path_ + ": " + std::strerror(errno);
    return false;
  }
  std::map<std::string, std::string> values;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::string trimmed = text::trim(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    const auto eq = trimmed.find('=');
    const std::string name = eq == std::string::npos ? std::string() : text::trim(trimmed.substr(0, eq));
    if (name.empty()) {
      error_ = "settings file " + path_ + ", line " + std::to_string(number) + ": expected NAME=value, found '" +
               trimmed + "'";
      return false;
    }
    values[text::toLower(name)] = text::trim(trimmed.substr(eq + 1));
  }
  values_ = std::move(values);
  error_.clear();
  return true;
}

std::optional<std::string> SettingsFile::setting(const std::string& name) const {
  const auto it = values_.find(text::toLower(name));
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> SettingsFile::component(const std::string& package) const {
  return setting("component." + package);
}

} // namespace mgmt
