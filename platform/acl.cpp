#include "platform/acl.h"

#include <acl/libacl.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/win_error.h"

namespace platform::acl {

namespace {

constexpr int kRead = 4, kWrite = 2, kExecute = 1;

int bitsOf(uint32_t mask) {
  int bits = 0;
  if (mask & (right::GenericAll | right::GenericRead | right::ReadData)) bits |= kRead;
  if (mask & (right::GenericAll | right::GenericWrite | right::WriteData | right::AppendData | right::DeleteChild))
    bits |= kWrite;
  if (mask & (right::GenericAll | right::GenericExecute | right::Execute)) bits |= kExecute;
  return bits;
}

std::string parentOf(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : p.substr(0, slash);
}

struct AclHolder {
  acl_t acl;
  ~AclHolder() {
    if (acl) acl_free(acl);
  }
};

void addPerms(acl_entry_t entry, int bits) {
  acl_permset_t perms;
  if (acl_get_permset(entry, &perms) != 0) return;
  if (bits & kRead) acl_add_perm(perms, ACL_READ);
  if (bits & kWrite) acl_add_perm(perms, ACL_WRITE);
  if (bits & kExecute) acl_add_perm(perms, ACL_EXECUTE);
  acl_set_permset(entry, perms);
}

// The owner's mode bits, for file systems without ACLs.
int grantByMode(const std::string& path, const struct stat& st, int bits) {
  if (st.st_uid != ::geteuid()) {
    errno = EACCES;
    return -1;
  }
  return ::chmod(path.c_str(), (st.st_mode & 07777) | static_cast<mode_t>(bits << 6));
}

int grantBits(const std::string& path, int bits) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return -1;
  if (S_ISLNK(st.st_mode)) return 0;
  const uid_t self = ::geteuid();
  AclHolder holder{acl_get_file(path.c_str(), ACL_TYPE_ACCESS)};
  if (!holder.acl) {
    if (errno == ENOTSUP || errno == EOPNOTSUPP) return grantByMode(path, st, bits);
    return -1;
  }
  const bool owner = st.st_uid == self;
  acl_entry_t entry = nullptr, mask = nullptr, found = nullptr;
  for (int which = ACL_FIRST_ENTRY; acl_get_entry(holder.acl, which, &entry) == 1; which = ACL_NEXT_ENTRY) {
    acl_tag_t tag;
    if (acl_get_tag_type(entry, &tag) != 0) continue;
    if (tag == ACL_MASK) mask = entry;
    if (owner && tag == ACL_USER_OBJ) found = entry;
    if (!owner && tag == ACL_USER) {
      auto* qualifier = static_cast<uid_t*>(acl_get_qualifier(entry));
      if (qualifier && *qualifier == self) found = entry;
      if (qualifier) acl_free(qualifier);
    }
  }
  if (!found) {
    if (acl_create_entry(&holder.acl, &found) != 0) return -1;
    acl_set_tag_type(found, ACL_USER);
    acl_set_qualifier(found, &self);
  }
  addPerms(found, bits);
  if (!owner) {
    // A named entry is limited by the mask: widen it by exactly these bits.
    if (mask) addPerms(mask, bits);
    else if (acl_calc_mask(&holder.acl) != 0) return -1;
  }
  return acl_set_file(path.c_str(), ACL_TYPE_ACCESS, holder.acl);
}

} // namespace

uint32_t grantAccess(const std::string& path, uint32_t accessMask) {
  if (::geteuid() == 0) return 0;
  const int bits = bitsOf(accessMask);
  if (bits && grantBits(path, bits) != 0) return winErrorForPath(errno, path);
  if ((accessMask & (right::Delete | right::GenericAll)) && grantBits(parentOf(path), kWrite | kExecute) != 0)
    return winErrorForPath(errno, parentOf(path));
  return 0;
}

uint32_t readPermissions(const std::string& path, Permissions& permissions) {
  permissions = Permissions{};
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return winErrorForPath(errno, path);
  permissions.mode = st.st_mode & 07777;
  AclHolder holder{acl_get_file(path.c_str(), ACL_TYPE_ACCESS)};
  if (!holder.acl) {
    if (errno == ENOTSUP || errno == EOPNOTSUPP) return 0;
    return winErrorForPath(errno, path);
  }
  char* text = acl_to_text(holder.acl, nullptr);
  if (!text) return lastWinError();
  permissions.hasAcl = true;
  permissions.aclText = text;
  acl_free(text);
  return 0;
}

uint32_t applyPermissions(const std::string& path, const Permissions& permissions) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return winErrorForPath(errno, path);
  if (S_ISLNK(st.st_mode)) return 0;
  // Search is what execute means on a directory; on a report file it would
  // make the page a program.
  const bool directory = S_ISDIR(st.st_mode);
  if (permissions.hasAcl) {
    AclHolder holder{acl_from_text(permissions.aclText.c_str())};
    if (!holder.acl) return winerr::InvalidParameter;
    if (!directory) {
      acl_entry_t entry = nullptr;
      for (int which = ACL_FIRST_ENTRY; acl_get_entry(holder.acl, which, &entry) == 1; which = ACL_NEXT_ENTRY) {
        acl_permset_t perms;
        if (acl_get_permset(entry, &perms) != 0) continue;
        acl_delete_perm(perms, ACL_EXECUTE);
        acl_set_permset(entry, perms);
      }
    }
    if (acl_set_file(path.c_str(), ACL_TYPE_ACCESS, holder.acl) == 0) return 0;
    if (errno != ENOTSUP && errno != EOPNOTSUPP) return winErrorForPath(errno, path);
  }
  const mode_t mode = static_cast<mode_t>(permissions.mode & (directory ? 07777 : 0666));
  if (::chmod(path.c_str(), mode) != 0) return winErrorForPath(errno, path);
  return 0;
}

bool mayChangePermissions(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return false;
  return ::geteuid() == 0 || st.st_uid == ::geteuid();
}

} // namespace platform::acl
