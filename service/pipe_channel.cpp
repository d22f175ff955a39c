#include "service/pipe_channel.h"

#include <algorithm>

#include "config/registry.h"
#include "platform/local_socket.h"
#include "platform/process_identity.h"
#include "platform/win_error.h"
#include "support/logging.h"

namespace vpipechannel {

namespace {

struct AttemptCountState {
  std::mutex lock;
  uint64_t determinations = 0;
  int32_t lastRead = 0;  // 0: absent
  bool readingFailed = false;
};

AttemptCountState& attemptCountState() {
  static AttemptCountState state;
  return state;
}

[[noreturn]] void pipeIsFinished() {
  LogManager::instance().log(Warning, "Connection to Tarvo Management Service is broken: Pipe is finished");
  throw vexception("Pipe is finished", Place{"", "vpipechannel::client::query", 244});
}

} // namespace

int connectAttempts(const std::string& registryKey, int given) {
  AttemptCountState& state = attemptCountState();
  std::lock_guard<std::mutex> guard(state.lock);
  if (!state.readingFailed && state.determinations++ % 16 == 0) {
    try {
      uint32_t value = 0;
      const uint32_t code =
          registry::lookup(registry::HKEY_LOCAL_MACHINE, registryKey, "PipeConnectTryCount", value, registry::View32);
      state.lastRead = code == 0 ? static_cast<int32_t>(value) : 0;
    } catch (...) {
      state.readingFailed = true;
    }
  }
  return state.lastRead != 0 ? state.lastRead : given;
}

client::client(std::string registryKey, std::string valueName)
    : registryKey_(std::move(registryKey)), valueName_(std::move(valueName)) {}

client::~client() = default;

std::string client::pipePath() const {
  std::string name = "zulpipe";
  registry::lookup(registry::HKEY_LOCAL_MACHINE, registryKey_, valueName_, name, registry::REG_SZ, registry::View32);
  return platform::localsock::pipePath(name);
}

void client::connect(int count) {
  // A worker process inherits its parent's connection; sharing it would mix
  // their requests and answers, so the worker makes its own.
  if (pipe_ && connectedBy_ != platform::processId()) pipe_.reset();
  if (pipe_ && pipe_->valid()) return;
  const std::string path = pipePath();
  auto pipe = Con::ClientOverlappedPipe::create(path, connectAttempts(registryKey_, count));
  uint32_t seconds = kDefaultAnswerSeconds;
  registry::lookup(registry::HKEY_LOCAL_MACHINE, registryKey_, kAnswerTimeoutValue, seconds, registry::View32);
  pipe->setWaitLimit(static_cast<int>(std::min<uint64_t>(seconds * 1000ull, 0x7FFFFFFF)));
  pipe_ = std::move(pipe);
  connectedBy_ = platform::processId();
}

vserializer::reader client::attempt(const vserializer::Guid& request, const vserializer::buffer& parameters) {
  connect(10);
  if (pipe_->isFinished()) pipeIsFinished();

  vserializer::buffer body;
  const auto id = request.bytes();
  body.writeBlock(id.data(), id.size());
  body.writeRaw(parameters.data(), parameters.size());

  uint8_t length[4];
  const uint32_t n = static_cast<uint32_t>(body.size());
  for (int i = 0; i < 4; ++i) length[i] = static_cast<uint8_t>(n >> (8 * i));
  pipe_->write(length, 4, true);
  pipe_->write(body.data(), body.size(), true);

  uint8_t answerLength[4] = {0, 0, 0, 0};
  pipe_->read(answerLength, 4, true);
  // A read that ends with nothing means the service went away before
  // answering: a broken connection, not an empty answer.
  if (pipe_->transferred() != 4) pipeIsFinished();
  uint32_t m = 0;
  for (int i = 3; i >= 0; --i) m = m << 8 | answerLength[i];
  if (m == 0) return vserializer::reader();

  std::string answer(m, '\0');
  pipe_->read(answer.data(), m, true);
  if (pipe_->transferred() != m) pipeIsFinished();
  return vserializer::reader(std::move(answer));
}

vserializer::reader client::query(const vserializer::Guid& request, const vserializer::buffer& parameters) {
  std::lock_guard<std::mutex> guard(criticalSection_);
  bool retried = false;
  for (;;) {
    try {
      return attempt(request, parameters);
    } catch (const vosexception& e) {
      // A silent service fails the request: asked again, it would only make
      // the run wait twice as long.
      if (retried || e.errorCode() == platform::winerr::Timeout) {
        pipe_.reset();
        throw;
      }
      LogManager::instance().log(Info, "Tarvo Management service pipe communication error: %s. Trying to reconnect.",
                                 e.message());
    } catch (const vexception& e) {
      if (retried) throw;
      LogManager::instance().log(Info, "Tarvo Management service pipe communication error: %s. Trying to reconnect.",
                                 e.message());
    } catch (...) {
      if (retried) throw;
      LogManager::instance().log(Info, "Tarvo Management service pipe unknown communication error. Trying to reconnect.");
    }
    pipe_.reset();
    connect(10);
    retried = true;
  }
}

} // namespace vpipechannel
