// The installation settings the program asks of the management service, and
// the two values it reads from the registry.
#pragma once

#include <string>

// normalizePath of the service's answer, trailing separators removed.
std::string getConfigPath(const std::string& settingName);
std::string getVhostsDir();        // "HTTPD_VHOSTS_D", asked at every use
std::string getProductRootDir();   // "PRODUCT_ROOT_D", asked once per process
std::string getWebalizerPath();    // "WebalizerPath"
std::string getAWStatsPath();      // "AWStatsPath"
// The installation directory of a package ("awstats"), empty when none.
std::string getComponentPath(const std::string& packageName);

// "/" separators, "." and empty segments dropped, ".." resolved, a leading and
// a trailing separator kept as they were.
std::string normalizePath(const std::string& path);
