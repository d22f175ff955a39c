// The management-service client against the real stand-in service of a
// test installation.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <thread>

#include "platform/text.h"
#include "platform/win_error.h"
#include "service/pipe.h"
#include "service/tarvo_srv_client.h"
#include "tests/common/test_installation.h"

namespace {

using testenv::TestInstallation;

TEST(ServiceClient, TheServiceErrorTextReachesTheCaller) {
  TestInstallation inst;
  TarvoSrvClient client;
  const struct {
    std::function<std::string()> request;
    std::string messageStart;
    std::string place;
  } cases[] = {
      {[&] { return client.getString("NO_SUCH_SETTING"); }, "Unknown setting 'NO_SUCH_SETTING'",
       "\n   at getString(NO_SUCH_SETTING)(TarvoSrvClient::getString line 285)"},
      {[&] { return client.componentInfo("awstats", 3); }, "componentInfo mode 3 is not supported",
       "\n   at componentInfo for package 'awstats'(TarvoSrvClient::componentInfo line 644)"},
  };
  for (const auto& c : cases) {
    try {
      c.request();
      ADD_FAILURE() << "expected " << c.messageStart;
    } catch (const vexception& e) {
      EXPECT_EQ(e.message().rfind(c.messageStart, 0), 0u) << e.message();
      EXPECT_NE(e.fullMessage().find(c.place), std::string::npos) << e.fullMessage();
    }
  }
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

  // With "Debug" on, Info and Warning entries reach the daily log.
  const std::string warning = "Warning: Connection to Tarvo Management Service is broken: Pipe is finished";
  const std::string info =
      "Info: Tarvo Management service pipe communication error: Pipe is finished. Trying to reconnect.";
  const auto entries = inst.dailyLogEntries();
  size_t w = entries.size(), i = entries.size();
  for (size_t n = 0; n < entries.size(); ++n) {
    if (w == entries.size() && entries[n].find(warning) != std::string::npos) w = n;
    if (i == entries.size() && entries[n].find(info) != std::string::npos) i = n;
  }
  EXPECT_LT(w, entries.size()) << "no Warning entry in:\n" << inst.dailyLog();
  EXPECT_LT(i, entries.size()) << "no Info entry in:\n" << inst.dailyLog();
  EXPECT_LT(w, i) << "the Warning comes before the Info entry";
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
  try {
    TarvoSrvClient::getInstance();
    FAIL() << "creating the client connects at once";
  } catch (const vexception& e) {
    EXPECT_NE(e.fullMessage().find("\n   at get shared instance of TarvoSrvClient(TarvoSrvClient::getInstance line 403)"),
              std::string::npos)
        << e.fullMessage();
  }
  inst.startService();
  TarvoSrvClient& first = TarvoSrvClient::getInstance();
  EXPECT_EQ(&first, &TarvoSrvClient::getInstance());
  EXPECT_EQ(first.getString("PRODUCT_ROOT_D"), inst.productRoot());
}

} // namespace
