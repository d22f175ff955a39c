#include "platform/environment.h"

#include <cstdlib>

namespace platform {

std::optional<std::string> environmentVariable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

std::string environmentOr(const std::string& name, const std::string& fallback) {
  auto value = environmentVariable(name);
  return value && !value->empty() ? *value : fallback;
}

std::string expandEnvironmentStrings(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '%') {
      const size_t close = text.find('%', i + 1);
      if (close != std::string_view::npos && close > i + 1) {
        if (auto value = environmentVariable(std::string(text.substr(i + 1, close - i - 1)))) {
          out += *value;
          i = close + 1;
          continue;
        }
      }
      // Not a set variable: the "%" stays and the closing one may open the next name.
      out += c;
      ++i;
      continue;
    }
    if (c == '$' && i + 1 < text.size() && text[i + 1] == '{') {
      const size_t close = text.find('}', i + 2);
      if (close != std::string_view::npos && close > i + 2) {
        if (auto value = environmentVariable(std::string(text.substr(i + 2, close - i - 2)))) {
          out += *value;
          i = close + 1;
          continue;
        }
      }
    }
    out += c;
    ++i;
  }
  return out;
}

} // namespace platform
