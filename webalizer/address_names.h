// The names of the night's client addresses for Webalizer: collected from the
// chunks, looked up once per run for every Webalizer domain together, and
// handed to Webalizer through its own cache file, which it only reads.
#pragma once

#include <ctime>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "config/web_stat_config.h"
#include "platform/name_lookup.h"

struct AddressLookupSettings {
  bool enabled = true;  // registry "AddressLookups" (dword, 0 turns them off)
  // "AddressLookupTimeout" and "AddressLookupRunTimeout" (dwords, seconds),
  // "AddressLookupServers" (text, "host:port,..."; empty: resolv.conf's).
  platform::names::LookupLimits limits;
};

struct AddressLookupCounts {
  size_t made = 0;        // lookups sent to the resolver
  size_t named = 0;       // answered with a name
  size_t noName = 0;      // answered without one (remembered for a day)
  size_t givenUp = 0;     // not answered within the bounds, or not asked before the run's bound
  size_t remembered = 0;  // not asked: known to have no name since less than a day
  double seconds = 0;
};

struct AddressNames {
  std::unordered_map<std::string, std::string> names;  // address -> name
  AddressLookupCounts counts;
};

AddressLookupSettings addressLookupSettings();

// Adds the client addresses of the log file (a chunk with or without its
// sort keys) that are not in seen yet, in the order first met.
void collectClientAddresses(const std::string& path, LogKind kind, std::vector<std::string>& addresses,
                            std::unordered_set<std::string>& seen);

// "<PRODUCT_ROOT_D>/tmp/webalizer-dns/no-names": the addresses that had no
// name, one "address seconds-since-1970" a line.
std::string noNameFilePath();

// Looks every address up once, but those the file remembers as having no
// name since less than a day; the answers without a name are added to the
// file. A file that cannot be read counts as empty; one that cannot be
// written costs a Warning, not the night.
AddressNames lookUpAddressNames(const std::vector<std::string>& addresses, const std::string& noNameFile,
                                const AddressLookupSettings& settings, std::time_t now);

// "Address lookups: 12 made (10 with a name, 1 without, 1 given up), 3 known
// to have no name, 2.0 seconds".
std::string describeLookups(const AddressLookupCounts& counts);

// Writes Webalizer's cache file (Berkeley DB hash, as Webalizer keeps it)
// afresh with the names of the addresses given that have one; false, and
// no file, when none has.
bool writeWebalizerCache(const std::string& path, const std::vector<std::string>& addresses,
                         const AddressNames& names, std::time_t now);
