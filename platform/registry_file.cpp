#include "platform/registry_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/environment.h"
#include "platform/text.h"
#include "platform/account.h"
#include "platform/win_error.h"

namespace platform::regfile {

namespace {

constexpr const char* kHeader = "Windows Registry Editor Version 5.00";
constexpr const char* kHeader4 = "REGEDIT4";

thread_local std::string lastCorruption;

// ---------------------------------------------------------------- model

constexpr size_t kNoLine = static_cast<size_t>(-1);

struct Value {
  std::string name;
  std::string lowerName;
  ValueData data;
  size_t firstLine = kNoLine, lastLine = kNoLine;  // where the file defines it
};

struct Section {
  std::string path;  // as spelt in the file
  std::vector<Value> values;
  size_t lastLine = kNoLine;  // its last line in the file: a new value goes after it

  const Value* find(const std::string& lowerName) const {
    for (const Value& v : values)
      if (v.lowerName == lowerName) return &v;
    return nullptr;
  }
  Value* find(const std::string& lowerName) {
    return const_cast<Value*>(static_cast<const Section*>(this)->find(lowerName));
  }
  void set(const std::string& name, ValueData data, size_t firstLine, size_t lastLine) {
    const std::string lower = text::toLower(name);
    Value* v = find(lower);
    if (!v) v = &values.emplace_back(Value{name, lower, {}});
    v->data = std::move(data);
    v->firstLine = firstLine;
    v->lastLine = lastLine;
  }
  void remove(const std::string& name) {
    const std::string lower = text::toLower(name);
    std::erase_if(values, [&](const Value& v) { return v.lowerName == lower; });
  }
};

// The file as read: its lines, so that a rewrite changes only the lines of
// what it changes and keeps comments, blank lines and order, and the form it
// came in.
struct FileText {
  std::vector<std::string> lines;
  std::string lineEnd = "\n";
  std::string byteOrderMark;  // "", UTF-8's, or FF FE for UTF-16LE
  bool headerSeen = false;
};

struct Document {
  std::vector<Section> sections;
  std::unordered_map<std::string, size_t> index;  // lower-case path -> position
  FileText file;

  const Section* find(const std::string& lowerPath) const {
    auto it = index.find(lowerPath);
    return it == index.end() ? nullptr : &sections[it->second];
  }
  Section* find(const std::string& lowerPath) {
    return const_cast<Section*>(static_cast<const Document*>(this)->find(lowerPath));
  }
  Section& add(const std::string& path) {
    const std::string lower = text::toLower(path);
    if (Section* s = find(lower)) return *s;
    index.emplace(lower, sections.size());
    sections.push_back(Section{path, {}});
    return sections.back();
  }
  // The key and every key below it.
  void removeTree(const std::string& path) {
    const std::string lower = text::toLower(path);
    std::erase_if(sections, [&](const Section& s) {
      const std::string l = text::toLower(s.path);
      return l == lower || text::startsWith(l, lower + "\\");
    });
    reindex();
  }
  void reindex() {
    index.clear();
    for (size_t i = 0; i < sections.size(); ++i) index.emplace(text::toLower(sections[i].path), i);
  }
  bool keyExists(const std::string& lowerPath) const {
    if (index.count(lowerPath)) return true;
    const std::string prefix = lowerPath + "\\";
    for (const auto& [l, i] : index)
      if (text::startsWith(l, prefix)) return true;
    return false;
  }
};

const char* const kRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT", "HKEY_USERS",
                              "HKEY_CURRENT_CONFIG"};

bool isRootName(std::string_view name) {
  for (const char* r : kRoots)
    if (text::equalsNoCase(name, r)) return true;
  return false;
}

// "HKEY_LOCAL_MACHINE\A\B\" -> "HKEY_LOCAL_MACHINE\A\B"
std::string trimKeyPath(const std::string& path) {
  std::string p = path;
  while (!p.empty() && p.back() == '\\') p.pop_back();
  return p;
}

// ---------------------------------------------------------------- parsing

class ParseError {
 public:
  ParseError(size_t line, std::string what) : line(line), what(std::move(what)) {}
  size_t line;
  std::string what;
};

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
unsigned hexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  return static_cast<unsigned>(c - 'A' + 10);
}

