// One request and its answer over the management service's pipe, with the
// connection that carries them.
//
// A request is: the body length (4 bytes) as one message, then the body as
// one message; the body is the request identifier as a block followed by the
// parameters. The answer is its length (4 bytes) and, unless 0, its body.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "service/pipe.h"
#include "service/serializer.h"

namespace vpipechannel {

// The number of connection attempts: "PipeConnectTryCount" under the key
// when present and not 0, otherwise the given count. The value is read on the
// 1st, 17th, 33rd ... call of the process and kept in between; once reading
// it fails (a value of the wrong type) it is never read again.
int connectAttempts(const std::string& registryKey, int given);

// How long an answer of the service is waited for: the registry value
// "PipeAnswerTimeout" (seconds) under the client's key, 30 when absent.
inline constexpr const char* kAnswerTimeoutValue = "PipeAnswerTimeout";
inline constexpr uint32_t kDefaultAnswerSeconds = 30;

class client {
 public:
  // The pipe name is the registry value valueName under registryKey
  // (HKEY_LOCAL_MACHINE, 32-bit view), "zulpipe" when missing.
  client(std::string registryKey, std::string valueName);
  virtual ~client();
  client(const client&) = delete;
  client& operator=(const client&) = delete;

  // Sends the request and returns the answer body. A failed attempt is
  // logged at level Info and repeated once over a new connection; the second
  // failure reaches the caller. A service that does not answer within the
  // answer time fails the request at once. Requests of several threads are
  // serialised.
  vserializer::reader query(const vserializer::Guid& request, const vserializer::buffer& parameters);

  // The socket path of the pipe, built afresh from the registry.
  std::string pipePath() const;

 protected:
  // Makes sure there is a connection (attempts as connectAttempts says).
  void connect(int count);
  std::mutex& criticalSection() { return criticalSection_; }

 private:
  vserializer::reader attempt(const vserializer::Guid& request, const vserializer::buffer& parameters);

  std::string registryKey_;
  std::string valueName_;
  std::unique_ptr<Con::ClientOverlappedPipe> pipe_;
  uint32_t connectedBy_ = 0;  // the process that made the connection
  std::mutex criticalSection_;
};

} // namespace vpipechannel
