// The installation settings as the program asks for them, answered by the
// real stand-in service of a test installation.
#include <gtest/gtest.h>

#include "config/settings.h"
#include "service/tarvo_srv_client.h"
#include "tests/common/test_installation.h"

namespace {

using testenv::TestInstallation;

TEST(Settings, NormalizePathUsesNativeSeparatorsAndResolvesDots) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"C:/vhosts/./a/../b/", "C:/vhosts/b/"},
      {"C:\\Inetpub\\vhosts\\", "C:/Inetpub/vhosts/"},
      {"/var//www/./vhosts", "/var/www/vhosts"},
      {"a/../../b", "../b"},
      {"/a/b/../../..", "/.."},
      {"\\\\?\\C:\\long\\path", "C:/long/path"},
      {"/", "/"},
      {"", ""},
      {".", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(normalizePath(c.in), c.out) << "input: " << c.in;
}

TEST(Settings, AnswersBecomePathsWithoutTrailingSeparators) {
  TestInstallation inst;
  const struct {
    const char* answer;
    const char* path;
  } cases[] = {
      {"C:\\Inetpub\\vhosts\\", "C:/Inetpub/vhosts"},
      {"/var/www/./old/../vhosts/", "/var/www/vhosts"},
      {"\\\\\\", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    // Asked again at every use: each new answer shows at once.
    inst.setSetting("HTTPD_VHOSTS_D", c.answer);
    EXPECT_EQ(getVhostsDir(), c.path) << "answer: " << c.answer;
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