std::string_view trimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

class Parser {
 public:
  explicit Parser(const std::string& content) { splitLines(decode(content)); }

  Document parse() {
    Document doc;
    doc.file.byteOrderMark = byteOrderMark_;
    doc.file.lineEnd = lineEnd_;
    bool& headerSeen = doc.file.headerSeen;
    Section* current = nullptr;
    bool inRemovedKey = false;
    for (lineIndex_ = 0; lineIndex_ < lines_.size(); ++lineIndex_) {
      const std::string_view line = trimBlanks(lines_[lineIndex_]);
      if (line.empty() || line.front() == ';') continue;
      if (!headerSeen) {
        if (line != kHeader && line != kHeader4)
          fail(std::string("the file must begin with the line \"") + kHeader + "\"");
        headerSeen = true;
        continue;
      }
      if (line.front() == '[') {
        if (line.back() != ']') fail("a key line must end with \"]\"");
        std::string_view path = line.substr(1, line.size() - 2);
        const bool removal = !path.empty() && path.front() == '-';
        if (removal) path.remove_prefix(1);
        const std::string keyPath = checkKeyPath(path);
        if (removal) {
          doc.removeTree(keyPath);
          current = nullptr;
          inRemovedKey = true;
        } else {
          current = &doc.add(keyPath);
          current->lastLine = lineIndex_;
          inRemovedKey = false;
        }
        continue;
      }
      if (line.front() == '"' || line.front() == '@') {
        if (!current)
          fail(inRemovedKey ? "a value line below a key removal" : "a value line before the first [key] line");
        parseValueLine(*current, line);
        current->lastLine = lineIndex_;
        continue;
      }
      fail("unexpected text; expected a [key] line, a \"name\"=value line or a ; comment");
    }
    doc.file.lines = std::move(lines_);
    return doc;
  }

 private:
  [[noreturn]] void fail(const std::string& what) { throw ParseError(lineIndex_ + 1, what); }

  std::string decode(const std::string& content) {
    if (content.size() >= 2 && content[0] == '\xFF' && content[1] == '\xFE') {
      byteOrderMark_ = content.substr(0, 2);
      return text::fromUtf16le(std::string_view(content).substr(2));
    }
    if (content.size() >= 3 && content.compare(0, 3, "\xEF\xBB\xBF") == 0) {
      byteOrderMark_ = content.substr(0, 3);
      return content.substr(3);
    }
    return content;
  }

