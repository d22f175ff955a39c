#include "tools/mgmt_service/server.h"

#include <chrono>
#include <deque>
#include <list>

#include "platform/local_socket.h"
#include "platform/win_error.h"
#include "tools/mgmt_service/request_handler.h"

namespace mgmt {

namespace localsock = platform::localsock;
namespace winerr = platform::winerr;

namespace {

using Clock = std::chrono::steady_clock;

struct Connection {
  uint64_t number = 0;
  localsock::Socket socket;
  bool haveLength = false;  // the length message arrived, the body is due
  uint32_t bodyLength = 0;
  Clock::time_point lengthArrived;
  std::deque<std::string> outbox;  // messages still to send, in order
  bool closeWhenSent = false;
  bool closed = false;
};

std::string lengthMessage(size_t n) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<char>(n >> (8 * i));
  return out;
}

std::string codeText(uint32_t code) {
  const auto text = platform::systemMessage(code);
  return (text ? *text : std::string("unknown error")) + " (code " + std::to_string(code) + ")";
}

class Server {
 public:
  Server(const ServerOptions& options, SettingsFile& settings, ServiceLog& log)
      : options_(options), settings_(settings), log_(log), message_(options.maxBodyBytes, '\0') {}

  bool listen() {
    const uint32_t code = listener_.listen(options_.socketPath, options_.backlog);
    if (code == winerr::AlreadyExists) {
      log_.write("cannot listen on " + options_.socketPath +
                 ": another service answers there, or the path is not a socket; stop it or choose --socket");
      return false;
    }
    if (code != 0) {
      log_.write("cannot listen on " + options_.socketPath + ": " + codeText(code));
      return false;
    }
    return true;
  }

  int run(SignalInbox& signals) {
    bool stop = false;
    Clock::time_point acceptPausedUntil{};
    while (!stop) {
      const auto now = Clock::now();
      const bool accepting = now >= acceptPausedUntil;
      std::vector<localsock::PollEntry> entries;
      entries.push_back({signals.fd(), true, false});
      entries.push_back({listener_.socket().fd(), accepting, false});
      for (Connection& c : connections_) {
        entries.push_back({c.socket.fd(), c.outbox.empty(), !c.outbox.empty()});
      }
      if (const uint32_t code = localsock::pollAll(entries, waitTime(now, accepting, acceptPausedUntil))) {
        log_.write("poll failed: " + codeText(code));
        return 1;
      }

      // Signals first: a reload requested before a request arrived is in
      // effect for that request.
      for (auto event = signals.next(); event != SignalInbox::None; event = signals.next()) {
        if (event == SignalInbox::Stop) {
          stop = true;
        } else {
          log_.reopen();
          if (settings_.refresh(true)) {
            log_.write("settings reloaded from " + settings_.path() + " (" + std::to_string(settings_.size()) +
                       " values)");
          } else {
            log_.write(settings_.error());
          }
        }
      }
      if (stop) break;

      // Connections accepted in this pass come after the polled ones.
      auto polled = connections_.begin();
      for (size_t i = 2; i < entries.size(); ++i, ++polled) {
        Connection& c = *polled;
        const localsock::PollEntry& e = entries[i];
        if (e.writable) flush(c);
        if (e.readable && c.outbox.empty() && !c.closed) receive(c);
        if (e.hungUp && !e.readable && !c.closed) close(c);
      }
      if (entries[1].readable && !acceptAll()) acceptPausedUntil = Clock::now() + std::chrono::milliseconds(100);
      expirePartialFrames(Clock::now());
      connections_.remove_if([](const Connection& c) { return c.closed; });
    }
    log_.write("stopping: " + std::to_string(connections_.size()) + " connections open");
    connections_.clear();
    listener_.close();
    return 0;
  }

 private:
  int waitTime(Clock::time_point now, bool accepting, Clock::time_point acceptPausedUntil) const {
    Clock::time_point until = Clock::time_point::max();
    for (const Connection& c : connections_) {
      if (c.haveLength) until = std::min(until, c.lengthArrived + std::chrono::milliseconds(options_.frameTimeoutMs));
    }
    if (!accepting) until = std::min(until, acceptPausedUntil);
    if (until == Clock::time_point::max()) return -1;
    if (until <= now) return 0;
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count()) + 1;
  }

  // False when accepting must pause (out of descriptors).
  bool acceptAll() {
    for (int n = 0; n < 64; ++n) {
      localsock::Socket socket;
      const uint32_t code = listener_.accept(socket);
      if (code == localsock::IoPending) return true;
      if (code != 0) {
        log_.write("cannot accept a connection: " + codeText(code));
        return false;
      }
      Connection& c = connections_.emplace_back();
      c.number = ++accepted_;
      c.socket = std::move(socket);
    }
    return true;
  }

