// How two paths relate, component by component: the comparison that orders
// the items in question and matches open files against them. A leading
// long-path prefix ("\\?\", "\??\") is ignored, runs of "/" or "\" separate
// components, shorter components order first, components of equal length
// compare without regard to letter case.
#pragma once

#include <set>
#include <string>
#include <string_view>

namespace inspection {

enum class PathRelation { Equal, FirstIsAncestor, SecondIsAncestor, Before, After };

PathRelation comparePaths(std::string_view a, std::string_view b);

struct PathLess {
  bool operator()(const std::string& a, const std::string& b) const;
};
using PathSet = std::set<std::string, PathLess>;

// The first item, in order, that is the path or one of its ancestors.
const std::string* matchingItem(const PathSet& items, std::string_view path);

} // namespace inspection