  void splitLines(const std::string& text) {
    const size_t firstEnd = text.find('\n');
    if (firstEnd != std::string::npos && firstEnd > 0 && text[firstEnd - 1] == '\r') lineEnd_ = "\r\n";
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines_.push_back(std::move(line));
      start = end + 1;
    }
  }

  std::string checkKeyPath(std::string_view path) {
    if (path.empty()) fail("an empty key name in brackets");
    const auto parts = text::split(path, '\\');
    if (!isRootName(parts.front()))
      fail("the key \"" + std::string(path) + "\" does not begin with a root key such as HKEY_LOCAL_MACHINE");
    for (size_t i = 0; i < parts.size(); ++i)
      if (parts[i].empty() && i + 1 != parts.size()) fail("the key \"" + std::string(path) + "\" has an empty part");
    return trimKeyPath(std::string(path));
  }

  // A quoted string with \\ and \" escapes; pos is at the opening quote and
  // ends after the closing one.
  std::string parseQuoted(std::string_view line, size_t& pos) {
    std::string out;
    ++pos;
    while (pos < line.size()) {
      const char c = line[pos];
      if (c == '"') {
        ++pos;
        return out;
      }
      if (c == '\\') {
        if (pos + 1 >= line.size()) break;
        const char next = line[pos + 1];
        if (next != '\\' && next != '"')
          fail(std::string("unknown escape \\") + next + " in a quoted string (write \\\\ for a backslash)");
        out += next;
        pos += 2;
        continue;
      }
      out += c;
      ++pos;
    }
    fail("a quoted string without its closing quote");
  }

  void parseValueLine(Section& section, std::string_view line) {
    const size_t firstLine = lineIndex_;
    size_t pos = 0;
    std::string name;
    if (line.front() == '@') {
      pos = 1;
    } else {
      name = parseQuoted(line, pos);
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') fail("expected \"=\" after the value name");
    ++pos;
    const std::string_view spec = trimBlanks(line.substr(pos));

    if (spec == "-") {
      section.remove(name);
      return;
    }
    ValueData data;
    if (!spec.empty() && spec.front() == '"') {
      size_t p = 0;
      const std::string textValue = parseQuoted(spec, p);
      if (!trimBlanks(spec.substr(p)).empty()) fail("unexpected text after the closing quote");
      data.type = TypeString;
      data.bytes = text::toUtf16le(textValue);
      data.bytes.append(2, '\0');
    } else if (text::startsWith(spec, "dword:")) {
      const std::string_view digits = spec.substr(6);
      if (digits.empty() || digits.size() > 8) fail("a dword value needs 1 to 8 hexadecimal digits");
      uint32_t number = 0;
      for (char c : digits) {
        if (!isHexDigit(c)) fail("a dword value needs 1 to 8 hexadecimal digits");
        number = number << 4 | hexValue(c);
      }
      data.type = TypeDword;
      for (int i = 0; i < 4; ++i) data.bytes.push_back(static_cast<char>((number >> (8 * i)) & 0xFF));
    } else if (text::startsWith(spec, "hex")) {
      std::string_view rest = spec.substr(3);
      data.type = TypeBinary;
      if (!rest.empty() && rest.front() == '(') {
        const size_t close = rest.find(')');
        if (close == std::string_view::npos || close == 1 || close > 9) fail("hex(N): needs a hexadecimal type number");
        uint32_t type = 0;
        for (char c : rest.substr(1, close - 1)) {
          if (!isHexDigit(c)) fail("hex(N): needs a hexadecimal type number");
          type = type << 4 | hexValue(c);
        }
        data.type = type;
        rest.remove_prefix(close + 1);
      }
      if (rest.empty() || rest.front() != ':') fail("expected \":\" after hex");
      rest.remove_prefix(1);
      data.bytes = parseHexBytes(rest);
    } else {
      fail("unknown value; expected \"text\", dword:, hex: or hex(N):");
    }
    section.set(name, std::move(data), firstLine, lineIndex_);
  }

  // "01,02,\" continued on the next lines.
  std::string parseHexBytes(std::string_view first) {
    std::string bytes;
    std::string_view part = trimBlanks(first);
    for (;;) {
      bool continued = false;
      if (!part.empty() && part.back() == '\\') {
        continued = true;
        part.remove_suffix(1);
      }
      size_t start = 0;
      while (start <= part.size()) {
        size_t comma = part.find(',', start);
        if (comma == std::string_view::npos) comma = part.size();
        const std::string_view token = trimBlanks(part.substr(start, comma - start));
        if (token.empty()) {
          // Only the place after the last comma may be empty.
          if (comma != part.size()) fail("an empty byte in a hex list");
        } else {
          if (token.size() > 2 || !isHexDigit(token[0]) || (token.size() == 2 && !isHexDigit(token[1])))
            fail("\"" + std::string(token) + "\" is not a hexadecimal byte");
          bytes.push_back(static_cast<char>(token.size() == 1 ? hexValue(token[0])
                                                              : hexValue(token[0]) << 4 | hexValue(token[1])));
        }
        start = comma + 1;
      }
      if (!continued) return bytes;
      if (lineIndex_ + 1 >= lines_.size()) fail("a hex list continued past the end of the file");
      ++lineIndex_;
      part = trimBlanks(lines_[lineIndex_]);
      if (part.empty()) fail("a hex list continued onto an empty line");
    }
  }

  std::vector<std::string> lines_;
  size_t lineIndex_ = 0;
  std::string byteOrderMark_;
  std::string lineEnd_ = "\n";
};

