// The management-service client: its byte layout and how it reads answers, against a scripted
// peer that sends answers no real service would; its threads and failures against the stand-in.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <thread>
#include <tuple>

#include "config/settings.h"
#include "platform/text.h"
#include "platform/win_error.h"
#include "service/pipe.h"
#include "service/tarvo_srv_client.h"
#include "tests/common/frames.h"
#include "tests/common/test_installation.h"

namespace {

namespace localsock = platform::localsock;
namespace winerr = platform::winerr;
using testenv::le32;
using text::toUtf16le;
using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// An installation whose service the client waits for at most 5 s an answer.
struct Installation : testenv::TestInstallation {
  Installation() { setRegistryDword("PipeAnswerTimeout", 5); }
};

// A peer on $TARVO_PIPE_DIR/zulpipe that records every message it receives and answers each
// request (two messages) with the next scripted answer; an empty answer closes the connection
// unanswered. Once the script is done the connection closes.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::vector<std::vector<std::string>> answers) {
    EXPECT_EQ(listener_.listen(localsock::pipePath("zulpipe"), 4), 0u);
    thread_ = std::thread([this, answers = std::move(answers)] { serve(answers); });
  }
  ~ScriptedPeer() { received(); }
  // Every message received, once the script is done.
  const std::vector<std::string>& received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  void serve(const std::vector<std::vector<std::string>>& answers) {
    localsock::Socket client;  // closed on every way out: the client waits for nothing more
    for (const auto& answer : answers) {
      while (!client.valid() && listener_.accept(client) == localsock::IoPending)
        if (localsock::waitReady(listener_.socket(), localsock::Readiness::Readable, testenv::kFrameWaitMs) != 0)
          FAIL() << "no client connected";
      for (int m = 0; m < 2; ++m)  // the length, then the body
        if (testenv::receiveFrame(client, received_.emplace_back()) != 0) FAIL() << "the client sent no request";
      for (const std::string& m : answer)
        if (!testenv::sendFrame(client, m)) FAIL() << "the client read nothing";
      if (answer.empty()) client.close();
    }
  }

  testenv::TempDir dir_;
  testenv::ScopedEnv pipeDir_{"TARVO_PIPE_DIR", dir_.path()}, registry_{"TARVO_REGISTRY", dir_ / "none.reg"};
  localsock::Listener listener_;
  std::vector<std::string> received_;
  std::thread thread_;
};

// The request identifiers as blocks: 16 bytes in the memory layout of a GUID.
const std::string kGetStringId =
    le32(16) + std::string("\x3C\xBC\x3E\xAD\xB9\xE6\xCF\x4F\xAB\xB9\xED\x1B\x3D\x52\x4F\x22", 16);
const std::string kComponentInfoId =
    le32(16) + std::string("\xAA\x58\x3B\x94\xDE\x49\xA5\x47\xAA\x59\x0E\x01\x0A\x48\xC3\x41", 16);

TEST(ServiceProtocol, RequestsAreLaidOutAsTheServiceReadsThemAndAnswersByTheirSizesAndMarkers) {
  const std::string errorText = "Unknown setting 'X'";
  const std::string errorBody = le32(0xFFFFFFFFu) + le32(2 * 19 + 1) + "\x02" + toUtf16le(errorText);
  const std::vector<std::string> errorAnswer = {le32(static_cast<uint32_t>(errorBody.size())), errorBody};
  const struct {
    const char* what;
    std::vector<std::string> answer;  // the messages the service sends
    std::string expected;             // the value, or "ERROR: " and the failure's first line
    bool closedFirst = false;         // the service closes the connection on the first request unanswered
  } cases[] = {
      {"character size 2 (wide text)", {le32(13), le32(9) + "\x02" + toUtf16le("C:\\a")}, "C:\\a"},
      {"character size 1 (8-bit text)", {le32(8), le32(4) + "\x01" + "abc"}, "abc"},
      {"character size 3", {le32(8), le32(4) + "\x03" + "abc"},
       "ERROR: Unsupported char size when read C-string from serializer."},
      {"answer of length 0", {le32(0)}, "ERROR: Unexpected end of data when read from serializer."},
      {"error marker", errorAnswer, "ERROR: " + errorText},
      {"closed before the answer: asked again once", {le32(9), le32(5) + "\x02" + toUtf16le("ok")}, "ok", true},
  };
  std::vector<std::vector<std::string>> script = {errorAnswer};  // the componentInfo request's
  for (const auto& c : cases) {
    if (c.closedFirst) script.push_back({});
    script.push_back(c.answer);
  }
  ScriptedPeer peer(script);
  TarvoSrvClient client;
  EXPECT_THAT(testenv::failureOf([&] { client.componentInfo("awstats", 2); }),
              AllOf(StartsWith(errorText + "\n"),
                    EndsWith("\n   at componentInfo for package 'awstats'(TarvoSrvClient::componentInfo line 644)")));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string got;
    const std::string failure = testenv::failureOf([&] { got = client.getString("HTTPD_VHOSTS_D"); });
    if (!failure.empty()) {
      EXPECT_THAT(failure, EndsWith("\n   at getString(HTTPD_VHOSTS_D)(TarvoSrvClient::getString line 285)"));
      got = "ERROR: " + failure.substr(0, failure.find('\n'));
    }
    EXPECT_EQ(got, c.expected);
  }

  // Every answer above went to one request: nothing is asked twice but after a close.
  const std::string componentBody =
      kComponentInfoId + le32(15) + "\x02" + toUtf16le("awstats") + le32(4) + std::string("\x02\x00\x00\x00", 4);
  const std::string getStringBody = kGetStringId + le32(29) + "\x02" + toUtf16le("HTTPD_VHOSTS_D");
  std::vector<std::string> expected = {le32(static_cast<uint32_t>(componentBody.size())), componentBody};
  for (const auto& c : cases)
    for (int n = 0; n <= c.closedFirst; ++n) expected.insert(expected.end(), {le32(53), getStringBody});
  EXPECT_EQ(peer.received(), expected);
}

