// The stand-in management service as its clients meet it: raw frames over
// its socket, garbage, clients that leave halfway, many clients at once, its
// start and stop.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <random>
#include <regex>
#include <thread>

#include "platform/local_socket.h"
#include "platform/win_error.h"
#include "service/requests.h"
#include "service/serializer.h"
#include "tests/common/test_env.h"
#include "tests/common/test_installation.h"

namespace {

namespace localsock = platform::localsock;
using testenv::TestInstallation;

std::string le32(uint32_t n) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<char>(n >> (8 * i));
  return out;
}

std::string idBlock(const vserializer::Guid& id) {
  const auto bytes = id.bytes();
  return le32(16) + std::string(reinterpret_cast<const char*>(bytes.data()), 16);
}

std::string wide(const std::string& s) {
  vserializer::buffer b;
  b.writeString(s);
  return std::string(b.bytes());
}

std::string getStringBody(const std::string& name) { return idBlock(tarvosrv::GetStringRequest) + wide(name); }

// A client that speaks frames by hand. Every wait is bounded so that a
// server that stopped answering fails the test instead of hanging it.
class RawClient {
 public:
  explicit RawClient(const std::string& path) {
    // A full backlog is busy, not broken: wait for room, as the service's clients do.
    uint32_t code = localsock::connect(path, socket_);
    for (int tries = 0; code == platform::winerr::PipeBusy && tries < 20; ++tries)
      code = localsock::connectWhenFree(path, 1000, socket_);
    if (code != 0) throw std::runtime_error("cannot connect to " + path + ": code " + std::to_string(code));
  }
  // A client that never reads is not read from either, so a draining sender
  // takes in the answers that arrive meanwhile.
  void sendMessage(const std::string& m, bool draining = false) {
    size_t sent = 0;
    while (localsock::sendMessage(socket_, m.data(), m.size(), sent) == localsock::IoPending) {
      if (draining) drain();
      localsock::waitReady(socket_, localsock::Readiness::Writable, draining ? 10 : 5000);
    }
  }
  // false at the end of the stream (or when nothing came for 5 s).
  bool receiveMessage(std::string& m) {
    std::string buffer(70000, '\0');
    for (int waits = 0;; ++waits) {
      size_t got = 0;
      const uint32_t code = localsock::receiveMessage(socket_, buffer.data(), buffer.size(), got);
      if (code == 0) {
        m = buffer.substr(0, got);
        return true;
      }
      if (code != localsock::IoPending || waits > 0 ||
          localsock::waitReady(socket_, localsock::Readiness::Readable, 5000) != 0)
        return false;
    }
  }
  // The answer's body; raises when the connection ends instead.
  std::string answer() {
    std::string length, body;
    if (!receiveMessage(length) || length.size() != 4) throw std::runtime_error("no answer length");
    if (length == le32(0)) return {};
    if (!receiveMessage(body) || body.size() != static_cast<uint8_t>(length[0]) + 256u * static_cast<uint8_t>(length[1]))
      throw std::runtime_error("no answer body of the announced length");
    return body;
  }
  std::string request(const std::string& body) {
    sendMessage(le32(static_cast<uint32_t>(body.size())));
    sendMessage(body);
    return answer();
  }
  void drain() {
    std::string buffer(70000, '\0');
    for (size_t got = 0; localsock::receiveMessage(socket_, buffer.data(), buffer.size(), got) == 0;) {
    }
  }
  localsock::Socket& socket() { return socket_; }

 private:
  localsock::Socket socket_;
};

// The string of an answer, or "ERROR: " + the service's text.
std::string decode(const std::string& body) {
  try {
    vserializer::reader r(body);
    std::string value = r.readString();
    return r.atEnd() ? value : "TRAILING BYTES";
  } catch (const vexception& e) {
    return "ERROR: " + e.message();
  }
}

