#include "support/format.h"

#include <cstdarg>

namespace format_detail {

int formatLength(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  const int n = std::vsnprintf(nullptr, 0, format, ap);
  va_end(ap);
  return n;
}

int formatInto(char* buffer, size_t size, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  const int n = std::vsnprintf(buffer, size, format, ap);
  va_end(ap);
  return n;
}

std::string formatNoArguments(const char* format) {
  std::string out;
  for (const char* p = format; *p; ++p) {
    if (*p != '%') {
      out.push_back(*p);
    } else if (p[1] == '%') {
      out.push_back('%');
      ++p;
    } else {
      throw ArgumentException("_scwprintf() failed: invalid arguments", Place{"", "getFormatStringSize", 363});
    }
  }
  return out;
}

} // namespace format_detail

std::string formatStringChecked(int length, const char*) {
  if (length < 0) throw ArgumentException("_scwprintf() failed: invalid arguments", Place{"", "getFormatStringSize", 363});
  return std::string(static_cast<size_t>(length), '\0');
}
