// A name server on the loopback for reverse lookups of IPv4 addresses: each
// address answers with its name, with "no such name", after a delay, or
// never, and every question is counted.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace testenv {

struct ResolverBehaviour {
  std::string name;  // empty: "no such name"; a "*" stands for the address, its dots as dashes
  int delayMs = 0;   // < 0: never answers
};

class StandInResolver {
 public:
  using Behaviour = ResolverBehaviour;
  // Addresses not in the table get fallback. Listens on the IPv4 address and
  // port given (0: one the system picks).
  explicit StandInResolver(std::map<std::string, Behaviour> table, Behaviour fallback = {},
                           const std::string& listenAddress = "127.0.0.1", int port = 0);
  ~StandInResolver();
  StandInResolver(const StandInResolver&) = delete;
  StandInResolver& operator=(const StandInResolver&) = delete;

  // "address:port", for AddressLookupServers.
  std::string server() const;
  int questions(const std::string& address) const;
  int questions() const;

 private:
  void serve();

  std::map<std::string, Behaviour> table_;
  Behaviour fallback_;
  std::string host_;
  int socket_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::map<std::string, int> questions_;
  std::thread thread_;
};

} // namespace testenv
