// The management-service client against the real stand-in service of a
// test installation.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "platform/text.h"
#include "platform/win_error.h"
#include "platform/local_socket.h"
#include "service/pipe.h"
#include "service/tarvo_srv_client.h"
#include "tests/common/test_installation.h"

namespace {

using testenv::TestInstallation;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(ServiceClient, TheServiceErrorTextReachesTheCaller) {
  TestInstallation inst;
  TarvoSrvClient client;
  EXPECT_THAT(testenv::failureOf([&] { client.getString("NO_SUCH_SETTING"); }),
              AllOf(StartsWith("Unknown setting 'NO_SUCH_SETTING'"),
                    HasSubstr("\n   at getString(NO_SUCH_SETTING)(TarvoSrvClient::getString line 285)")));
  EXPECT_THAT(testenv::failureOf([&] { client.componentInfo("awstats", 3); }),
              AllOf(StartsWith("componentInfo mode 3 is not supported"),
                    HasSubstr("\n   at componentInfo for package 'awstats'(TarvoSrvClient::componentInfo line 644)")));
  // The connection survives an error answer.
  EXPECT_EQ(client.getString("HTTPD_VHOSTS_D"), inst.vhostsDir());
}

TEST(ServiceClient, ReconnectsWhenTheServiceClosedTheConnectionBetweenTwoRequests) {
  TestInstallation inst;
  TarvoSrvClient client;
  EXPECT_EQ(client.getString("HTTPD_VHOSTS_D"), inst.vhostsDir());
  inst.restartService();
  inst.setSetting("HTTPD_VHOSTS_D", "/after/restart");
  EXPECT_EQ(client.getString("HTTPD_VHOSTS_D"), "/after/restart");

  // With "Debug" on, Info and Warning entries reach the daily log, the Warning first.
  const auto entries = inst.dailyLogEntries();
  auto indexOf = [&](const std::string& text) {
    return std::find_if(entries.begin(), entries.end(), [&](const std::string& e) { return e.find(text) != e.npos; }) -
           entries.begin();
  };
  const auto warning = indexOf("Warning: Connection to Tarvo Management Service is broken: Pipe is finished");
  const auto info = indexOf("Info: Tarvo Management service pipe communication error: Pipe is finished. Trying to reconnect.");
  EXPECT_LT(info, std::ssize(entries)) << inst.dailyLog();
  EXPECT_LT(warning, info) << inst.dailyLog();
}

// Without a service a request fails at once with the socket's path, and the
// next request starts again; the socket of a killed service is busy until
// the attempts are used up.
TEST(ServiceClient, ConnectionFailuresCarryTheSystemCodeAndThePath) {
  TestInstallation inst;
  const std::string path = inst.socketPath();
  TarvoSrvClient client;
  inst.stopService();
  try {
    client.getString("HTTPD_VHOSTS_D");
    FAIL() << "no service: the request must fail";
  } catch (const vexception& e) {
    EXPECT_TRUE(text::endsWith(e.message(), " at Unable to connect to pipe " + path)) << e.message();
  }
  EXPECT_THROW(Con::ClientOverlappedPipe::create(path, 10), VFileNotFoundException);
  inst.startService();
  EXPECT_EQ(client.getString("HTTPD_VHOSTS_D"), inst.vhostsDir());

  kill(inst.servicePid(), SIGKILL);
  inst.stopService();
  for (int attempts : {3, 0}) {
    try {
      Con::ClientOverlappedPipe::create(path, attempts);
      FAIL();
    } catch (const vosexception& e) {
      EXPECT_EQ(e.errorCode(), platform::winerr::PipeBusy);
      EXPECT_NE(e.message().find(" at Unable to connect to pipe " + path), std::string::npos) << e.message();
      EXPECT_EQ(e.places().at(0).function, "Con::ClientOverlappedPipe::create");
    }
  }
  // A new service replaces the stale socket.
  inst.startService();
  EXPECT_NO_THROW(Con::ClientOverlappedPipe::create(path, 1));
}

// A service that takes its connections slowly: every client of a burst gets
// in on the connection it waited for, none uses up its attempts.
TEST(ServiceClient, ABurstOfClientsAgainstAFullBacklogAllGetIn) {
  testenv::TempDir dir;
  const std::string path = dir / "slow.sock";
  platform::localsock::Listener listener;
  ASSERT_EQ(listener.listen(path, 1), 0u);
  std::atomic<bool> serving{true};
  std::atomic<int> accepted{0};
  std::thread service([&] {
    std::vector<platform::localsock::Socket> held;  // kept open: the clients stay connected
    while (serving) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      platform::localsock::Socket s;
      if (listener.accept(s) == 0) {
        held.push_back(std::move(s));
        ++accepted;
      }
    }
  });
  std::atomic<int> connected{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 8; ++c) clients.emplace_back([&] {
    try {
      Con::ClientOverlappedPipe::create(path, 3);
      ++connected;
    } catch (const vexception& e) {
      ADD_FAILURE() << e.fullMessage();
    }
  });
  for (auto& t : clients) t.join();
  while (accepted < connected) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  serving = false;
  service.join();
  EXPECT_EQ(connected.load(), 8);
  EXPECT_EQ(accepted.load(), 8);  // no connection was made only to be given up
}

TEST(ServiceClient, RequestsOfSeveralThreadsAreNeverInterleaved) {
  TestInstallation inst;
  for (int t = 0; t < 8; ++t) inst.setSetting("VALUE_" + std::to_string(t), std::string(t * 50 + 1, 'a' + t));
  TarvoSrvClient client;
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int n = 0; n < 200; ++n) {
        if (client.getString("VALUE_" + std::to_string(t)) != std::string(t * 50 + 1, 'a' + t)) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(ServiceClient, TheSharedClientIsCreatedOnceAndSurvivesAFailedCreation) {
  TestInstallation inst;
  inst.stopService();
  EXPECT_THAT(testenv::failureOf([] { TarvoSrvClient::getInstance(); }),  // creating the client connects at once
              HasSubstr("\n   at get shared instance of TarvoSrvClient(TarvoSrvClient::getInstance line 403)"));
  inst.startService();
  TarvoSrvClient& first = TarvoSrvClient::getInstance();
  EXPECT_EQ(&first, &TarvoSrvClient::getInstance());
  EXPECT_EQ(first.getString("PRODUCT_ROOT_D"), inst.productRoot());
}

} // namespace
