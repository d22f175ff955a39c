#include "tests/common/stand_in_resolver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace testenv {
namespace {

using Clock = std::chrono::steady_clock;

// "4.3.2.1.in-addr.arpa" from the question at offset 12; end is set past it.
std::string questionName(const std::string& packet, size_t& end) {
  std::string name;
  size_t at = 12;
  while (at < packet.size() && packet[at] != 0) {
    const size_t length = static_cast<unsigned char>(packet[at]);
    if (!name.empty()) name += '.';
    name += packet.substr(at + 1, length);
    at += length + 1;
  }
  end = at + 1 + 4;  // the zero, the type and the class
  return name;
}

// "4.3.2.1.in-addr.arpa" gives "1.2.3.4"; any other name "".
std::string addressOf(const std::string& reverseName) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  int end = 0;
  if (std::sscanf(reverseName.c_str(), "%u.%u.%u.%u.in-addr.arpa%n", &d, &c, &b, &a, &end) != 4 ||
      static_cast<size_t>(end) != reverseName.size())
    return {};
  return std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + "." + std::to_string(d);
}

std::string reply(const std::string& query, size_t questionEnd, const std::string& name) {
  std::string packet = query.substr(0, questionEnd);
  packet[2] = static_cast<char>(0x80 | (query[2] & 0x01) | 0x04);  // an answer, authoritative, RD kept
  packet[3] = static_cast<char>(0x80 | (name.empty() ? 3 : 0));    // RA; NXDOMAIN without a name
  packet[4] = 0, packet[5] = 1;                                   // one question
  packet[6] = 0, packet[7] = name.empty() ? 0 : 1;                // answers
  packet[8] = packet[9] = packet[10] = packet[11] = 0;
  if (name.empty()) return packet;
  std::string data;
  for (size_t start = 0; start <= name.size();) {
    const size_t dot = std::min(name.find('.', start), name.size());
    data += static_cast<char>(dot - start);
    data += name.substr(start, dot - start);
    start = dot + 1;
  }
  data += '\0';
  const char record[] = {'\xc0', 12, 0, 12, 0, 1, 0, 0, 0x0e, 0x10};  // the question's name, PTR, IN, 3600 s
  packet.append(record, sizeof record);
  packet += static_cast<char>(data.size() >> 8);
  packet += static_cast<char>(data.size() & 0xff);
  return packet + data;
}

} // namespace

StandInResolver::StandInResolver(std::map<std::string, Behaviour> table, Behaviour fallback,
                                 const std::string& listenAddress, int port)
    : table_(std::move(table)), fallback_(std::move(fallback)), host_(listenAddress) {
  socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, listenAddress.c_str(), &address.sin_addr);
  socklen_t length = sizeof address;
  if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("the stand-in resolver cannot open its socket");
  port_ = ntohs(address.sin_port);
  const int size = 4 << 20;
  ::setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  thread_ = std::thread([this] { serve(); });
}

StandInResolver::~StandInResolver() {
  stop_ = true;
  thread_.join();
  ::close(socket_);
}

std::string StandInResolver::server() const { return host_ + ":" + std::to_string(port_); }

int StandInResolver::questions(const std::string& address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = questions_.find(address);
  return found == questions_.end() ? 0 : found->second;
}

int StandInResolver::questions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  int total = 0;
  for (const auto& [address, count] : questions_) total += count;
  return total;
}

void StandInResolver::serve() {
  struct Due {
    Clock::time_point when;
    std::string packet;
    sockaddr_in to;
  };
  std::vector<Due> due;
  while (!stop_) {
    pollfd fd{socket_, POLLIN, 0};
    // Every question that waits is read before the answers go out: a burst
    // of them must not overflow the socket.
    for (bool ready = ::poll(&fd, 1, 20) > 0; ready;) {
      char buffer[512];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t got = ::recvfrom(socket_, buffer, sizeof buffer, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &length);
      if (got < 0) break;
      if (got <= 12) continue;
      const std::string query(buffer, static_cast<size_t>(got));
      size_t end = 0;
      const std::string address = addressOf(questionName(query, end));
      const auto found = table_.find(address);
      const Behaviour& behaviour = found == table_.end() ? fallback_ : found->second;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++questions_[address];
      }
      std::string name = behaviour.name;
      if (const size_t star = name.find('*'); star != std::string::npos) {
        std::string dashed = address;
        for (char& c : dashed)
          if (c == '.') c = '-';
        name.replace(star, 1, dashed);
      }
      if (behaviour.delayMs >= 0 && end <= query.size())
        due.push_back({Clock::now() + std::chrono::milliseconds(behaviour.delayMs), reply(query, end, name), from});
    }
    const Clock::time_point now = Clock::now();
    for (auto it = due.begin(); it != due.end();) {
      if (it->when > now) {
        ++it;
        continue;
      }
      ::sendto(socket_, it->packet.data(), it->packet.size(), 0, reinterpret_cast<const sockaddr*>(&it->to),
               sizeof it->to);
      it = due.erase(it);
    }
  }
}

} // namespace testenv
