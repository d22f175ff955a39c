// The stand-in service's settings: a plain text file of NAME=value lines.
//
//   # the installation of this host
//   HTTPD_VHOSTS_D=/var/www/vhosts
//   PRODUCT_ROOT_D=/opt/tarvo
//   WebalizerPath=/usr/bin/webalizer
//   AWStatsPath=/opt/tarvo/awstats
//   component.awstats=/usr/share/awstats
//
// Blank lines and lines beginning with "#" are ignored; white space around
// the name and the value is dropped; names compare case-insensitively; a
// later line wins over an earlier one. "component.PACKAGE" lines give the
// installation directory of a package (componentInfo with mode 2).
#pragma once

#include <map>
#include <optional>
#include <string>

namespace mgmt {

class SettingsFile {
 public:
  explicit SettingsFile(std::string path) : path_(std::move(path)) {}

  // Reads the file again when it changed since the last reading (or when
  // forced). False when it cannot be read or parsed; error() says why, and
  // the values read before are dropped so that no stale answer goes out.
  bool refresh(bool force);

  std::optional<std::string> setting(const std::string& name) const;
  std::optional<std::string> component(const std::string& package) const;

  const std::string& path() const { return path_; }
  const std::string& error() const { return error_; }
  size_t size() const { return values_.size(); }

 private:
  std::string path_;
  std::string identity_;  // what the file looked like at the last reading
  std::map<std::string, std::string> values_;  // lower-case name -> value
  std::string error_ = "not read yet";
};

} // namespace mgmt
