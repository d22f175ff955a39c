// The management-service client: its byte layout against a scripted socket
// peer (which sends answers no real service would), and its connections,
// errors and threads against the real stand-in service; and the settings the
// program asks it for.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "config/settings.h"
#include "platform/local_socket.h"
#include "platform/text.h"
#include "platform/win_error.h"
#include "service/pipe.h"
#include "service/tarvo_srv_client.h"
#include "support/logging.h"
#include "tests/common/test_installation.h"

namespace {

namespace localsock = platform::localsock;
using testenv::TestInstallation;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr int kWaitMs = 5000;

std::string le32(uint32_t n) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<char>(n >> (8 * i));
  return out;
}

std::string utf16(const std::string& ascii) {
  std::string out;
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

// Receives one message within kWaitMs; false at the end of the stream or when nothing came.
bool receive(const localsock::Socket& s, std::string& message) {
  std::string buffer(65536, '\0');
  size_t got = 0;
  uint32_t code;
  while ((code = localsock::receiveMessage(s, buffer.data(), buffer.size(), got)) == localsock::IoPending) {
    if (localsock::waitReady(s, localsock::Readiness::Readable, kWaitMs) != 0) {
      ADD_FAILURE() << "the client sent nothing within " << kWaitMs << " ms";
      return false;
    }
  }
  message = buffer.substr(0, got);
  return code == 0;
}

void send(const localsock::Socket& s, const std::string& message) {
  size_t sent = 0;
  while (localsock::sendMessage(s, message.data(), message.size(), sent) == localsock::IoPending)
    if (localsock::waitReady(s, localsock::Readiness::Writable, kWaitMs) != 0)
      return ADD_FAILURE() << "the client read nothing within " << kWaitMs << " ms";
}

// A peer on $TARVO_PIPE_DIR/zulpipe that records every message it receives
// and answers each request (two messages) with the next scripted answer.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::vector<std::vector<std::string>> answers) : answers_(std::move(answers)) {
    setenv("TARVO_PIPE_DIR", dir_.path().c_str(), 1);
    setenv("TARVO_REGISTRY", (dir_ / "no-registry.reg").c_str(), 1);
    EXPECT_EQ(listener_.listen(localsock::pipePath("zulpipe"), 4), 0u);
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedPeer() {
    thread_.join();
    listener_.close();
  }
  std::vector<std::string> received() {
    std::lock_guard<std::mutex> guard(lock_);
    return received_;
  }

 private:
  // An answer without messages closes the connection unanswered; the next
  // request then comes over a new one.
  void serve() {
    localsock::Socket client;
    for (const auto& answer : answers_) {
      while (!client.valid() && listener_.accept(client) == localsock::IoPending)
        if (localsock::waitReady(listener_.socket(), localsock::Readiness::Readable, kWaitMs) != 0)
          return ADD_FAILURE() << "no client connected within " << kWaitMs << " ms";
      std::string length, body;
      if (!receive(client, length) || !receive(client, body)) return;
      std::lock_guard<std::mutex> guard(lock_);
      received_.insert(received_.end(), {length, body});
      for (const std::string& message : answer) send(client, message);
      if (answer.empty()) client.close();
    }
  }

  testenv::TempDir dir_;
  localsock::Listener listener_;
  std::vector<std::vector<std::string>> answers_;
  std::mutex lock_;
  std::vector<std::string> received_;
  std::thread thread_;
};

// The request identifiers as blocks: 16 bytes in the memory layout of a GUID.
const std::string kGetStringId = le32(16) + std::string("\x3C\xBC\x3E\xAD\xB9\xE6\xCF\x4F\xAB\xB9\xED\x1B\x3D\x52\x4F\x22", 16);
const std::string kComponentInfoId = le32(16) + std::string("\xAA\x58\x3B\x94\xDE\x49\xA5\x47\xAA\x59\x0E\x01\x0A\x48\xC3\x41", 16);

TEST(ServiceProtocol, GetStringSendsA53ByteBodyAndComponentInfoItsModeBlock) {
  const std::string value = le32(9) + "\x02" + utf16("C:\\a");
  ScriptedPeer peer({{le32(13), value}, {le32(13), value}});
  TarvoSrvClient client;
  EXPECT_EQ(client.getString("HTTPD_VHOSTS_D"), "C:\\a");
  EXPECT_EQ(client.componentInfo("awstats", 2), "C:\\a");

  const std::string componentBody =
      kComponentInfoId + le32(15) + "\x02" + utf16("awstats") + le32(4) + std::string("\x02\x00\x00\x00", 4);
  EXPECT_EQ(peer.received(), (std::vector<std::string>{le32(53), kGetStringId + le32(29) + "\x02" + utf16("HTTPD_VHOSTS_D"),
                                                       le32(static_cast<uint32_t>(componentBody.size())), componentBody}));
}

