// c-ares rather than getnameinfo on threads: one thread keeps every lookup
// in flight, a lookup past its bound is simply no longer waited for, and the
// run's bound ends all of them at once; a blocked getnameinfo cannot be
// called back.
#include "platform/name_lookup.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <ares.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>
#include <stdexcept>

namespace platform::names {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kBurst = 50;
constexpr auto kBurstPause = std::chrono::milliseconds(2);

struct Pending {
  struct Batch* batch = nullptr;
  size_t index = 0;
  bool waiting = false;
  int family = AF_INET;
  unsigned char address[sizeof(in6_addr)] = {};
  int length = 0;
};

struct Batch {
  std::vector<Answer>* answers = nullptr;
  std::vector<Pending> pending;
  size_t inFlight = 0;
};

void finish(Pending& lookup, Outcome outcome, const char* name) {
  lookup.waiting = false;
  --lookup.batch->inFlight;
  Answer& answer = (*lookup.batch->answers)[lookup.index];
  answer.outcome = outcome;
  if (name) answer.name = name;
}

// The name server's answer to the PTR question. Only "no such name" and "no
// PTR record" mean that the address has no name; a failing or refusing
// server, or none answering, says nothing about it.
void answered(void* argument, int status, int /*timeouts*/, unsigned char* reply, int length) {
  Pending& lookup = *static_cast<Pending*>(argument);
  if (!lookup.waiting) return;  // given up already
  if (status == ARES_SUCCESS) {
    hostent* host = nullptr;
    status = ares_parse_ptr_reply(reply, length, lookup.address, lookup.length, lookup.family, &host);
    if (status == ARES_SUCCESS && host && host->h_name && *host->h_name) {
      finish(lookup, Outcome::Named, host->h_name);
    } else {
      finish(lookup, status == ARES_ENODATA || status == ARES_SUCCESS ? Outcome::NoName : Outcome::GivenUp, nullptr);
    }
    if (host) ares_free_hostent(host);
    return;
  }
  finish(lookup, status == ARES_ENOTFOUND || status == ARES_ENODATA ? Outcome::NoName : Outcome::GivenUp, nullptr);
}

struct FromFile {
  bool found = false;
  std::string name;
};

void fromFile(void* argument, int status, int /*timeouts*/, hostent* host) {
  FromFile& answer = *static_cast<FromFile*>(argument);
  if (status == ARES_SUCCESS && host && host->h_name && *host->h_name) {
    answer.found = true;
    answer.name = host->h_name;
  }
}

// "4.3.2.1.in-addr.arpa", or the 32 nibbles of an IPv6 address and "ip6.arpa".
std::string reverseName(const Pending& lookup) {
  static const char digits[] = "0123456789abcdef";
  std::string name;
  for (int i = lookup.length - 1; i >= 0; --i) {
    if (lookup.family == AF_INET) {
      name += std::to_string(lookup.address[i]) + ".";
    } else {
      name += digits[lookup.address[i] & 0xf];
      name += '.';
      name += digits[lookup.address[i] >> 4];
      name += '.';
    }
  }
  return name + (lookup.family == AF_INET ? "in-addr.arpa" : "ip6.arpa");
}

struct Channel {
  ares_channel channel = nullptr;
  ~Channel() {
    if (channel) ares_destroy(channel);
  }
};

void initLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (const int status = ares_library_init(ARES_LIB_INIT_ALL))
      throw std::runtime_error(std::string("The resolver library cannot start: ") + ares_strerror(status));
  });
}

// Waits for the channel's sockets until the time given, then lets c-ares
// handle what arrived or timed out.
void serve(ares_channel channel, Clock::time_point until) {
  ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
  const int bits = ares_getsock(channel, sockets, ARES_GETSOCK_MAXNUM);
  pollfd fds[ARES_GETSOCK_MAXNUM];
  nfds_t count = 0;
  for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
    const bool readable = ARES_GETSOCK_READABLE(bits, i), writable = ARES_GETSOCK_WRITABLE(bits, i);
    if (!readable && !writable) continue;
    fds[count++] = pollfd{sockets[i], static_cast<short>((readable ? POLLIN : 0) | (writable ? POLLOUT : 0)), 0};
  }
  auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
  timeval most{static_cast<time_t>(wait.count() / 1000), static_cast<suseconds_t>(wait.count() % 1000 * 1000)}, next{};
  if (wait.count() < 0) most = timeval{0, 0};
  const timeval* bound = ares_timeout(channel, &most, &next);
  const int timeoutMs = static_cast<int>(bound->tv_sec * 1000 + (bound->tv_usec + 999) / 1000);
  const int ready = poll(fds, count, timeoutMs);
  if (ready <= 0) {
    ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // timeouts
    return;
  }
  for (nfds_t i = 0; i < count; ++i) {
    const ares_socket_t in = fds[i].revents & (POLLIN | POLLERR | POLLHUP) ? fds[i].fd : ARES_SOCKET_BAD;
    const ares_socket_t out = fds[i].revents & POLLOUT ? fds[i].fd : ARES_SOCKET_BAD;
    if (in != ARES_SOCKET_BAD || out != ARES_SOCKET_BAD) ares_process_fd(channel, in, out);
  }
}

} // namespace