TEST(ServiceServer, GarbageIsAnsweredWithAClearErrorAndTheConnectionGoesOn) {
  TestInstallation inst;
  RawClient client(inst.socketPath());
  const std::string component = idBlock(tarvosrv::ComponentInfoRequest) + wide("awstats");
  const struct {
    std::vector<std::string> messages;
    std::string answerStart;
  } cases[] = {
      {{"abc"}, "ERROR: Malformed frame: a request begins with a message of 4 bytes holding the body length; this one had 3 bytes"},
      {{le32(0)}, "ERROR: Malformed frame: body length 0 is not between 1 and 65536 bytes"},
      {{le32(100000)}, "ERROR: Malformed frame: body length 100000 is not between 1 and 65536 bytes"},
      {{std::string(66000, 'x')}, "ERROR: Malformed frame: a message of more than 65536 bytes"},
      {{le32(10), "1234567"}, "ERROR: Malformed frame: the length message announced a body of 10 bytes, the body message had 7"},
      {{le32(8), "xxxxxxxx"}, "ERROR: Malformed request: the body must begin with the request identifier"},
      {{le32(20), le32(16) + std::string(16, '\0')}, "ERROR: Unknown request identifier {00000000-0000-0000-0000-000000000000}"},
      {{le32(20), idBlock(tarvosrv::GetStringRequest)}, "ERROR: Malformed getString request: Unexpected end of data when read from serializer."},
      {{le32(55), getStringBody("HTTPD_VHOSTS_D") + "zz"}, "ERROR: Malformed getString request: 2 unexpected bytes after its parameters"},
      {{le32(static_cast<uint32_t>(component.size() + 6)), component + le32(2) + std::string("\x02\x00", 2)},
       "ERROR: Malformed componentInfo request: the mode must be a block of 4 bytes"},
      {{le32(53), getStringBody("httpd_vhosts_d")}, inst.vhostsDir()},  // names ignore letter case
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answerStart);
    for (const std::string& m : c.messages) client.sendMessage(m);
    const std::string got = decode(client.answer());
    EXPECT_EQ(got.substr(0, c.answerStart.size()), c.answerStart) << got;
    EXPECT_EQ(decode(client.request(getStringBody("HTTPD_VHOSTS_D"))), inst.vhostsDir());
  }
  // The readiness probe of the installation is the first connection.
  EXPECT_TRUE(std::regex_search(inst.serviceLog(), std::regex("connection #[0-9]+: Malformed frame"))) << inst.serviceLog();
}

TEST(ServiceServer, ClientsThatStallOrLeaveDoNotDisturbTheOthers) {
  TestInstallation::Options options;
  options.serviceArguments = {"--frame-timeout=300"};
  TestInstallation inst(options);
  RawClient stalled(inst.socketPath());
  stalled.sendMessage(le32(53));  // and no body
  RawClient steady(inst.socketPath());
  for (int round = 0; round < 5; ++round) {
    { RawClient gone(inst.socketPath()); }
    RawClient(inst.socketPath()).sendMessage(le32(53));  // leaves after the length
    {
      RawClient noReader(inst.socketPath());
      noReader.sendMessage(le32(53));
      noReader.sendMessage(getStringBody("HTTPD_VHOSTS_D"));
    }
    {
      // A client that has said all it wanted still gets its answer.
      RawClient halfClosed(inst.socketPath());
      halfClosed.sendMessage(le32(53));
      halfClosed.sendMessage(getStringBody("HTTPD_VHOSTS_D"));
      localsock::shutdownSending(halfClosed.socket());
      EXPECT_EQ(decode(halfClosed.answer()), inst.vhostsDir());
      std::string more;
      EXPECT_FALSE(halfClosed.receiveMessage(more));
    }
    for (int i = 0; i < 4; ++i) EXPECT_EQ(decode(steady.request(getStringBody("HTTPD_VHOSTS_D"))), inst.vhostsDir());
  }

  EXPECT_EQ(decode(stalled.answer()),
            "ERROR: Incomplete request: the body of 53 bytes did not follow its length within 300 ms; the connection is closed");
  std::string more;
  EXPECT_FALSE(stalled.receiveMessage(more)) << "the connection ends after the error";
  EXPECT_EQ(decode(steady.request(getStringBody("PRODUCT_ROOT_D"))), inst.productRoot());
}

// Random and truncated frames from many connections; good requests on other
// connections must keep getting their right answers all along.
TEST(ServiceServer, KeepsAnsweringGoodRequestsUnderRandomFrames) {
  TestInstallation inst;
  for (int i = 0; i < 4; ++i) inst.setSetting("GOOD_" + std::to_string(i), "value-" + std::to_string(i));
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));

  std::atomic<bool> fuzzing{true};
  std::atomic<int> failures{0}, answered{0};
  std::vector<std::thread> fuzzers, good;
  for (int f = 0; f < 12; ++f) {
    fuzzers.emplace_back([&, f] {
      std::mt19937 rng(seed + static_cast<unsigned>(f));
      auto below = [&](size_t n) { return static_cast<size_t>(rng() % n); };
      try {
        auto client = std::make_unique<RawClient>(inst.socketPath());
        auto send = [&](const std::string& m) { client->sendMessage(m, true); };
        for (int n = 0; n < 400; ++n) {
          std::string body = getStringBody("GOOD_" + std::to_string(below(4)));
          const std::string length = le32(static_cast<uint32_t>(body.size()));
          switch (below(6)) {
            case 0:  // random bytes
              body.resize(below(120));
              for (char& c : body) c = static_cast<char>(rng());
              send(body);
              break;
            case 1: send(le32(static_cast<uint32_t>(rng()))); break;
            case 2: send(length); send(body.substr(0, below(body.size()))); break;  // cut short
            case 3: body[below(body.size())] = static_cast<char>(rng()); send(length); send(body); break;
            case 4:  // a length and then the connection ends
              if (below(4) != 0) break;
              send(length);
              client = std::make_unique<RawClient>(inst.socketPath());
              break;
            default: client->drain();
          }
        }
      } catch (const std::exception&) {
        ++failures;  // the service refused a connection
      }
    });
  }
  for (int g = 0; g < 4; ++g) {
    good.emplace_back([&, g] {
      try {
        RawClient client(inst.socketPath());
        while (fuzzing) {
          if (decode(client.request(getStringBody("GOOD_" + std::to_string(g)))) != "value-" + std::to_string(g))
            ++failures;
          ++answered;
        }
      } catch (const std::exception&) {
        ++failures;  // a good client lost its connection
      }
    });
  }
  for (auto& t : fuzzers) t.join();
  fuzzing = false;
  for (auto& t : good) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(answered.load(), 0);
  EXPECT_EQ(decode(RawClient(inst.socketPath()).request(getStringBody("GOOD_3"))), "value-3");
}

