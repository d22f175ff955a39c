// Every link of a published report page, as a browser sees the page, must
// lead to a file beside it: the reports are static files without a CGI.
#pragma once

#include <string>
#include <vector>

namespace testenv {

// The local links (href) and images (src) of the page, read from the page as
// headless Chromium builds it (scripts run), that lead to no file; links to
// other sites, anchors and scripts are left out.
std::vector<std::string> linksLeadingNowhere(const std::string& directory, const std::string& page);

}  // namespace testenv
