#include "app/params.h"

#include <algorithm>

#include "platform/text.h"
#include "support/errors.h"

namespace {

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

} // namespace

bool Params::NameOrder::operator()(const std::string& a, const std::string& b) const { return text::utf16Less(a, b); }

Params::Params(int count, char** arguments) {
  for (int i = 0; i < count; ++i) {
    const std::string argument = arguments[i];
    const size_t equals = argument.find('=');
    if (equals == std::string::npos)
      values_[argument].clear();
    else
      values_[argument.substr(0, equals)] = argument.substr(equals + 1);
  }
}

std::string usageText(const std::vector<std::string>& names) {
  if (names.empty()) return {};
  std::string text = "Possible parameters:\n";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += "\n";
    text += "    " + names[i];
  }
  return text;
}

void Params::check(const std::vector<std::string>& required, const std::vector<std::string>& optional) const {
  std::vector<std::string> possible = required;
  possible.insert(possible.end(), optional.begin(), optional.end());
  for (const std::string& name : required)
    if (values_.find(name) == values_.end())
      throw vexception("Missing required parameter " + name + ". " + usageText(possible), Place{"", "Params::check", 72});
  for (const auto& [name, value] : values_) {
    if (name == "--internal-package-name" || contains(required, name) || contains(optional, name)) continue;
    throw vexception("Unexpected parameter " + name + ". " + usageText(possible), Place{"", "Params::check", 105});
  }
}

std::string Params::get(const std::string& name) const {
  const auto found = values_.find(name);
  if (found == values_.end()) reportMissingParameter(name);
  return found->second;
}

void Params::reportMissingParameter(const std::string& name) {
  throw vexception("Missing required parameter " + name + ". " + usageText({}),
                   Place{"", "Params::reportMissingParameter", 39});
}