// Threads share one connection without interleaving their requests. Without
// a service a request fails with the socket's path, and the next one starts
// again; the socket of a killed service is busy until the attempts are used
// up, and a new service replaces it.
TEST(ServiceClient, ServesThreadsAndFailsWithTheCodeAndThePathWithoutAService) {
  Installation inst;
  const std::string path = inst.socketPath(), failure = "Unable to connect to pipe " + path;
  const auto create = [&](int attempts) { Con::ClientOverlappedPipe::create(path, attempts); };
  const auto value = [](int t) { return std::string(t * 50 + 1, static_cast<char>('a' + t)); };
  for (int t = 0; t < 8; ++t) inst.setSetting("VALUE_" + std::to_string(t), value(t));
  TarvoSrvClient client;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) threads.emplace_back([&, t] {
    for (int n = 0; n < 200; ++n) wrong += client.getString("VALUE_" + std::to_string(t)) != value(t);
  });
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);

  inst.stopService();
  EXPECT_THAT(testenv::failureOf([&] { client.getString("VALUE_1"); }), HasSubstr(" at " + failure + "\n"));
  const std::string where = "Con::ClientOverlappedPipe::create";
  testenv::expectOsFailure([&] { create(10); }, winerr::FileNotFound, failure, where, 503);
  inst.startService();
  EXPECT_EQ(client.getString("VALUE_1"), value(1));

  kill(inst.servicePid(), SIGKILL);
  inst.stopService();
  for (int attempts : {3, 0})
    testenv::expectOsFailure([&] { create(attempts); }, winerr::PipeBusy, failure, where, 509);
  inst.startService();
  EXPECT_NO_THROW(create(1));
}

// One connection of the process: true when it was made. A count below 1
// refuses to connect even to a listening service.
bool connects() {
  try {
    TarvoSrvClient client;
    return true;
  } catch (const vosexception& e) {
    EXPECT_EQ(e.errorCode(), winerr::PipeBusy);
    return false;
  }
}

// "PipeConnectTryCount": read on the 1st, 17th, 33rd ... connection of a
// process and kept in between. Other tests of this program connect too, so
// the test first finds the next reading: the first connection refused under
// a count of -1.
TEST(ServiceClient, AttemptCountIsReadEverySixteenthConnection) {
  Installation inst;
  inst.setRegistryDword("PipeConnectTryCount", 0xFFFFFFFFu);
  int untilReading = 0;
  while (connects()) ASSERT_LT(++untilReading, 16) << "no reading of PipeConnectTryCount within 16 connections";
  inst.setRegistryDword("PipeConnectTryCount", 0);
  for (int n = 1; n <= 15; ++n) EXPECT_FALSE(connects()) << "the -1 read stays in use; connection " << n;
  EXPECT_TRUE(connects()) << "read: 0 means the given count";
}

TEST(Settings, AnswersBecomeNativePathsWithoutTrailingSeparators) {
  // A path, normalizePath's answer, and the same as a setting's answer (nullptr: not asked).
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"C:\\Inetpub\\vhosts\\", "C:/Inetpub/vhosts/", "C:/Inetpub/vhosts"},
      {"C:/vhosts/./a/../b/", "C:/vhosts/b/", nullptr}, {"a/../../b", "../b", nullptr}, {"\\\\\\", nullptr, ""},
      {"\\\\?\\C:\\long\\path", "C:/long/path", nullptr}, {"", "", ""}};
  Installation inst;
  for (const auto& [in, normalized, setting] : cases) {
    if (normalized) { EXPECT_EQ(normalizePath(in), normalized) << "input: " << in; }
    if (!setting) continue;
    // Asked again at every use: each new answer shows at once.
    inst.setSetting("HTTPD_VHOSTS_D", in);
    EXPECT_EQ(getVhostsDir(), setting) << "answer: " << in;
  }
  inst.setComponent("awstats", "C:\\awstats\\");
  EXPECT_EQ(getComponentPath("awstats"), "C:/awstats");
  EXPECT_EQ(getComponentPath("unknown"), "");
}

} // namespace
