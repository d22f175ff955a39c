// The byte layout of the management-service conversation, checked byte for
// byte. The peer here is a scripted socket server (it has to send answers no
// real service would), the client is the real one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/local_socket.h"
#include "service/requests.h"
#include "service/serializer.h"
#include "service/tarvo_srv_client.h"
#include "tests/common/test_env.h"

namespace {

namespace localsock = platform::localsock;

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

// Receives one message, waiting for it; false at the end of the stream.
bool receive(const localsock::Socket& s, std::string& message) {
  std::string buffer(65536, '\0');
  size_t got = 0;
  uint32_t code;
  while ((code = localsock::receiveMessage(s, buffer.data(), buffer.size(), got)) == localsock::IoPending)
    localsock::waitReady(s, localsock::Readiness::Readable, -1);
  message = buffer.substr(0, got);
  return code == 0;
}

void send(const localsock::Socket& s, const std::string& message) {
  size_t sent = 0;
  while (localsock::sendMessage(s, message.data(), message.size(), sent) == localsock::IoPending)
    localsock::waitReady(s, localsock::Readiness::Writable, -1);
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
        localsock::waitReady(listener_.socket(), localsock::Readiness::Readable, -1);
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

TEST(ServiceProtocol, AServiceThatLeavesBeforeAnsweringIsAskedAgainOverANewConnection) {
  const std::string value = le32(5) + "\x02" + utf16("ok");
  ScriptedPeer peer({{}, {le32(9), value}});
  TarvoSrvClient client;
  EXPECT_EQ(client.getString("AWStatsPath"), "ok");
  const auto got = peer.received();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[1], got[3]);  // the same request, repeated once
}

} // namespace
