// Path names: normalisation, combination and the small helpers around them.
// All of it is text work; nothing here asks the file system.
#include <string>
#include <vector>

#include "platform/environment.h"
#include "support/file_ops.h"

namespace {

// Drops empty and "." components and resolves "..", keeping a leading and a
// trailing "/" as they were. A ".." at the start of a relative path has
// nothing to remove and stays; at the root it is dropped.
std::string normalizeSlashes(std::string path) {
  for (const char* prefix : {"//?/", "//./"}) {
    if (path.compare(0, 4, prefix) == 0) {
      path.erase(0, 3);  // keep the "/" that starts the absolute path
      break;
    }
  }
  const bool leading = !path.empty() && path.front() == '/';
  const bool trailing = path.size() > 1 && path.back() == '/';
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string::npos) end = path.size();
    std::string component = path.substr(pos, end - pos);
    pos = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
        continue;
      }
      if (leading) continue;
    }
    parts.push_back(std::move(component));
  }
  std::string out = leading ? "/" : "";
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += '/';
    out += parts[i];
  }
  if (trailing && !parts.empty()) out += '/';
  return out;
}

} // namespace

namespace VFileName {

std::string toLongPath(const std::string& path) {
  if (path.empty() || path.front() != '/') return path;
  return normalizeSlashes(path);
}

std::string combine(const std::string& base, const std::string& more) {
  const size_t skip = more.find_first_not_of("\\/");
  const std::string tail = skip == std::string::npos ? std::string() : more.substr(skip);
  const std::string head = toLongPath(base);
  if (head.empty()) return normalizeSlashes(tail);
  if (tail.empty()) return normalizeSlashes(head);
  return normalizeSlashes(head.back() == '/' ? head + tail : head + "/" + tail);
}

std::string canonicalize(const std::string& path) { return normalizeSlashes(toLongPath(path)); }

std::string removeFileSpec(const std::string& path) {
  std::string normal = normalizeSlashes(path);
  if (normal.size() > 1 && normal.back() == '/') {
    normal.pop_back();
    return normal;
  }
  const size_t slash = normal.rfind('/');
  if (slash == std::string::npos) return {};
  if (slash == 0) return "/";
  return normal.substr(0, slash);
}

std::string expandEnvironmentStrings(const std::string& text) { return platform::expandEnvironmentStrings(text); }

} // namespace VFileName

std::string normalizeFilePath(const std::string& path) {
  std::string native = path;
  for (char& c : native)
    if (c == '\\') c = '/';
  return normalizeSlashes(native);
}

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  std::string directory = path.substr(0, slash);
  while (!directory.empty() && directory.back() == '/') directory.pop_back();
  if (directory.empty() && path.front() == '/') return "/";
  return directory;
}

std::string appendBackslash(const std::string& path) {
  if (path.empty() || path.back() != '/') return path + "/";
  return path;
}