  // Reads messages until a request is complete (and answered) or nothing is
  // waiting, so that a request's two messages cost one pass.
  void receive(Connection& c) {
    for (int n = 0; n < 8 && c.outbox.empty() && !c.closed; ++n) {
      size_t got = 0;
      const uint32_t code = localsock::receiveMessage(c.socket, message_.data(), message_.size(), got);
      if (code == localsock::IoPending) return;
      if (code == winerr::HandleEof || code == winerr::BrokenPipe) {
        if (c.haveLength) log_.write(connectionName(c) + ": the client left in the middle of a request");
        close(c);
        return;
      }
      if (code == winerr::MoreData) {
        malformed(c, "Malformed frame: a message of more than " + std::to_string(message_.size()) +
                         " bytes; requests are two messages, the 4-byte body length and a body of at most " +
                         std::to_string(options_.maxBodyBytes) + " bytes");
        continue;
      }
      if (code != 0) {
        log_.write(connectionName(c) + ": cannot receive: " + codeText(code));
        close(c);
        return;
      }
      if (!c.haveLength) {
        takeLength(c, got);
      } else {
        takeBody(c, got);
        // One request per pass: a signal sent before the next request (a
        // reload) is seen before that request is read.
        return;
      }
    }
  }

  void takeLength(Connection& c, size_t got) {
    if (got != 4) {
      malformed(c, "Malformed frame: a request begins with a message of 4 bytes holding the body length; this one had " +
                       std::to_string(got) + " bytes");
      return;
    }
    uint32_t length = 0;
    for (int i = 3; i >= 0; --i) length = length << 8 | static_cast<uint8_t>(message_[static_cast<size_t>(i)]);
    if (length == 0 || length > options_.maxBodyBytes) {
      malformed(c, "Malformed frame: body length " + std::to_string(length) + " is not between 1 and " +
                       std::to_string(options_.maxBodyBytes) + " bytes");
      return;
    }
    c.haveLength = true;
    c.bodyLength = length;
    c.lengthArrived = Clock::now();
  }

  void takeBody(Connection& c, size_t got) {
    c.haveLength = false;
    if (got != c.bodyLength) {
      malformed(c, "Malformed frame: the length message announced a body of " + std::to_string(c.bodyLength) +
                       " bytes, the body message had " + std::to_string(got));
      return;
    }
    const Answer answer = answerRequest(message_.substr(0, got), settings_);
    if (answer.failed) log_.write(connectionName(c) + ": answered with an error: " + answer.text);
    send(c, answer.body);
  }

  void malformed(Connection& c, const std::string& text) {
    c.haveLength = false;
    log_.write(connectionName(c) + ": " + text);
    send(c, errorAnswer(text).body);
  }

  void send(Connection& c, const std::string& body) {
    c.outbox.push_back(lengthMessage(body.size()));
    if (!body.empty()) c.outbox.push_back(body);
    flush(c);
  }

  void flush(Connection& c) {
    while (!c.outbox.empty() && !c.closed) {
      size_t sent = 0;
      const uint32_t code = localsock::sendMessage(c.socket, c.outbox.front().data(), c.outbox.front().size(), sent);
      if (code == localsock::IoPending) return;
      if (code != 0) {
        close(c);
        return;
      }
      c.outbox.pop_front();
    }
    if (c.outbox.empty() && c.closeWhenSent) close(c);
  }

  void expirePartialFrames(Clock::time_point now) {
    for (Connection& c : connections_) {
      if (c.closed || !c.haveLength || now < c.lengthArrived + std::chrono::milliseconds(options_.frameTimeoutMs)) {
        continue;
      }
      malformed(c, "Incomplete request: the body of " + std::to_string(c.bodyLength) + " bytes did not follow its length within " +
                       std::to_string(options_.frameTimeoutMs) + " ms; the connection is closed");
      c.closeWhenSent = true;
      flush(c);
      if (!c.closed && !c.outbox.empty()) {
        // A client that neither sends nor reads is not waited for any longer.
        close(c);
      }
    }
  }

  void close(Connection& c) {
    c.socket.close();
    c.closed = true;
    c.outbox.clear();
  }

  static std::string connectionName(const Connection& c) { return "connection #" + std::to_string(c.number); }

  const ServerOptions& options_;
  SettingsFile& settings_;
  ServiceLog& log_;
  localsock::Listener listener_;
  std::list<Connection> connections_;
  uint64_t accepted_ = 0;
  std::string message_;  // the receive buffer
};

} // namespace

int runServer(const ServerOptions& options, SettingsFile& settings, ServiceLog& log, SignalInbox& signals,
              const std::function<void()>& onListening) {
  Server server(options, settings, log);
  if (!server.listen()) return 1;
  log.write("listening on " + options.socketPath + ", settings from " + settings.path());
  onListening();
  return server.run(signals);
}

} // namespace mgmt
