#include "platform/self_cmdline.h"

#include <fstream>
#include <iterator>

namespace platform {

std::vector<std::string> ownCommandLine() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  if (!in) return {};
  const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Each argument ends with a NUL; an empty argument is a NUL of its own.
  std::vector<std::string> arguments;
  size_t start = 0;
  while (start < raw.size()) {
    const size_t end = raw.find('\0', start);
    if (end == std::string::npos) {
      arguments.push_back(raw.substr(start));
      break;
    }
    arguments.push_back(raw.substr(start, end - start));
    start = end + 1;
  }
  return arguments;
}

} // namespace platform
