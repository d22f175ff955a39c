// Directory enumeration with Windows name patterns.
#include <string>

#include "platform/fs.h"
#include "platform/text.h"
#include "platform/win_error.h"
#include "support/errors.h"
#include "support/file_ops.h"

namespace {

// "*" any run of characters, "?" exactly one; on code points.
bool globMatch(const std::u32string& pattern, const std::u32string& name) {
  size_t p = 0, n = 0, starP = std::u32string::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == U'?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == U'*') {
      starP = p++;
      starN = n;
    } else if (starP != std::u32string::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == U'*') ++p;
  return p == pattern.size();
}

} // namespace

bool matchFilePattern(const std::string& pattern, const std::string& name) {
  const std::u32string p = text::decodeUtf8(text::toLower(pattern));
  const std::u32string n = text::decodeUtf8(text::toLower(name));
  if (globMatch(p, n)) return true;
  // As on Windows, a final ".*" also matches no extension at all ("*.*" is
  // every name) and a final "." asks for names without one.
  if (p.size() >= 2 && p.compare(p.size() - 2, 2, U".*") == 0) return globMatch(p.substr(0, p.size() - 2), n);
  if (p.size() >= 2 && p.back() == U'.' && p != U"..")
    return n.find(U'.') == std::u32string::npos && globMatch(p.substr(0, p.size() - 1), n);
  return false;
}

VFileFinder::VFileFinder() = default;
VFileFinder::~VFileFinder() = default;
VFileFinder::VFileFinder(VFileFinder&&) noexcept = default;
VFileFinder& VFileFinder::operator=(VFileFinder&&) noexcept = default;

bool VFileFinder::first(const std::string& pattern) {
  dir_.reset();
  name_.clear();
  attributes_ = 0;
  const std::string path = VFileName::toLongPath(pattern);
  const size_t slash = path.rfind('/');
  directory_ = slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
  namePattern_ = slash == std::string::npos ? path : path.substr(slash + 1);
  auto reader = std::make_unique<platform::fs::DirectoryReader>();
  const uint32_t code = reader->open(directory_);
  if (code == platform::winerr::FileNotFound || code == platform::winerr::PathNotFound) return false;
  if (code) throwOsException("FindFirstFile(" + pattern + ")", code, Place{"", "VFileFinder::first", 390});
  dir_ = std::move(reader);
  return advance(true, pattern);
}

bool VFileFinder::next() {
  if (!dir_) return false;
  return advance(false, {});
}

bool VFileFinder::advance(bool first, const std::string& pattern) {
  const auto fail = [&](uint32_t code) {
    if (first) throwOsException("FindFirstFile(" + pattern + ")", code, Place{"", "VFileFinder::first", 390});
    throwOsException("FindNextFile", code, Place{"", "VFileFinder::next", 401});
  };
  for (;;) {
    std::string entry;
    bool atEnd = false;
    if (const uint32_t code = dir_->next(entry, atEnd)) fail(code);
    if (atEnd) {
      dir_.reset();
      return false;
    }
    if (!matchFilePattern(namePattern_, entry)) continue;
    platform::fs::EntryStatus status;
    const uint32_t code = dir_->statEntry(entry, status);
    if (code == platform::winerr::FileNotFound) continue;  // removed since it was listed
    if (code) fail(code);
    name_ = std::move(entry);
    attributes_ = platform::fs::windowsAttributes(status);
    return true;
  }
}

void listFiles(const std::string& directory, const std::string& pattern, std::vector<std::string>& files,
               bool recursive) {
  VFileFinder found;
  if (found.first(VFileName::combine(directory, pattern))) {
    do {
      if (!found.isDirectory() && !found.isDots()) files.push_back(VFileName::combine(directory, found.name()));
    } while (found.next());
  }
  if (!recursive) return;
  VFileFinder subdirectories;
  if (subdirectories.first(VFileName::combine(directory, "*.*"))) {
    do {
      // A linked directory is not descended into: it may lead back up the tree.
      if (subdirectories.isDirectory() && !subdirectories.isDots() &&
          !(subdirectories.attributes() & file_attribute::ReparsePoint))
        listFiles(VFileName::combine(directory, subdirectories.name()), pattern, files, true);
    } while (subdirectories.next());
  }
}
