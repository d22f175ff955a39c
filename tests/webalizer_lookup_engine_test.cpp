// Address lookups for Webalizer: the real program and the real Webalizer
// against a stand-in name server on the loopback (AddressLookupServers), so
// nothing depends on the network.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "support/format.h"
#include "tests/common/stand_in_resolver.h"
#include "tests/common/test_env.h"
#include "tests/common/test_installation.h"
#include "webalizer/address_names.h"

namespace fs = std::filesystem;
using namespace testenv;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class WebalizerLookups : public ::testing::Test {
 protected:
  void SetUp() override {
    setUpEngine("webalizer", inst_.productRoot() + "/webalizer");
    inst_.setRegistryDword("StatisticsJobs", 2);
  }

  // A Webalizer domain whose web log of the day has one record for each address.
  void addDomain(const std::string& webspace, const std::string& domain, const std::vector<std::string>& addresses,
                 int day) {
    const std::string dir = inst_.vhostsDir() + "/" + webspace + "/logs/iis";
    writeFile(dir + "/web_stat_executor.conf", "<config><domain name=\"" + domain + "\" webspaceName=\"" + webspace +
                                                   "\"><webstat type=\"webalizer\"/></domain></config>");
    std::string log;
    for (size_t i = 0; i < addresses.size(); ++i)
      log += formatString("202403%02d08%02d00 %s - - [%02d/Mar/2024:08:%02d:00 +0000] \"GET /p%u.html HTTP/1.1\" "
                          "200 100 \"-\" \"Mozilla/5.0\"\r\n",
                          day, static_cast<int>(i % 60), addresses[i].c_str(), day, static_cast<int>(i % 60),
                          static_cast<unsigned>(i));
    writeFile(dir + formatString("/web_202403%02d.log", day), log);
  }
  std::string report(const std::string& webspace, const std::string& domain) const {
    return readFile(inst_.vhostsDir() + "/" + webspace + "/.tarvo/statistics/" + domain + "/webstat/usage_202403.html");
  }
  // The text of the run's end entry.
  std::string endEntry() const {
    std::string last;
    for (const std::string& entry : inst_.dailyLogEntries())
      if (entry.find("Statistics run ended") != std::string::npos) last = entry;
    return last;
  }
  // The seconds the lookups took, as the end entry says.
  double lookupSeconds() const {
    std::smatch m;
    const std::string entry = endEntry();
    return std::regex_search(entry, m, std::regex(R"(no name, ([0-9.]+) seconds)")) ? std::stod(m[1]) : -1;
  }

  TestInstallation inst_;
};

TEST_F(WebalizerLookups, EachAddressIsAskedOncePerNightAndANameMissIsRememberedForADay) {
  StandInResolver resolver({{"192.0.2.1", {"host-one.example.de"}},
                            {"192.0.2.2", {"Host-Two.Example.COM"}},
                            {"192.0.2.3", {""}},
                            {"192.0.2.4", {"four.example.fr", 300}}});
  inst_.setRegistryString("AddressLookupServers", resolver.server());
  addDomain("ws1", "one.example", {"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.1"}, 1);
  addDomain("ws2", "two.example", {"192.0.2.3", "192.0.2.2", "192.0.2.4"}, 1);

  ASSERT_EQ(inst_.runExecutor({"--calculate-all"}).exitCode, 0) << inst_.dailyLog();
  for (const char* address : {"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.4"})
    EXPECT_EQ(resolver.questions(address), 1) << address;
  EXPECT_THAT(endEntry(), HasSubstr("Address lookups: 4 made (3 with a name, 1 without, 0 given up), 0 known to have "
                                    "no name"));
  // Webalizer shows the names and the countries they give, as with its own
  // lookups; the address without a name stays an address. Each domain's
  // cache file holds only its own visitors.
  const std::string one = report("ws1", "one.example"), two = report("ws2", "two.example");
  for (const char* shown : {"host-one.example.de", "Germany", "192.0.2.3"}) EXPECT_THAT(one, HasSubstr(shown));
  for (const char* shown : {"host-two.example.com", "four.example.fr", "France"}) EXPECT_THAT(two, HasSubstr(shown));
  EXPECT_THAT(two, Not(HasSubstr("host-one.example.de")));

  // The next night the miss is not asked again; the names are.
  addDomain("ws1", "one.example", {"192.0.2.3", "192.0.2.1"}, 2);
  ASSERT_EQ(inst_.runExecutor({"--calculate-all"}).exitCode, 0) << inst_.dailyLog();
  EXPECT_EQ(resolver.questions("192.0.2.3"), 1);
  EXPECT_EQ(resolver.questions("192.0.2.1"), 2);
  EXPECT_THAT(endEntry(), HasSubstr("Address lookups: 1 made (1 with a name, 0 without, 0 given up), 1 known to have "
                                    "no name"));
}