TEST(ServiceProtocol, AnswersAreReadByTheirCharacterSizeAndMarkers) {
  struct Case {
    const char* what;
    std::vector<std::string> answer;  // the messages the service sends
    std::string value;                // expected value, or
    std::string error;                // expected failure message
  };
  const std::string errorText = "Unknown setting 'X'";
  const std::string errorBody = le32(0xFFFFFFFFu) + le32(2 * 19 + 1) + "\x02" + utf16(errorText);
  const Case cases[] = {
      {"character size 1 (8-bit text)", {le32(8), le32(4) + "\x01" + "abc"}, "abc", ""},
      {"non-ASCII wide text", {le32(7), le32(3) + "\x02" + std::string("\xE9\x00", 2)}, "\xC3\xA9", ""},
      {"empty string", {le32(5), le32(1) + "\x02"}, "", ""},
      {"odd byte of a wide string ignored", {le32(10), le32(6) + "\x02" + utf16("ab") + "z"}, "ab", ""},
      {"character size 3", {le32(8), le32(4) + "\x03" + "abc"}, "", "Unsupported char size when read C-string from serializer."},
      {"string of length 0", {le32(4), le32(0)}, "", "Unexpected end of data when read C-string from serializer."},
      {"answer of length 0", {le32(0)}, "", "Unexpected end of data when read from serializer."},
      {"string longer than the answer", {le32(7), le32(10) + "\x02" + "ab"}, "", "Unexpected end of data when read from serializer."},
      {"error marker", {le32(static_cast<uint32_t>(errorBody.size())), errorBody}, "", errorText},
  };
  std::vector<std::vector<std::string>> script;
  for (const Case& c : cases) script.push_back(c.answer);
  ScriptedPeer peer(script);
  TarvoSrvClient client;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      const std::string value = client.getString("NAME");
      EXPECT_TRUE(c.error.empty()) << "expected the failure " << c.error;
      EXPECT_EQ(value, c.value);
    } catch (const vexception& e) {
      EXPECT_EQ(e.message(), c.error);
    }
  }
  // An error marker is not repeated: every answer above went to one request.
  EXPECT_EQ(peer.received().size(), 2 * std::size(cases));
}

// A service that went away, between two requests or after a request before
// its answer, is asked again once over a new connection; the Warning and
// then the Info entry say so.
TEST(ServiceClient, ReconnectsWhenTheServiceClosedTheConnection) {
  {
    SCOPED_TRACE("closed after the request, before the answer");
    const std::string value = le32(5) + "\x02" + utf16("ok");
    ScriptedPeer peer({{}, {le32(9), value}});
    TarvoSrvClient client;
    EXPECT_EQ(client.getString("AWStatsPath"), "ok");
    const auto got = peer.received();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[1], got[3]);  // the same request, repeated once
  }
  SCOPED_TRACE("closed between two requests");
  TestInstallation inst;
  for (int i = 0; i < 16; ++i) debuggingEnabled();  // "Debug" is read again within 16 queries
  TarvoSrvClient client;
  EXPECT_EQ(client.getString("HTTPD_VHOSTS_D"), inst.vhostsDir());
  inst.restartService();
  inst.setSetting("HTTPD_VHOSTS_D", "/after/restart");
  EXPECT_EQ(client.getString("HTTPD_VHOSTS_D"), "/after/restart");
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
    ADD_FAILURE() << "no service: the request must fail";
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
      ADD_FAILURE() << "the socket of a killed service must be busy";
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

// One connection of the process: true when it was made. A count below 1
// refuses to connect even to a listening service.
bool connects() {
  try {
    TarvoSrvClient client;
    return true;
  } catch (const vosexception& e) {
    EXPECT_EQ(e.errorCode(), platform::winerr::PipeBusy);
    return false;
  }
}

