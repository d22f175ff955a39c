#include "platform/text.h"

#include <algorithm>
#include <iconv.h>
#include <langinfo.h>
#include <cerrno>
#include <cstring>

namespace text {

namespace {

char32_t decodeOne(std::string_view s, size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int len = 0;
  char32_t cp = 0;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    cp = b0 & 0x07;
  } else {
    ++i;
    return 0xFFFD;
  }
  if (i + len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  i += len;
  return cp;
}

// Case and white space come from the Unicode data, not from the locale: the
// C library's towlower follows LC_CTYPE (under C it leaves "Ü" alone, under
// a Turkish locale it lowers "I" to a dotless "ı"), and a domain's name must
// fold the same in every run.
struct CaseRun {
  char32_t first, last;
  int32_t delta;
  uint8_t stride;
};
struct CodeRange {
  char32_t first, last;
};
#include "platform/unicode_tables.inc"

template <size_t N>
char32_t mapCase(const CaseRun (&runs)[N], char32_t cp) {
  const CaseRun* run = std::upper_bound(runs, runs + N, cp, [](char32_t c, const CaseRun& r) { return c < r.first; });
  if (run == runs) return cp;
  --run;
  if (cp > run->last || (cp - run->first) % run->stride != 0) return cp;
  return static_cast<char32_t>(static_cast<int32_t>(cp) + run->delta);
}

char32_t lowerOf(char32_t cp) {
  if (cp < 0x80) return cp >= 'A' && cp <= 'Z' ? cp + ('a' - 'A') : cp;
  return mapCase(kLowerRuns, cp);
}

char32_t upperOf(char32_t cp) {
  if (cp < 0x80) return cp >= 'a' && cp <= 'z' ? cp - ('a' - 'A') : cp;
  return mapCase(kUpperRuns, cp);
}

bool isAscii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

bool localeIsUtf8() {
  const char* cs = nl_langinfo(CODESET);
  if (!cs || !*cs) return true;
  return std::strcmp(cs, "UTF-8") == 0 || std::strcmp(cs, "utf8") == 0 ||
         std::strcmp(cs, "ANSI_X3.4-1968") == 0;  // the C/POSIX locale counts as UTF-8
}

std::string convert(std::string_view in, const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
  std::string out;
  out.resize(in.size() * 4 + 16);
  char* inp = const_cast<char*>(in.data());
  size_t inLeft = in.size();
  char* outp = out.data();
  size_t outLeft = out.size();
  while (inLeft > 0) {
    if (iconv(cd, &inp, &inLeft, &outp, &outLeft) == static_cast<size_t>(-1)) {
      if (errno == E2BIG) {
        const size_t used = outp - out.data();
        out.resize(out.size() * 2);
        outp = out.data() + used;
        outLeft = out.size() - used;
        continue;
      }
      // A character the target lacks, or a broken sequence: put '?' and go on.
      if (outLeft == 0) {
        const size_t used = outp - out.data();
        out.resize(out.size() * 2);
        outp = out.data() + used;
        outLeft = out.size() - used;
      }
      *outp++ = '?';
      --outLeft;
      size_t skip = 1;
      if (std::strcmp(from, "UTF-8") == 0) {
        size_t i = 0;
        decodeOne(std::string_view(inp, inLeft), i);
        skip = i;
      }
      inp += skip;
      inLeft -= skip;
    }
  }
  iconv(cd, nullptr, nullptr, &outp, &outLeft);
  out.resize(outp - out.data());
  iconv_close(cd);
  return out;
}

} // namespace

std::u32string decodeUtf8(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) out.push_back(decodeOne(s, i));
  return out;
}

bool utf16Less(const std::string& a, const std::string& b) {
  auto unitOrder = [](char32_t cp) -> uint32_t {
    if (cp >= 0x10000) return 0xD800 + (cp - 0x10000);
    if (cp >= 0xE000) return cp + 0x100000;
    return cp;
  };
  const std::u32string x = decodeUtf8(a), y = decodeUtf8(b);
  const size_t n = std::min(x.size(), y.size());
  for (size_t i = 0; i < n; ++i)
    if (x[i] != y[i]) return unitOrder(x[i]) < unitOrder(y[i]);
  if (x.size() != y.size()) return x.size() < y.size();
  return a < b;  // distinct byte strings that decode alike (invalid UTF-8)
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string encodeUtf8(std::u32string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char32_t cp : s) appendUtf8(out, cp);
  return out;
}

std::string toLower(std::string_view s) {
  if (isAscii(s)) {
    std::string out(s);
    for (char& c : out)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
  }
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) appendUtf8(out, lowerOf(decodeOne(s, i)));
  return out;
}

std::string toUpper(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) appendUtf8(out, upperOf(decodeOne(s, i)));
  return out;
}

int compareNoCase(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const char32_t ca = lowerOf(decodeOne(a, i));
    const char32_t cb = lowerOf(decodeOne(b, j));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

bool equalsNoCase(std::string_view a, std::string_view b) { return compareNoCase(a, b) == 0; }

bool isSpace(char32_t cp) {
  for (const CodeRange& range : kWhiteSpace)
    if (cp >= range.first && cp <= range.last) return true;
  return false;
}

std::string trim(std::string_view s) {
  const std::u32string cps = decodeUtf8(s);
  size_t b = 0, e = cps.size();
  while (b < e && isSpace(cps[b])) ++b;
  while (e > b && isSpace(cps[e - 1])) --e;
  return encodeUtf8(std::u32string_view(cps).substr(b, e - b));
}

bool containsNoCase(std::string_view haystack, std::string_view needle) {
  return toLower(haystack).find(toLower(needle)) != std::string::npos;
}

std::string toUtf16le(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() * 2);
  auto put = [&out](uint16_t u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  };
  for (size_t i = 0; i < utf8.size();) {
    char32_t cp = decodeOne(utf8, i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(static_cast<uint16_t>(0xD800 + (cp >> 10)));
      put(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      put(static_cast<uint16_t>(cp));
    }
  }
  return out;
}

std::string fromUtf16le(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char32_t u = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
      const char32_t lo = static_cast<unsigned char>(bytes[i + 2]) | (static_cast<unsigned char>(bytes[i + 3]) << 8);
      if (lo >= 0xDC00 && lo < 0xE000) {
        u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
        i += 2;
      } else {
        u = 0xFFFD;
      }
    } else if (u >= 0xD800 && u < 0xE000) {
      u = 0xFFFD;
    }
    appendUtf8(out, u);
  }
  return out;
}

std::string toAnsi(std::string_view utf8) {
  if (isAscii(utf8) || localeIsUtf8()) return std::string(utf8);
  return convert(utf8, nl_langinfo(CODESET), "UTF-8");
}

std::string fromAnsi(std::string_view ansi) {
  if (isAscii(ansi) || localeIsUtf8()) return std::string(ansi);
  return convert(ansi, "UTF-8", nl_langinfo(CODESET));
}

bool startsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }
bool endsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

std::vector<std::string> split(std::string_view s, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t pos = s.find(separator, start);
    if (pos == std::string_view::npos) {
      parts.emplace_back(s.substr(start));
      return parts;
    }
    parts.emplace_back(s.substr(start, pos - start));
    start = pos + 1;
  }
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out.append(separator);
    out.append(parts[i]);
  }
  return out;
}

} // namespace text
