// Round trips to the management service: getString over one connection, and
// the service's throughput with 8 clients at once, each on its own
// connection, against the stand-in tarvo-mgmt-service.
//
// Target: at least 20,000 getString round trips per second on one connection.
//
// Usage: service_bench [REQUESTS]   (per client; default 50000)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "bench/common/bench_installation.h"
#include "service/tarvo_srv_client.h"
#include "support/errors.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Requests on one connection; the number of wrong answers.
long ask(TarvoSrvClient& client, int requests, const std::string& expected) {
  long wrong = 0;
  for (int i = 0; i < requests; ++i)
    if (client.getString("HTTPD_VHOSTS_D") != expected) ++wrong;
  return wrong;
}

} // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::max(100, std::atoi(argv[1])) : 50000;
  try {
    bench::Installation inst;
    const std::string expected = inst.vhosts().string();

    TarvoSrvClient single;
    ask(single, 100, expected);  // connected and warm
    const auto start = Clock::now();
    long wrong = ask(single, requests, expected);
    const double oneConnection = requests / secondsSince(start);

    constexpr int kClients = 8;
    std::vector<std::unique_ptr<TarvoSrvClient>> clients;
    for (int i = 0; i < kClients; ++i) {
      clients.push_back(std::make_unique<TarvoSrvClient>());
      ask(*clients.back(), 10, expected);
    }
    std::atomic<long> concurrentWrong{0};
    std::vector<std::thread> threads;
    const auto concurrentStart = Clock::now();
    for (int i = 0; i < kClients; ++i)
      threads.emplace_back([&, i] { concurrentWrong += ask(*clients[static_cast<size_t>(i)], requests / 4, expected); });
    for (std::thread& t : threads) t.join();
    const double concurrent = kClients * (requests / 4) / secondsSince(concurrentStart);
    wrong += concurrentWrong;

    std::printf("getString round trips to tarvo-mgmt-service\n");
    std::printf("%-34s %12.0f per second\n", "one connection", oneConnection);
    std::printf("%-34s %12.0f per second (%.0f per client)\n", "8 clients, one connection each", concurrent,
                concurrent / kClients);
    std::printf("target: >= 20,000 per second on one connection -> %s\n", oneConnection >= 20000 ? "met" : "NOT met");
    if (wrong) std::printf("%ld answers were wrong\n", wrong);
    return wrong ? 1 : 0;
  } catch (const vexception& e) {
    std::fprintf(stderr, "service_bench: %s\n", e.fullMessage().c_str());
  }
  return 1;
}
