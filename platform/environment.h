// The process environment. Expansion knows both spellings the installation
// uses in stored values: ${NAME} (Unix) and %NAME% (Windows). A name that is
// not set is left in the text as it stands, as Windows does.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

std::optional<std::string> environmentVariable(const std::string& name);
// The variable, or the fallback when it is unset or empty.
std::string environmentOr(const std::string& name, const std::string& fallback);
std::string expandEnvironmentStrings(std::string_view text);

} // namespace platform