// "PipeConnectTryCount": read on the 1st, 17th, 33rd ... connection of a
// process and kept in between; never read again once reading it failed.
// Other tests of this program connect too, so the test first finds the next
// reading: the first connection refused under a count of -1.
TEST(ServiceClient, AttemptCountIsReadEverySixteenthConnection) {
  TestInstallation inst;
  inst.setRegistryDword("PipeConnectTryCount", 0xFFFFFFFFu);
  int untilReading = 0;
  while (connects()) ASSERT_LT(++untilReading, 16) << "no reading of PipeConnectTryCount within 16 connections";
  auto expectRun = [](int count, bool made) {
    for (int n = 1; n <= count; ++n) EXPECT_EQ(connects(), made) << "connection " << n << " of " << count;
  };
  inst.setRegistryDword("PipeConnectTryCount", 0);
  expectRun(15, false);  // the -1 read stays in use
  expectRun(1, true);    // read: 0 means the given count
  inst.setRegistryString("PipeConnectTryCount", "three");
  expectRun(15, true);
  expectRun(1, true);  // reading fails: the last value stays, no more readings
  inst.setRegistryDword("PipeConnectTryCount", 0xFFFFFFFFu);
  expectRun(20, true);
}

// A service that takes its connections slowly: every client of a burst gets
// in on the connection it waited for, none uses up its attempts.
TEST(ServiceClient, ABurstOfClientsAgainstAFullBacklogAllGetIn) {
  testenv::TempDir dir;
  const std::string path = dir / "slow.sock";
  localsock::Listener listener;
  ASSERT_EQ(listener.listen(path, 1), 0u);
  std::atomic<bool> serving{true};
  std::atomic<int> accepted{0};
  std::thread service([&] {
    std::vector<localsock::Socket> held;  // kept open: the clients stay connected
    while (serving) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      localsock::Socket s;
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
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (accepted < connected && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  serving = false;
  service.join();
  EXPECT_EQ(connected.load(), 8);
  EXPECT_EQ(accepted.load(), 8) << "within 5 s; no connection may be made only to be given up";
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

// Before any test below: they make the shared client.
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

TEST(Settings, AnswersBecomeNativePathsWithoutTrailingSeparators) {
  const struct {
    const char* in;
    const char* normalized;  // by normalizePath; nullptr: not asked
    const char* setting;     // the same as a setting's answer; nullptr: not asked
  } cases[] = {
      {"C:/vhosts/./a/../b/", "C:/vhosts/b/", nullptr},
      {"C:\\Inetpub\\vhosts\\", "C:/Inetpub/vhosts/", "C:/Inetpub/vhosts"},
      {"/var/www/./old/../vhosts/", "/var/www/vhosts/", "/var/www/vhosts"},
      {"/var//www/./vhosts", "/var/www/vhosts", nullptr},
      {"a/../../b", "../b", nullptr},
      {"/a/b/../../..", "/..", nullptr},
      {"\\\\?\\C:\\long\\path", "C:/long/path", nullptr},
      {"\\\\\\", nullptr, ""},
      {"/", "/", nullptr},
      {"", "", ""},
      {".", "", nullptr},
  };
  TestInstallation inst;
  for (const auto& c : cases) {
    if (c.normalized) EXPECT_EQ(normalizePath(c.in), c.normalized) << "input: " << c.in;
    if (!c.setting) continue;
    // Asked again at every use: each new answer shows at once.
    inst.setSetting("HTTPD_VHOSTS_D", c.in);
    EXPECT_EQ(getVhostsDir(), c.setting) << "answer: " << c.in;
  }
  inst.setSetting("WebalizerPath", "/opt/webalizer/bin/webalizer");
  inst.setSetting("AWStatsPath", "/opt/Ünïcode/awstats/");
  inst.setComponent("awstats", "C:\\awstats\\");
  EXPECT_EQ(getWebalizerPath(), "/opt/webalizer/bin/webalizer");
  EXPECT_EQ(getAWStatsPath(), "/opt/Ünïcode/awstats");
  EXPECT_EQ(getComponentPath("awstats"), "C:/awstats");
  EXPECT_EQ(getComponentPath("unknown"), "");
}

// The product root is asked for once per process; a first call that fails
// stores nothing. (This is the only test of this program asking for it.)
TEST(Settings, ProductRootIsKeptFromTheFirstSuccessfulAnswer) {
  TestInstallation inst;
  inst.setSetting("PRODUCT_ROOT_D", "/first/root/");
  inst.stopService();
  EXPECT_THROW(getProductRootDir(), vexception);
  inst.startService();
  EXPECT_EQ(getProductRootDir(), "/first/root");
  inst.setSetting("PRODUCT_ROOT_D", "/second/root");
  EXPECT_EQ(getProductRootDir(), "/first/root");
  inst.stopService();
  EXPECT_EQ(getProductRootDir(), "/first/root");  // no request at all
}

} // namespace
