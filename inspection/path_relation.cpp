#include "inspection/path_relation.h"

#include <vector>

#include "platform/text.h"

namespace inspection {

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

std::string_view withoutPrefix(std::string_view path) {
  // "\\?\" and "\??\", in either separator style.
  if (path.size() >= 4 && isSeparator(path[0]) && (isSeparator(path[1]) || path[1] == '?') && path[2] == '?' &&
      isSeparator(path[3]))
    return path.substr(4);
  return path;
}

std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> out;
  size_t pos = 0;
  while (pos < path.size()) {
    while (pos < path.size() && isSeparator(path[pos])) ++pos;
    size_t end = pos;
    while (end < path.size() && !isSeparator(path[end])) ++end;
    if (end > pos) out.push_back(path.substr(pos, end - pos));
    pos = end;
  }
  return out;
}

size_t characters(std::string_view s) { return text::decodeUtf8(s).size(); }

} // namespace

PathRelation comparePaths(std::string_view a, std::string_view b) {
  const auto left = components(withoutPrefix(a));
  const auto right = components(withoutPrefix(b));
  for (size_t i = 0; i < left.size() && i < right.size(); ++i) {
    const size_t l = characters(left[i]), r = characters(right[i]);
    if (l != r) return l < r ? PathRelation::Before : PathRelation::After;
    const int order = text::compareNoCase(left[i], right[i]);
    if (order != 0) return order < 0 ? PathRelation::Before : PathRelation::After;
  }
  if (left.size() == right.size()) return PathRelation::Equal;
  return left.size() < right.size() ? PathRelation::FirstIsAncestor : PathRelation::SecondIsAncestor;
}

bool PathLess::operator()(const std::string& a, const std::string& b) const {
  const PathRelation relation = comparePaths(a, b);
  return relation == PathRelation::Before || relation == PathRelation::FirstIsAncestor;
}

const std::string* matchingItem(const PathSet& items, std::string_view path) {
  for (const std::string& item : items) {
    const PathRelation relation = comparePaths(item, path);
    if (relation == PathRelation::Equal || relation == PathRelation::FirstIsAncestor) return &item;
  }
  return nullptr;
}

} // namespace inspection
