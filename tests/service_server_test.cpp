// The stand-in management service as its clients meet it: its settings file,
// the frames it refuses, clients that stall, leave or never read, a second
// service. (How the program's client reads answers is service_client_test's.)
#include <gtest/gtest.h>

#include <optional>
#include <tuple>

#include "platform/win_error.h"
#include "service/requests.h"
#include "service/serializer.h"
#include "tests/common/frames.h"
#include "tests/common/test_installation.h"

namespace {

namespace localsock = platform::localsock;
using testenv::le32;
using testenv::TestInstallation;

std::string idBlock(const vserializer::Guid& id) {
  const auto bytes = id.bytes();
  return le32(16) + std::string(reinterpret_cast<const char*>(bytes.data()), 16);
}

// A getString request's body: its identifier and the setting's name.
std::string requestBody(const std::string& name) {
  vserializer::buffer b;
  b.writeString(name);
  return idBlock(tarvosrv::GetStringRequest) + std::string(b.bytes());
}

// A client that speaks frames by hand. A service that takes or sends nothing
// in time fails the test (an exception) instead of hanging it.
struct RawClient {
  explicit RawClient(const std::string& path) {
    uint32_t code = localsock::connect(path, socket_);
    if (code == platform::winerr::PipeBusy) code = localsock::connectWhenFree(path, testenv::kFrameWaitMs, socket_);
    if (code != 0) throw std::runtime_error("cannot connect to " + path + ": code " + std::to_string(code));
  }
  void send(const std::string& m) {
    if (!testenv::sendFrame(socket_, m)) throw std::runtime_error("the service took no message in time");
  }
  // One message; nothing at the end of the stream.
  std::optional<std::string> receive() {
    std::string m;
    const uint32_t code = testenv::receiveFrame(socket_, m);
    if (code == localsock::IoPending) throw std::runtime_error("the service sent nothing in time");
    return code == 0 ? std::optional(m) : std::nullopt;
  }
  // The next answer's string, or "ERROR: " + the service's text.
  std::string answer() {
    const auto length = receive();
    if (!length || length->size() != 4) throw std::runtime_error("no answer length");
    const auto body = *length == le32(0) ? std::string() : receive();
    if (!body) throw std::runtime_error("no answer body");
    EXPECT_EQ(*length, le32(static_cast<uint32_t>(body->size()))) << "the length announces the body";
    try {
      vserializer::reader r(*body);
      std::string value = r.readString();
      return r.atEnd() ? value : "TRAILING BYTES";
    } catch (const vexception& e) {
      return "ERROR: " + e.message();
    }
  }
  std::string get(const std::string& name) {
    const std::string body = requestBody(name);
    send(le32(static_cast<uint32_t>(body.size())));
    send(body);
    return answer();
  }
  localsock::Socket socket_;
};

// Garbage is answered with a clear error and the connection goes on, where
// setting names ignore letter case. Then the settings file, edited by hand
// without telling the service, in any line ending: values, names and whole
// lines are trimmed.
TEST(ServiceServer, AnswersGarbageWithAClearErrorAndReadsItsSettingsFileAgainWhenItChanges) {
  TestInstallation inst;
  RawClient client(inst.socketPath());
  const std::pair<std::vector<std::string>, std::string> cases[] = {  // what is sent, the error's start
      {{"abc"}, "Malformed frame: a request begins with a message of 4 bytes holding the body length; "
                "this one had 3 bytes"},
      {{le32(0)}, "Malformed frame: body length 0 is not between 1 and 65536 bytes"},
      {{std::string(66000, 'x')}, "Malformed frame: a message of more than 65536 bytes"},
      {{le32(10), "1234567"},
       "Malformed frame: the length message announced a body of 10 bytes, the body message had 7"},
      {{le32(8), "xxxxxxxx"}, "Malformed request: the body must begin with the request identifier"},
      {{le32(20), le32(16) + std::string(16, '\0')}, "Unknown request identifier {00000000-0000-0000-0000-0000"},
      {{le32(20), idBlock(tarvosrv::GetStringRequest)},
       "Malformed getString request: Unexpected end of data when read from serializer."},
      {{le32(55), requestBody("HTTPD_VHOSTS_D") + "zz"}, "Malformed getString request: 2 unexpected bytes after its"},
  };
  for (const auto& [messages, error] : cases) {
    SCOPED_TRACE(error);
    for (const std::string& m : messages) client.send(m);
    const std::string got = client.answer();
    EXPECT_EQ(got.substr(0, error.size() + 7), "ERROR: " + error) << got;
    EXPECT_EQ(client.get("httpd_vhosts_d"), inst.vhostsDir());
  }

  const std::tuple<std::string, std::string, std::string> settings[] = {  // the file, a name, its answer
      {"# comment\nHTTPD_VHOSTS_D=/x\njust words\n", "HTTPD_VHOSTS_D",
       "ERROR: The management service cannot answer: settings file " + inst.settingsFile() +
           ", line 3: expected NAME=value, found 'just words'"},
      {"PRODUCT_ROOT_D=/p\r\n\r\n # note\r\nHTTPD_VHOSTS_D=/crlf/vhosts \r\n", "HTTPD_VHOSTS_D", "/crlf/vhosts"},
      {"HTTPD_VHOSTS_D = /tabbed\t\r\nPRODUCT_ROOT_D=/p\r\n", "HTTPD_VHOSTS_D", "/tabbed"},
  };
  for (const auto& [text, name, answer] : settings) {
    testenv::writeFile(inst.settingsFile(), text);
    EXPECT_EQ(client.get(name), answer) << text;
  }
}

TEST(ServiceServer, ClientsThatStallLeaveOrNeverReadDoNotDisturbTheOthers) {
  TestInstallation::Options options;
  options.serviceArguments = {"--frame-timeout=300"};
  TestInstallation inst(options);
  const std::string request = requestBody("HTTPD_VHOSTS_D"), length = le32(53);
  RawClient stalled(inst.socketPath());
  stalled.send(length);  // and no body
  RawClient steady(inst.socketPath());
  { RawClient gone(inst.socketPath()); }
  RawClient(inst.socketPath()).send(length);  // leaves after the length
  {
    RawClient noReader(inst.socketPath());
    noReader.send(length);
    noReader.send(request);
  }
  EXPECT_EQ(steady.get("HTTPD_VHOSTS_D"), inst.vhostsDir());
  EXPECT_EQ(stalled.answer(), "ERROR: Incomplete request: the body of 53 bytes did not follow its length within "
                              "300 ms; the connection is closed");
  EXPECT_EQ(stalled.receive(), std::nullopt) << "the connection ends after the error";
  EXPECT_EQ(steady.get("PRODUCT_ROOT_D"), inst.productRoot());
}

// A second service on a socket in use, or bad arguments, do not start; the
// first keeps serving. (Its stop on SIGTERM ends every TestInstallation.)
TEST(ServiceServer, RefusesASecondServiceAndBadArguments) {
  TestInstallation inst;
  const std::string program = testenv::buildDir() + "/tools/mgmt_service/tarvo-mgmt-service";
  const std::tuple<std::vector<std::string>, int, const char*> cases[] = {  // arguments, exit code, error
      {{inst.settingsFile(), "--socket=" + inst.socketPath()}, 1, "another service answers there"},
      {{}, 2, "--settings=FILE is required"},
      {{"--settings=" + inst.settingsFile(), "--bogus"}, 2, "unknown argument '--bogus'"},
      {{"--settings=" + inst.root() + "/missing.conf"}, 1, "cannot read the settings file"},
  };
  for (const auto& [args, exitCode, error] : cases) {
    const auto r = inst.run(program, args);
    EXPECT_EQ(r.exitCode, exitCode) << error;
    EXPECT_NE(r.err.find(error), std::string::npos) << r.err;
  }
  EXPECT_EQ(RawClient(inst.socketPath()).get("PRODUCT_ROOT_D"), inst.productRoot());
}

} // namespace
