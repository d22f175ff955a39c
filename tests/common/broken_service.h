// A management service that takes every connection and reads what comes, and
// answers each request (a length message and a body message) with `answer`
// as a message of its own, or never when `answer` is empty. One connection
// at a time; ended with the object.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "platform/local_socket.h"

namespace testenv {

class BrokenService {
 public:
  BrokenService(const std::string& path, std::string answer) : answer_(std::move(answer)) {
    namespace localsock = platform::localsock;
    if (listener_.listen(path, 8) != 0) throw std::runtime_error("cannot listen on " + path);
    thread_ = std::thread([this] {
      while (!stop_) {
        localsock::Socket c;
        if (listener_.accept(c) != 0) {
          localsock::waitReady(listener_.socket(), localsock::Readiness::Readable, 20);
          continue;
        }
        for (int messages = 0; !stop_;) {
          char buffer[4096];
          size_t got = 0, sent = 0;
          localsock::waitReady(c, localsock::Readiness::Readable, 20);
          const uint32_t code = localsock::receiveMessage(c, buffer, sizeof buffer, got);
          if (code == localsock::IoPending) continue;
          if (code != 0) break;
          if (++messages % 2 == 0 && !answer_.empty()) {
            const char length[4] = {static_cast<char>(answer_.size()), 0, 0, 0};
            localsock::sendMessage(c, length, 4, sent);
            localsock::sendMessage(c, answer_.data(), answer_.size(), sent);
          }
        }
      }
    });
  }
  ~BrokenService() {
    stop_ = true;
    thread_.join();
  }
  BrokenService(const BrokenService&) = delete;
  BrokenService& operator=(const BrokenService&) = delete;

 private:
  std::string answer_;
  platform::localsock::Listener listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

} // namespace testenv
