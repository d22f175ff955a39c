// The account the program acts as. A run starts as root; the work inside a
// webspace that belongs to a customer is done as that customer (the owner and
// group of the webspace directory), as a careful root job does in
// directories that others can write: the kernel then refuses whatever that
// account may not do, whatever links, hard links or renames the customer
// leaves there, and the programs started for that work run as the customer
// too. Only the effective ids change: the few steps that work on the
// installation rather than on the webspace (the daily log and its locks, the
// registry file, the management service, the AWStats working configuration)
// take the program's own account back for their length.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::account {

struct Account {
  uint32_t uid = 0;
  uint32_t gid = 0;
  std::vector<uint32_t> groups;  // supplementary groups; the gid among them
};

// The owner and group of the item itself (a link is not followed), with the
// owner's supplementary groups when the system knows the account by name.
uint32_t ownerOf(const std::string& path, Account& account);

// True when the program runs as root and so may act as another account.
bool mayActAsOthers();

// From here on the process works as the account (its effective ids and
// groups), and every program it starts runs as that account entirely. Meant
// for a process of its own that does one webspace's work; 0 or the code.
uint32_t actAs(const Account& account);

// The account the process acts as; null while it acts as itself.
const Account* acting();

// The program's own account for the length of the scope, where the process
// acts as another one; nothing changes otherwise. Scopes nest.
class ProgramAccountScope {
 public:
  ProgramAccountScope() noexcept;
  ~ProgramAccountScope();
  ProgramAccountScope(const ProgramAccountScope&) = delete;
  ProgramAccountScope& operator=(const ProgramAccountScope&) = delete;

 private:
  bool switched_ = false;
};

// An installation file that the program wrote for the acting account's
// programs to read (the AWStats working configuration): it gets mode 0640
// and the account's group, so that no other customer reads it. Nothing
// changes where the process acts as itself; 0 or the code.
uint32_t shareWithActingGroup(const std::string& path);

// A directory of the installation for the acting account's programs alone
// (the account's, mode 0700), made with its missing parents; where the
// process acts as itself, an ordinary directory. 0 or the code.
uint32_t makeDirectoryForActingAccount(const std::string& path);

// The group of the panel's programs ("tarvo"), which may use the program's
// lock files and daily logs; 0 (root's group) where the system has none.
uint32_t panelGroup();

// In a child that is about to run a program (after fork, before exec): gives
// up root for good and becomes the acting account. Async-signal-safe; false
// when the kernel refused.
bool becomeActingAccountForExec() noexcept;

} // namespace platform::account
