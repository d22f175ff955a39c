// A stand-in for the management service on its socket, one connection at a
// time. A silent one takes every connection and never answers; a garbage one
// answers every request (a length message and a body message) with a
// well-framed answer whose body is nonsense: a string of an unknown
// character size.
#pragma once
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/local_socket.h"
#include "tests/common/frames.h"

namespace testenv {

class FakeService {
 public:
  enum class Answers { None, Garbage };
  FakeService(const std::string& path, Answers answers) {
    namespace localsock = platform::localsock;
    if (listener_.listen(path, 8) != 0) throw std::runtime_error("cannot listen on " + path);
    thread_ = std::thread([this, answers] {
      std::vector<localsock::Socket> held;  // a silent service never lets a connection go
      while (!stop_) {
        localsock::Socket c;
        if (listener_.accept(c) != 0) {
          localsock::waitReady(listener_.socket(), localsock::Readiness::Readable, 20);
          continue;
        }
        for (int messages = 0; answers == Answers::Garbage && !stop_;) {
          char buffer[4096];
          size_t got = 0;
          localsock::waitReady(c, localsock::Readiness::Readable, 20);
          const uint32_t code = localsock::receiveMessage(c, buffer, sizeof buffer, got);
          if (code == localsock::IoPending) continue;
          if (code != 0) break;
          if (++messages % 2 != 0) continue;
          const std::string answer = le32(5) + "\x09junk";  // a 5-byte string of character size 9
          sendFrame(c, le32(static_cast<uint32_t>(answer.size())));
          sendFrame(c, answer);
        }
        held.push_back(std::move(c));
      }
    });
  }
  ~FakeService() {
    stop_ = true;
    thread_.join();
  }

 private:
  platform::localsock::Listener listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

} // namespace testenv