bool isAddress(const std::string& text) {
  unsigned char buffer[sizeof(in6_addr)];
  return inet_pton(AF_INET, text.c_str(), buffer) == 1 || inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

std::vector<Answer> lookUpNames(const std::vector<std::string>& addresses, const LookupLimits& limits) {
  std::vector<Answer> answers(addresses.size());
  if (addresses.empty()) return answers;
  initLibrary();

  // The batch outlives the channel: destroying the channel calls back.
  Batch batch;
  batch.answers = &answers;
  batch.pending.resize(addresses.size());
  // Two tries, the second waiting twice as long, within the lookup's bound:
  // a question or an answer lost in a burst is asked again.
  ares_options options{};
  options.timeout = std::max(1, static_cast<int>(limits.perLookupMs / 3));
  options.tries = 2;
  options.socket_receive_buffer_size = 1 << 20;
  Channel channel, hostsFile;
  if (const int status = ares_init_options(&channel.channel, &options,
                                           ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_SOCK_RCVBUF))
    throw std::runtime_error(std::string("The resolver cannot be set up: ") + ares_strerror(status));
  // The hosts file comes first, as in the system's own lookups; asked apart
  // from the name servers, so that a server that does not answer is told
  // from an address without a name.
  ares_options fileOnly{};
  fileOnly.lookups = const_cast<char*>("f");
  if (const int status = ares_init_options(&hostsFile.channel, &fileOnly, ARES_OPT_LOOKUPS))
    throw std::runtime_error(std::string("The resolver cannot be set up: ") + ares_strerror(status));
  if (!limits.servers.empty()) {
    if (const int status = ares_set_servers_ports_csv(channel.channel, limits.servers.c_str()))
      throw std::runtime_error("The name servers '" + limits.servers + "' cannot be used: " + ares_strerror(status));
  }

  const Clock::time_point started = Clock::now();
  const Clock::time_point runEnds = started + std::chrono::milliseconds(limits.perRunMs);
  const auto perLookup = std::chrono::milliseconds(limits.perLookupMs);
  std::deque<std::pair<size_t, Clock::time_point>> byAge;  // started lookups, oldest first
  size_t next = 0;
  const size_t inFlight = limits.inFlight ? limits.inFlight : 1;
  while (Clock::now() < runEnds) {
    // A few at a time: a name server that has the answers at hand sends them
    // back as fast as the questions went, and a burst of a thousand would
    // overflow the socket's buffer.
    for (size_t burst = 0; burst < kBurst && batch.inFlight < inFlight && next < addresses.size(); ++burst) {
      const size_t i = next++;
      Pending& lookup = batch.pending[i];
      lookup.batch = &batch;
      lookup.index = i;
      if (inet_pton(AF_INET, addresses[i].c_str(), lookup.address) == 1) {
        lookup.length = 4;
      } else if (inet_pton(AF_INET6, addresses[i].c_str(), lookup.address) == 1) {
        lookup.family = AF_INET6;
        lookup.length = 16;
      } else {
        continue;  // not an address: no name to find
      }
      answers[i].asked = true;
      FromFile file;
      ares_gethostbyaddr(hostsFile.channel, lookup.address, lookup.length, lookup.family, fromFile, &file);
      if (file.found) {
        answers[i].outcome = Outcome::Named;
        answers[i].name = file.name;
        continue;
      }
      lookup.waiting = true;
      ++batch.inFlight;
      byAge.emplace_back(i, Clock::now() + perLookup);
      ares_query(channel.channel, reverseName(lookup).c_str(), C_IN, T_PTR, answered, &lookup);
    }
    // A lookup past its own bound is no longer waited for, whatever the
    // resolver still does with it.
    const Clock::time_point now = Clock::now();
    while (!byAge.empty() && (!batch.pending[byAge.front().first].waiting || byAge.front().second <= now)) {
      Pending& oldest = batch.pending[byAge.front().first];
      if (oldest.waiting) {
        oldest.waiting = false;
        --batch.inFlight;
      }
      byAge.pop_front();
    }
    if (batch.inFlight == 0 && next == addresses.size()) break;
    Clock::time_point until = runEnds;
    if (!byAge.empty() && byAge.front().second < until) until = byAge.front().second;
    if (next < addresses.size() && batch.inFlight < inFlight) until = std::min(until, Clock::now() + kBurstPause);
    serve(channel.channel, until);
  }
  for (Pending& lookup : batch.pending) lookup.waiting = false;  // the run's bound: the rest is given up
  return answers;
}

} // namespace platform::names
