// printf-style formatting of text of any length. std::string arguments are
// passed as their character data, so "%s" takes both strings and C strings.
#pragma once

#include <cstdio>
#include <string>
#include <type_traits>

#include "support/errors.h"

namespace format_detail {

template <class T>
decltype(auto) forwardArg(const T& value) {
  if constexpr (std::is_same_v<T, std::string>) {
    return value.c_str();
  } else if constexpr (std::is_array_v<T>) {
    return static_cast<const std::remove_extent_t<T>*>(value);
  } else {
    static_assert(std::is_arithmetic_v<T> || std::is_pointer_v<T> || std::is_enum_v<T>,
                  "formatString takes numbers, pointers, C strings and std::string");
    return value;
  }
}

// The counting step: the length of the result, or -1 when the format and
// arguments cannot be formatted.
int formatLength(const char* format, ...) __attribute__((format(printf, 1, 2)));
int formatInto(char* buffer, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));

// A format without arguments: "%%" stands for "%"; any other conversion is invalid.
std::string formatNoArguments(const char* format);

} // namespace format_detail

// Raises ArgumentException "_scwprintf() failed: invalid arguments" when the
// counting step fails, "swprintf() failed: invalid arguments" when the
// formatting itself fails.
std::string formatStringChecked(int length, const char* format);

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
template <class... Args>
std::string formatString(const char* format, const Args&... args) {
  if constexpr (sizeof...(Args) == 0) {
    return format_detail::formatNoArguments(format);
  } else {
    const int length = format_detail::formatLength(format, format_detail::forwardArg(args)...);
    std::string out = formatStringChecked(length, format);
    const int written = format_detail::formatInto(out.data(), out.size() + 1, format, format_detail::forwardArg(args)...);
    if (written < 0) throw ArgumentException("swprintf() failed: invalid arguments", Place{"", "formatString", 385});
    out.resize(static_cast<size_t>(written));
    return out;
  }
}
#pragma GCC diagnostic pop
