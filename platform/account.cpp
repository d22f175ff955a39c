#include "platform/account.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <optional>

#include "platform/win_error.h"

namespace platform::account {

namespace {

constexpr const char* kPanelGroupName = "tarvo";

// Set once in a worker, before it does anything of the webspace's.
std::optional<Account> actingAccount;
std::vector<gid_t> ownGroups;
int programScopes = 0;

std::vector<gid_t> asGids(const std::vector<uint32_t>& groups) { return {groups.begin(), groups.end()}; }

// The ids become the account's or root's again; the order matters: groups
// and group ids can only be changed while the effective user is root.
bool switchTo(const Account& account) {
  const std::vector<gid_t> groups = asGids(account.groups);
  return ::setgroups(groups.size(), groups.data()) == 0 && ::setegid(account.gid) == 0 && ::seteuid(account.uid) == 0;
}

bool switchBack() {
  return ::seteuid(0) == 0 && ::setegid(0) == 0 && ::setgroups(ownGroups.size(), ownGroups.data()) == 0;
}

} // namespace

uint32_t ownerOf(const std::string& path, Account& account) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return winErrorForPath(errno, path);
  account = Account{st.st_uid, st.st_gid, {}};
  struct passwd entry {};
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(st.st_uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    if (::getgrouplist(found->pw_name, st.st_gid, groups.data(), &count) < 0) {
      groups.resize(static_cast<size_t>(count));
      ::getgrouplist(found->pw_name, st.st_gid, groups.data(), &count);
    }
    groups.resize(static_cast<size_t>(count));
    account.groups.assign(groups.begin(), groups.end());
  }
  // An account the system does not know by name has its directory's group.
  if (account.groups.empty()) account.groups.push_back(st.st_gid);
  return 0;
}

bool mayActAsOthers() { return ::geteuid() == 0; }

uint32_t actAs(const Account& account) {
  if (actingAccount) return winerr::InvalidParameter;
  const int count = ::getgroups(0, nullptr);
  ownGroups.resize(count > 0 ? static_cast<size_t>(count) : 0);
  if (count > 0) ::getgroups(count, ownGroups.data());
  if (!switchTo(account)) {
    const uint32_t code = lastWinError();
    switchBack();
    return code;
  }
  actingAccount = account;
  return 0;
}

const Account* acting() { return actingAccount ? &*actingAccount : nullptr; }

ProgramAccountScope::ProgramAccountScope() noexcept {
  if (!actingAccount) return;
  if (programScopes++ == 0) switched_ = switchBack();
}

ProgramAccountScope::~ProgramAccountScope() {
  if (!actingAccount) return;
  if (--programScopes == 0 && switched_) switchTo(*actingAccount);
}

uint32_t shareWithActingGroup(const std::string& path) {
  if (!actingAccount) return 0;
  const ProgramAccountScope asProgram;
  if (::lchown(path.c_str(), static_cast<uid_t>(-1), actingAccount->gid) != 0 || ::chmod(path.c_str(), 0640) != 0)
    return winErrorForPath(errno, path);
  return 0;
}

uint32_t makeDirectoryForActingAccount(const std::string& path) {
  const ProgramAccountScope asProgram;
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    if (::mkdir(path.substr(0, pos).c_str(), 0755) != 0 && errno != EEXIST) return winErrorForPath(errno, path);
  }
  if (!actingAccount) return 0;
  if (::lchown(path.c_str(), actingAccount->uid, actingAccount->gid) != 0 || ::chmod(path.c_str(), 0700) != 0)
    return winErrorForPath(errno, path);
  return 0;
}

uint32_t panelGroup() {
  static std::once_flag once;
  static uint32_t gid = 0;
  std::call_once(once, [] {
    struct group entry {};
    struct group* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getgrnam_r(kPanelGroupName, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
      gid = found->gr_gid;
  });
  return gid;
}

bool becomeActingAccountForExec() noexcept {
  // Inside a scope of the program's own account the child stays root (the
  // dumper that writes a core of this process).
  if (!actingAccount || programScopes > 0) return true;
  const Account& a = *actingAccount;
  // Raw calls: only the calling thread of the new child exists.
  if (::syscall(SYS_setresuid, -1, 0, -1) != 0) return false;
  gid_t groups[256];
  size_t count = 0;
  for (const uint32_t g : a.groups)
    if (count < 256) groups[count++] = g;
  return ::syscall(SYS_setgroups, count, groups) == 0 && ::syscall(SYS_setresgid, a.gid, a.gid, a.gid) == 0 &&
         ::syscall(SYS_setresuid, a.uid, a.uid, a.uid) == 0;
}

} // namespace platform::account
