// The work inside a customer's webspace is done as the customer: the owner
// and group of the webspace directory. The kernel then refuses whatever that
// account may not do, and every path beneath the webspace is resolved
// without following a link, so nothing a customer puts there (links, hard
// links, FIFOs, devices, renames while the run is under way) gives the run's
// root rights to the customer or leads outside the webspace.
#pragma once

#include <string>

// The webspace directory of a path below the virtual-hosts root: the root
// and the path's first component below it ("" for a path elsewhere).
std::string webspaceDirectoryOf(const std::string& vhostsRoot, const std::string& path);

// From here on this process works as the owner of the webspace directory,
// when an account other than root owns it and the program runs as root; the
// programs it starts then run as that account. Paths beneath the directory
// are resolved without following links whoever owns it, except that a
// webspace owned by root is worked in as it always was. Meant for a worker
// process of one configuration; raises when the account cannot be taken.
void workAsWebspaceOwner(const std::string& webspaceDirectory);