// ---------------------------------------------------------------- writing

std::string quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

// A REG_SZ that reads back unchanged from the "text" form.
bool plainString(const ValueData& v, std::string& textOut) {
  const std::string& b = v.bytes;
  if (v.type != TypeString || b.size() < 2 || b.size() % 2 != 0) return false;
  if (b[b.size() - 1] != '\0' || b[b.size() - 2] != '\0') return false;
  const std::string body = b.substr(0, b.size() - 2);
  textOut = text::fromUtf16le(body);
  if (textOut.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
  return text::toUtf16le(textOut) == body;
}

void appendHexList(std::string& out, const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  size_t column = out.size() - out.rfind('\n') - 1;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    out += digits[b >> 4];
    out += digits[b & 0xF];
    column += 2;
    if (i + 1 < bytes.size()) {
      out += ',';
      ++column;
      if (column > 76) {
        out += "\\\n  ";
        column = 2;
      }
    }
  }
}

// One value as its line (or lines, for a long hex list), ended by a line feed.
std::string valueText(const Value& v) {
  std::string out = v.name.empty() ? std::string("@") : quote(v.name);
  out += '=';
  std::string textValue;
  if (plainString(v.data, textValue)) {
    out += quote(textValue);
  } else if (v.data.type == TypeDword && v.data.bytes.size() == 4) {
    uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = n << 8 | static_cast<unsigned char>(v.data.bytes[static_cast<size_t>(i)]);
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", n);
    out += buf;
  } else {
    if (v.data.type == TypeBinary) {
      out += "hex:";
    } else {
      char buf[24];
      std::snprintf(buf, sizeof buf, "hex(%x):", v.data.type);
      out += buf;
    }
    appendHexList(out, v.data.bytes);
  }
  return out + '\n';
}

// ---------------------------------------------------------------- editing the file's text

void insertLines(FileText& file, size_t at, const std::string& text) {
  std::vector<std::string> added = text::split(text, '\n');
  if (!added.empty() && added.back().empty()) added.pop_back();
  file.lines.insert(file.lines.begin() + static_cast<std::ptrdiff_t>(at), added.begin(), added.end());
}

void ensureHeader(FileText& file) {
  if (file.headerSeen) return;
  file.lines.insert(file.lines.begin(), {kHeader, ""});
  file.headerSeen = true;
}

// A new key goes at the end of the file, after a blank line.
void appendKey(FileText& file, const std::string& keyPath) {
  ensureHeader(file);
  if (!file.lines.empty() && !trimBlanks(file.lines.back()).empty()) file.lines.push_back("");
  file.lines.push_back("[" + keyPath + "]");
}

// The value's own lines are replaced; a new value goes after the last line of
// its key, a new key at the end.
void writeValue(Document& doc, const std::string& keyPath, const std::string& name, const ValueData& data) {
  FileText& file = doc.file;
  Section* section = doc.find(text::toLower(keyPath));
  if (!section || section->lastLine == kNoLine) {
    appendKey(file, keyPath);
    insertLines(file, file.lines.size(), valueText(Value{name, text::toLower(name), data}));
    return;
  }
  if (const Value* old = section->find(text::toLower(name)); old && old->firstLine != kNoLine) {
    // The name keeps the spelling it has in the file, as on Windows.
    file.lines.erase(file.lines.begin() + static_cast<std::ptrdiff_t>(old->firstLine),
                     file.lines.begin() + static_cast<std::ptrdiff_t>(old->lastLine) + 1);
    insertLines(file, old->firstLine, valueText(Value{old->name, old->lowerName, data}));
    return;
  }
  insertLines(file, section->lastLine + 1, valueText(Value{name, text::toLower(name), data}));
}

// The file's bytes again, in the encoding and with the line ends it came with.
std::string fileBytes(const FileText& file) {
  std::string out;
  for (const std::string& line : file.lines) out += line + file.lineEnd;
  if (file.byteOrderMark == "\xFF\xFE") return file.byteOrderMark + text::toUtf16le(out);
  return file.byteOrderMark + out;
}