// Edited by hand without telling the service, in any line ending.
TEST(ServiceServer, ReadsItsSettingsFileAgainWhenItChanges) {
  TestInstallation inst;
  RawClient client(inst.socketPath());
  const struct {
    std::string text, name, answer;
  } cases[] = {
      {"HTTPD_VHOSTS_D=/edited/by/hand/vhosts\n", "HTTPD_VHOSTS_D", "/edited/by/hand/vhosts"},
      {"# comment\nHTTPD_VHOSTS_D=/x\njust words\n", "HTTPD_VHOSTS_D",
       "ERROR: The management service cannot answer: settings file " + inst.settingsFile() +
           ", line 3: expected NAME=value, found 'just words'"},
      {"  HTTPD_VHOSTS_D =  /spaced  \n\nHTTPD_VHOSTS_D=/later/wins\nEMPTY=\n", "HTTPD_VHOSTS_D", "/later/wins"},
      {"HTTPD_VHOSTS_D=/later/wins\nEMPTY=\n", "EMPTY", ""},
      {"PRODUCT_ROOT_D=/p\r\n\r\n # note\r\nHTTPD_VHOSTS_D=/crlf/vhosts \r\n", "HTTPD_VHOSTS_D", "/crlf/vhosts"},
      {"HTTPD_VHOSTS_D = /tabbed\t\r\nPRODUCT_ROOT_D=/p\r\n", "HTTPD_VHOSTS_D", "/tabbed"},
  };
  for (const auto& c : cases) {
    testenv::writeFile(inst.settingsFile(), c.text);
    EXPECT_EQ(decode(client.request(getStringBody(c.name))), c.answer) << c.text;
  }
}

TEST(ServiceServer, DaemonReturnsOnceListeningRefusesASecondServiceAndStopsOnSigterm) {
  TestInstallation::Options options;
  options.startService = false;
  TestInstallation inst(options);
  const std::string program = testenv::buildDir() + "/tools/mgmt_service/tarvo-mgmt-service";
  const std::string pidFile = inst.root() + "/service.pid", log = inst.root() + "/daemon.log";
  auto r = inst.run(program, {"--daemon", "--settings=" + inst.settingsFile(), "--socket=" + inst.socketPath(),
                              "--pid-file=" + pidFile, "--log=" + log});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  RawClient client(inst.socketPath());  // listening already when the command returned
  EXPECT_EQ(decode(client.request(getStringBody("PRODUCT_ROOT_D"))), inst.productRoot());

  const struct {
    std::vector<std::string> args;
    int exitCode;
    const char* error;
  } cases[] = {
      {{inst.settingsFile(), "--socket=" + inst.socketPath()}, 1, "another service answers there"},
      {{}, 2, "--settings=FILE is required"},
      {{"--settings=" + inst.settingsFile(), "--bogus"}, 2, "unknown argument '--bogus'"},
      {{"--settings=" + inst.settingsFile(), "--frame-timeout=0"}, 2, "--frame-timeout needs a number"},
      {{"--settings=" + inst.root() + "/missing.conf"}, 1, "cannot read the settings file"},
      {{inst.settingsFile(), "--socket=" + inst.root() + "/x", "--pipe-name=y"}, 2, "either --socket or --pipe-name"},
  };
  for (const auto& c : cases) {
    r = inst.run(program, c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.error;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
  }
  EXPECT_EQ(decode(client.request(getStringBody("PRODUCT_ROOT_D"))), inst.productRoot());

  ASSERT_EQ(kill(std::stoi(testenv::readFile(pidFile)), SIGTERM), 0);
  std::string rest;
  EXPECT_FALSE(client.receiveMessage(rest)) << "an open connection does not hold the stop up";
  // Its pid file goes last.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::filesystem::exists(pidFile) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_FALSE(std::filesystem::exists(pidFile)) << "the service did not stop within 5 s of SIGTERM";
  EXPECT_FALSE(std::filesystem::exists(inst.socketPath()));
  EXPECT_NE(testenv::readFile(log).find("stopped"), std::string::npos);
}

} // namespace
