// Reverse lookups of many addresses at once, through the system's resolver
// configuration (hosts file, then the name servers of resolv.conf) or the
// name servers given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::names {

struct LookupLimits {
  uint32_t perLookupMs = 2000;  // an address not answered by then is given up
  uint32_t perRunMs = 120000;   // what is not answered by then is given up
  size_t inFlight = 1000;       // lookups waiting for their answers at once
  // "host:port" list, comma separated, asked instead of resolv.conf's.
  std::string servers;
};

enum class Outcome { Named, NoName, GivenUp };

struct Answer {
  Outcome outcome = Outcome::GivenUp;
  std::string name;
  bool asked = false;  // false: the run's bound came before its turn
};

// True for a text IPv4 or IPv6 address.
bool isAddress(const std::string& text);
// One answer per address, in their order; each address is asked once. The
// call returns by perRunMs (plus one pass of the event loop). A resolver set
// up that fails (a bad servers list) raises std::runtime_error with the reason.
std::vector<Answer> lookUpNames(const std::vector<std::string>& addresses, const LookupLimits& limits);

} // namespace platform::names