// ---------------------------------------------------------------- files

struct FileSignature {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime {};
  struct timespec ctime {};
  bool operator==(const FileSignature& o) const {
    return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

struct Loaded {
  uint32_t code = 0;
  std::string corruption;
  std::shared_ptr<const Document> doc;
};

// The last file read, kept while its signature is unchanged: most calls ask a
// file that nobody wrote since.
struct Cache {
  std::mutex mutex;
  std::string path;
  FileSignature signature;
  Loaded loaded;
};
Cache& cache() {
  static Cache* c = new Cache;  // lives to the end of the process
  return *c;
}

uint32_t readWholeFile(const std::string& path, std::string& content) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return winErrorForPath(errno, path);
  content.clear();
  char buf[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      const uint32_t code = lastWinError();
      ::close(fd);
      return code;
    }
    if (n == 0) break;
    content.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return 0;
}

Loaded parseContent(const std::string& path, const std::string& content) {
  Loaded result;
  try {
    Parser parser(content);
    result.doc = std::make_shared<const Document>(parser.parse());
  } catch (const ParseError& e) {
    result.code = RegistryCorrupt;
    result.corruption = "Malformed registry file '" + path + "', line " + std::to_string(e.line) + ": " + e.what;
  }
  return result;
}

Loaded loadFresh(const std::string& path) {
  FileSignature sig;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    sig.exists = true;
    sig.dev = st.st_dev;
    sig.ino = st.st_ino;
    sig.size = st.st_size;
    sig.mtime = st.st_mtim;
    sig.ctime = st.st_ctim;
  } else if (errno != ENOENT && errno != ENOTDIR) {
    return Loaded{winErrorForPath(errno, path), {}, nullptr};
  }

  Cache& c = cache();
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.loaded.doc || c.loaded.code == RegistryCorrupt)
      if (c.path == path && c.signature == sig) return c.loaded;
  }

  Loaded result;
  if (!sig.exists) {
    result.doc = std::make_shared<const Document>();
  } else {
    std::string content;
    const uint32_t code = readWholeFile(path, content);
    if (code == winerr::FileNotFound || code == winerr::PathNotFound) {
      result.doc = std::make_shared<const Document>();  // removed since the stat
    } else if (code != 0) {
      return Loaded{code, {}, nullptr};
    } else {
      result = parseContent(path, content);
    }
  }
  std::lock_guard<std::mutex> lock(c.mutex);
  c.path = path;
  c.signature = sig;
  c.loaded = result;
  return result;
}

// The reading a OneReading holds on this thread, if any.
struct HeldReading {
  int depth = 0;
  std::string path;
  std::optional<Loaded> loaded;
};
thread_local HeldReading held;

// What readers see: the file as it is now, or as it was when the thread's
// OneReading first looked at it.
Loaded load(const std::string& path) {
  const account::ProgramAccountScope asProgram;  // the registry is the installation's
  if (held.depth == 0) return loadFresh(path);
  if (held.loaded && held.path == path) return *held.loaded;
  Loaded loaded = loadFresh(path);
  held.path = path;
  held.loaded = loaded;
  return loaded;
}

uint32_t answer(const Loaded& loaded) {
  if (loaded.code == RegistryCorrupt) lastCorruption = loaded.corruption;
  return loaded.code;
}

class WriteLock {
 public:
  explicit WriteLock(const std::string& registry) {
    const std::string path = registry + ".lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      code_ = winErrorForPath(errno, path);
      return;
    }
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        code_ = lastWinError();
        return;
      }
    }
  }
  ~WriteLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;
  uint32_t code() const { return code_; }

 private:
  int fd_ = -1;
  uint32_t code_ = 0;
};

