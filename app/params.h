// The named parameters of one run: every argument "name=value" (or a bare
// "name", which holds an empty value), the later of two equal names winning.
#pragma once

#include <map>
#include <string>
#include <vector>

class Params {
 public:
  // Names ordered as UTF-16 code units compare (the order of the checks).
  struct NameOrder {
    bool operator()(const std::string& a, const std::string& b) const;
  };
  using Store = std::map<std::string, std::string, NameOrder>;

  Params(int count, char** arguments);

  // Raises "Missing required parameter <name>. <usage>" for the first
  // required name not given, then "Unexpected parameter <name>. <usage>" for
  // the first given name that is neither required, optional nor
  // "--internal-package-name".
  void check(const std::vector<std::string>& required, const std::vector<std::string>& optional = {}) const;
  // The value of a given name; any other name is reported missing.
  std::string get(const std::string& name) const;
  [[noreturn]] static void reportMissingParameter(const std::string& name);

  const Store& values() const { return values_; }

 private:
  Store values_;
};

// "Possible parameters:\n" and the names, four spaces before each, one per
// line; empty for an empty list.
std::string usageText(const std::vector<std::string>& names);
