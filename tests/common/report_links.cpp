#include "tests/common/report_links.h"

#include <sys/wait.h>

#include <filesystem>
#include <stdexcept>

#include "tests/common/test_env.h"

namespace testenv {
namespace {

// The page's DOM as Chromium prints it; the browser gets 60 s.
std::string renderedPage(const std::string& path) {
  TempDir profile;
  const std::string out = profile / "dom.html", err = profile / "chromium.err";
  const std::string command = "timeout 60 /usr/bin/chromium --headless --no-sandbox --disable-gpu --user-data-dir='" +
                              profile.path() + "/profile' --dump-dom 'file://" + path + "' >'" + out + "' 2>'" + err +
                              "'";
  const int status = std::system(command.c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("chromium could not show " + path + " (status " + std::to_string(status) +
                             "; scripts/install-deps installs it):\n" + readFile(err));
  return readFile(out);
}

}  // namespace

std::vector<std::string> linksLeadingNowhere(const std::string& directory, const std::string& page) {
  std::vector<std::string> nowhere;
  const std::string html = renderedPage(directory + "/" + page);
  if (html.find("</html>") == std::string::npos) return {"(no page: " + html.substr(0, 200) + ")"};
  for (size_t at = html.find("=\""); at != std::string::npos; at = html.find("=\"", at + 1)) {
    if (html.compare(at - 4, 4, "href") != 0 && html.compare(at - 3, 3, "src") != 0) continue;
    std::string target = html.substr(at + 2, html.find('"', at + 2) - at - 2);
    target = target.substr(0, target.find('#'));
    if (target.empty() || target.find(':') != std::string::npos) continue;  // anchors, other sites, scripts
    if (!std::filesystem::is_regular_file(directory + "/" + target)) nowhere.push_back(target);
  }
  return nowhere;
}

}  // namespace testenv