TEST(AddressNames, AMissIsRememberedForADayOnly) {
  StandInResolver resolver({{"192.0.2.7", {""}}, {"192.0.2.8", {"named.example.org"}}});
  TempDir dir;
  const std::string file = dir.path() + "/no-names";
  AddressLookupSettings settings;
  settings.limits.servers = resolver.server();
  const std::time_t night = 1800000000;
  const std::vector<std::string> addresses{"192.0.2.7", "192.0.2.8"};
  const struct {
    std::time_t at;
    int asked;  // questions for the miss so far
    size_t remembered;
  } nights[] = {{night, 1, 0}, {night + 23 * 3600, 1, 1}, {night + 25 * 3600, 2, 0}};
  for (const auto& n : nights) {
    const AddressNames names = lookUpAddressNames(addresses, file, settings, n.at);
    EXPECT_EQ(resolver.questions("192.0.2.7"), n.asked) << n.at - night;
    EXPECT_EQ(names.counts.remembered, n.remembered) << n.at - night;
    EXPECT_EQ(names.names.at("192.0.2.8"), "named.example.org");
  }
}

TEST_F(WebalizerLookups, BoundsAndTheSwitchKeepTheNightFromWaitingOnTheResolver) {
  struct Case {
    const char* name;
    uint32_t enabled, perLookup, perRun;
    int delayMs;  // of every answer; < 0: none comes
    const char* end;
    double mostSeconds;  // of the lookups, as the end entry says
  };
  const Case cases[] = {
      {"never answered, per lookup", 1, 1, 60, -1, "1000 made (0 with a name, 0 without, 1000 given up)", 3},
      {"never answered, per run", 1, 30, 1, -1, "1000 made (0 with a name, 0 without, 1000 given up)", 3},
      {"slow, within the bound", 1, 2, 60, 500, "1000 made (1000 with a name, 0 without, 0 given up)", 3},
      {"off", 0, 2, 60, 0, "address lookups off", 0},
  };
  std::vector<std::string> addresses;
  // As many as go out in a burst, which must not lose an answer.
  for (int i = 0; i < 1000; ++i) addresses.push_back(formatString("198.51.%d.%d", 100 + i / 250, i % 250 + 1));
  int number = 3;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string webspace = formatString("ws%d", number), domain = formatString("site%d.example", number++);
    StandInResolver resolver({}, {"visitor.example.net", c.delayMs});
    inst_.setRegistryString("AddressLookupServers", resolver.server());
    inst_.setRegistryDword("AddressLookups", c.enabled);
    inst_.setRegistryDword("AddressLookupTimeout", c.perLookup);
    inst_.setRegistryDword("AddressLookupRunTimeout", c.perRun);
    addDomain(webspace, domain, addresses, 1);
    ASSERT_EQ(inst_.runExecutor({"--calculate-all"}).exitCode, 0) << inst_.dailyLog();
    EXPECT_THAT(endEntry(), HasSubstr(c.end));
    if (c.enabled) {
      EXPECT_TRUE(lookupSeconds() >= 0 && lookupSeconds() <= c.mostSeconds) << endEntry();
    } else {
      EXPECT_EQ(resolver.questions(), 0);
    }
    EXPECT_EQ(report(webspace, domain).find("visitor.example.net") != std::string::npos,
              c.delayMs >= 0 && c.enabled)
        << "names in the report";
  }
}

} // namespace
