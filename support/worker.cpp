#include "support/worker.h"

#include <vector>

#include "platform/fs.h"
#include "platform/spawn.h"
#include "support/format.h"
#include "support/guard.h"

namespace {

// The answer travels first, then a separator byte, then the failure, if any.
constexpr char kFailureFollows = '\x01';

struct Running {
  size_t index = 0;
  int pid = -1;
  int pipe = -1;
  std::string received;
};

[[noreturn]] void runWorker(int pipe, const Place& place, const std::function<std::string()>& work) {
  std::string answer;
  std::optional<vexception> failure = guardCapture(place, [&] { answer = work(); });
  std::string message = answer;
  if (failure) message += kFailureFollows + failure->fullMessage();
  const bool sent = platform::spawn::writeFd(pipe, message.data(), message.size()) == 0;
  platform::spawn::exitCopy(sent && !failure ? 0 : 1);
}

WorkerOutcome outcomeOf(const Running& worker, const platform::spawn::Ending& ending, const Place& place) {
  WorkerOutcome outcome;
  const size_t separator = worker.received.find(kFailureFollows);
  outcome.answer = worker.received.substr(0, separator);
  if (separator != std::string::npos) {
    outcome.failure = worker.received.substr(separator + 1);
  } else if (ending.signal != 0 || ending.status != 0) {
    const std::string how = ending.signal != 0 ? formatString("was ended by signal %d", ending.signal)
                                               : formatString("ended with exit code %d", ending.status);
    outcome.failure =
        vexception(formatString("The worker process %d %s before it reported; what it did is taken up again by "
                                "the next run",
                                worker.pid, how),
                   place)
            .fullMessage();
  }
  return outcome;
}

} // namespace

void runInWorkers(size_t count, unsigned jobs, const std::function<Place(size_t)>& place,
                  const std::function<std::string(size_t)>& work,
                  const std::function<void(size_t, WorkerOutcome)>& done) {
  if (jobs == 0) jobs = 1;
  std::vector<Running> running;
  size_t next = 0;
  while (next < count || !running.empty()) {
    while (next < count && running.size() < jobs) {
      Running worker;
      worker.index = next++;
      int writeEnd = -1;
      if (const uint32_t code = platform::spawn::createPipe(worker.pipe, writeEnd))
        throwOsException("Create the pipe of a worker process", code, place(worker.index));
      int pid = -1;
      if (const uint32_t code = platform::spawn::forkCopy(pid)) {
        platform::spawn::closeFd(worker.pipe);
        platform::spawn::closeFd(writeEnd);
        throwOsException("Start a worker process", code, place(worker.index));
      }
      if (pid == 0) {
        platform::spawn::closeFd(worker.pipe);
        for (const Running& other : running) platform::spawn::closeFd(other.pipe);
        runWorker(writeEnd, place(worker.index), [&] { return work(worker.index); });
      }
      platform::spawn::closeFd(writeEnd);
      worker.pid = pid;
      running.push_back(std::move(worker));
    }

    std::vector<int> pipes;
    for (const Running& worker : running) pipes.push_back(worker.pipe);
    std::vector<size_t> ready;
    if (const uint32_t code = platform::spawn::waitReadable(pipes, platform::spawn::kWaitInfinite, ready))
      throwOsException("Wait for the worker processes", code, place(running.front().index));
    // Back to front, so that erasing keeps the other indexes valid.
    for (auto it = ready.rbegin(); it != ready.rend(); ++it) {
      Running& worker = running[*it];
      char buffer[65536];
      size_t got = 0;
      const uint32_t readCode = platform::fs::readFile(worker.pipe, buffer, sizeof buffer, got);
      if (readCode == 0 && got > 0) {
        worker.received.append(buffer, got);
        continue;
      }
      // The worker closed its end: it has ended or is about to.
      platform::spawn::closeFd(worker.pipe);
      platform::spawn::Ending ending;
      platform::spawn::wait(worker.pid, platform::spawn::kWaitInfinite, ending);
      const Running finished = std::move(worker);
      running.erase(running.begin() + static_cast<std::ptrdiff_t>(*it));
      done(finished.index, outcomeOf(finished, ending, place(finished.index)));
    }
  }
}
