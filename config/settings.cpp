#include "config/settings.h"

#include <mutex>
#include <optional>
#include <vector>

#include "platform/text.h"
#include "service/tarvo_srv_client.h"

namespace {

// The service's answer as a path without trailing separators (a value made
// only of separators becomes empty).
std::string asPath(const std::string& answer) {
  std::string path = normalizePath(answer);
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

} // namespace

std::string getConfigPath(const std::string& settingName) {
  TarvoSrvClient& client = TarvoSrvClient::getInstance();
  return asPath(client.getString(settingName));
}

std::string getVhostsDir() { return getConfigPath("HTTPD_VHOSTS_D"); }

std::string getProductRootDir() {
  // Asked once per process; a failed first call stores nothing.
  static std::mutex lock;
  static std::optional<std::string> productRoot;
  std::lock_guard<std::mutex> guard(lock);
  if (!productRoot) productRoot = getConfigPath("PRODUCT_ROOT_D");
  return *productRoot;
}

std::string getWebalizerPath() { return getConfigPath("WebalizerPath"); }

std::string getAWStatsPath() { return getConfigPath("AWStatsPath"); }

std::string getComponentPath(const std::string& packageName) {
  TarvoSrvClient& client = TarvoSrvClient::getInstance();
  return asPath(client.componentInfo(packageName, 2));
}

std::string normalizePath(const std::string& input) {
  std::string path = input;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  // The Windows long-path and device prefixes have no meaning here: the
  // normalised path is already the long form.
  if (text::startsWith(path, "//?/") || text::startsWith(path, "//./")) path.erase(0, 4);

  const bool leading = !path.empty() && path.front() == '/';
  const bool trailing = path.size() > 1 && path.back() == '/';

  std::vector<std::string> segments;
  for (std::string& segment : text::split(path, '/')) {
    if (segment.empty() || segment == ".") continue;
    if (segment == "..") {
      if (!segments.empty() && segments.back() != "..") {
        segments.pop_back();
      } else {
        segments.push_back(segment);
      }
      continue;
    }
    segments.push_back(std::move(segment));
  }

  std::string out = text::join(segments, "/");
  if (leading) out.insert(out.begin(), '/');
  if (trailing) out.push_back('/');
  return out;
}
