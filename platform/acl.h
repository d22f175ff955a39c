// Rights on files and directories. Where the file system keeps POSIX ACLs the
// rights are ACL entries (libacl); elsewhere they are the mode bits. Masks are
// Windows access masks, so that callers speak of rights as the rest of the
// program does; every call answers 0 or the Windows code of its failure.
#pragma once

#include <cstdint>
#include <string>

namespace platform::acl {

// Windows rights that the mapping knows. Read rights give "r", write rights
// "w", execute rights "x"; GenericAll gives all three.
namespace right {
constexpr uint32_t ReadData = 0x1;
constexpr uint32_t WriteData = 0x2;
constexpr uint32_t AppendData = 0x4;
constexpr uint32_t Execute = 0x20;
constexpr uint32_t DeleteChild = 0x40;
constexpr uint32_t WriteAttributes = 0x100;
constexpr uint32_t Delete = 0x10000;
constexpr uint32_t WriteDac = 0x40000;
constexpr uint32_t GenericAll = 0x10000000;
constexpr uint32_t GenericExecute = 0x20000000;
constexpr uint32_t GenericWrite = 0x40000000;
constexpr uint32_t GenericRead = 0x80000000;
} // namespace right

// Grants the running account the rights of the mask on the item: the entry
// of the account (the owner entry when it owns the item) gets the bits the
// mask stands for. Delete is the right to remove the item, which Linux keeps
// on the directory holding it, so Delete grants write and search there too.
// A symbolic link has no rights of its own: only its directory is changed.
// The superuser already holds every right; nothing is changed for it.
uint32_t grantAccess(const std::string& path, uint32_t accessMask);

// The rights of an item as a value that can be put on other items: its
// access ACL where the file system has ACLs, else its mode bits.
struct Permissions {
  bool hasAcl = false;
  std::string aclText;  // long text form of the access ACL
  uint32_t mode = 0;    // permission bits
};
uint32_t readPermissions(const std::string& path, Permissions& permissions);
// Sets the access ACL (or the mode bits) of the item; links are left alone.
// An item that is not a directory gets the read and write rights only: the
// execute rights, and the set-id and sticky bits, are a directory's.
uint32_t applyPermissions(const std::string& path, const Permissions& permissions);
// Whether the running account may change the item's rights (owner or superuser).
bool mayChangePermissions(const std::string& path);

} // namespace platform::acl
