#include "support/webspace_owner.h"

#include "platform/account.h"
#include "platform/fs.h"
#include "support/errors.h"
#include "support/format.h"
#include "support/logging.h"

std::string webspaceDirectoryOf(const std::string& vhostsRoot, const std::string& path) {
  std::string root = vhostsRoot;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 || path[root.size()] != '/')
    return {};
  const size_t end = path.find('/', root.size() + 1);
  return path.substr(0, end);
}

void workAsWebspaceOwner(const std::string& webspaceDirectory) {
  const Place place{formatString("Work in webspace %s as its owner", webspaceDirectory), "workAsWebspaceOwner", 0};
  if (webspaceDirectory.empty()) return;
  platform::account::Account owner;
  if (const uint32_t code = platform::account::ownerOf(webspaceDirectory, owner))
    throwOsException("Find the owner of " + webspaceDirectory, code, place);
  if (owner.uid == 0) return;
  if (platform::account::mayActAsOthers()) {
    if (const uint32_t code = platform::account::actAs(owner))
      throwOsException(formatString("Act as the owner of %s (uid %u, gid %u)", webspaceDirectory, owner.uid, owner.gid),
                       code, place);
    LogManager::instance().log(Info, "Working in %s as its owner (uid %u, gid %u)", webspaceDirectory, owner.uid,
                               owner.gid);
  }
  if (const uint32_t code = platform::fs::confineBeneath(webspaceDirectory))
    throwOsException("Open " + webspaceDirectory, code, place);
}