uint32_t replaceFile(const std::string& path, const std::string& content) {
  std::string tmpl = path + ".XXXXXX";
  const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) return winErrorForPath(errno, path);
  auto fail = [&](uint32_t code) {
    ::close(fd);
    ::unlink(tmpl.c_str());
    return code;
  };
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(lastWinError());
    }
    done += static_cast<size_t>(n);
  }
  struct stat st {};
  const bool existed = ::stat(path.c_str(), &st) == 0;
  const mode_t mode = existed ? (st.st_mode & 07777) : 0644;
  if (existed && (st.st_uid != ::geteuid() || st.st_gid != ::getegid())) {
    // The file keeps its owner where the account may give it away.
    [[maybe_unused]] const int given = ::fchown(fd, st.st_uid, st.st_gid);
  }
  if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) return fail(lastWinError());
  if (::close(fd) != 0) {
    ::unlink(tmpl.c_str());
    return lastWinError();
  }
  if (::rename(tmpl.c_str(), path.c_str()) != 0) {
    const uint32_t code = lastWinError();
    ::unlink(tmpl.c_str());
    return code;
  }
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (const int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    ::fsync(dir);  // the new file's name; the old file stays readable until then
    ::close(dir);
  }
  return 0;
}

// Reads the file under the write lock, lets change edit a copy and writes
// the result when change says it changed something.
// A change that finds everything as asked writes nothing and needs no lock,
// so a program that may not write the registry still "sets" values that the
// installation has put there already.
template <class Change>
uint32_t modify(Change&& change) {
  const account::ProgramAccountScope asProgram;
  const std::string path = registryPath();
  {
    const Loaded current = loadFresh(path);
    if (current.code != 0) return answer(current);
    Document probe = *current.doc;
    if (!change(probe)) return 0;
  }
  WriteLock lock(path);
  if (lock.code() != 0) return lock.code();
  const Loaded loaded = loadFresh(path);
  if (loaded.code != 0) return answer(loaded);
  Document doc = *loaded.doc;
  if (!change(doc)) return 0;
  held.loaded.reset();  // a reading held on this thread must see its own write
  return replaceFile(path, fileBytes(doc.file));
}

} // namespace

OneReading::OneReading() { ++held.depth; }

OneReading::~OneReading() {
  if (--held.depth == 0) held.loaded.reset();
}

std::string registryPath() { return environmentOr("TARVO_REGISTRY", "/etc/tarvo/registry.reg"); }

uint32_t openKey(const std::string& keyPath) {
  const std::string key = trimKeyPath(keyPath);
  if (isRootName(key)) return 0;
  const Loaded loaded = load(registryPath());
  if (loaded.code != 0) return answer(loaded);
  return loaded.doc->keyExists(text::toLower(key)) ? 0 : winerr::FileNotFound;
}

uint32_t queryValue(const std::string& keyPath, const std::string& name, ValueData& value) {
  const Loaded loaded = load(registryPath());
  if (loaded.code != 0) return answer(loaded);
  const Section* section = loaded.doc->find(text::toLower(trimKeyPath(keyPath)));
  if (!section) return winerr::FileNotFound;
  const Value* v = section->find(text::toLower(name));
  if (!v) return winerr::FileNotFound;
  value = v->data;
  return 0;
}

uint32_t createKey(const std::string& keyPath) {
  const std::string key = trimKeyPath(keyPath);
  if (isRootName(key)) return 0;
  if (!isRootName(text::split(key, '\\').front())) return winerr::InvalidParameter;
  return modify([&](Document& doc) {
    if (doc.keyExists(text::toLower(key))) return false;
    appendKey(doc.file, key);
    return true;
  });
}

uint32_t setValue(const std::string& keyPath, const std::string& name, const ValueData& value) {
  const std::string key = trimKeyPath(keyPath);
  if (!isRootName(text::split(key, '\\').front())) return winerr::InvalidParameter;
  return modify([&](Document& doc) {
    const Section* section = doc.find(text::toLower(key));
    const Value* old = section ? section->find(text::toLower(name)) : nullptr;
    if (old && old->data.type == value.type && old->data.bytes == value.bytes) return false;
    writeValue(doc, key, name, value);
    return true;
  });
}

const std::string& corruptionText() { return lastCorruption; }

} // namespace platform::regfile
