// Text handling of the program: all text is UTF-8 in std::string. Case mapping,
// white-space tests and case-insensitive comparison work on code points, never
// on bytes, by the Unicode data (simple case mappings, White_Space), whatever
// the locale. Conversions to the "system code page" use the locale's character
// set (the C/POSIX locale counts as UTF-8).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace text {

// Decodes UTF-8 into code points; an invalid byte becomes U+FFFD.
std::u32string decodeUtf8(std::string_view s);
// Orders texts as their UTF-16 code units would compare (as Windows sorts
// names): characters beyond U+FFFF, written with surrogates from 0xD800,
// come before U+E000..U+FFFF.
bool utf16Less(const std::string& a, const std::string& b);
std::string encodeUtf8(std::u32string_view s);
void appendUtf8(std::string& out, char32_t cp);

std::string toLower(std::string_view s);
std::string toUpper(std::string_view s);
bool equalsNoCase(std::string_view a, std::string_view b);
// Three-way comparison after lower-casing each code point.
int compareNoCase(std::string_view a, std::string_view b);
bool isSpace(char32_t cp);
// Removes white space (code points) at both ends.
std::string trim(std::string_view s);
bool containsNoCase(std::string_view haystack, std::string_view needle);

// UTF-16 little-endian bytes, for the outside formats that demand them.
std::string toUtf16le(std::string_view utf8);
std::string fromUtf16le(std::string_view bytes);

// Conversion between the program's text and the locale's 8-bit character
// set; lossy where that set lacks a character ('?' is put in its place).
std::string toAnsi(std::string_view utf8);
std::string fromAnsi(std::string_view ansi);

bool startsWith(std::string_view s, std::string_view prefix);
bool endsWith(std::string_view s, std::string_view suffix);
std::vector<std::string> split(std::string_view s, char separator);
std::string join(const std::vector<std::string>& parts, std::string_view separator);

} // namespace text
