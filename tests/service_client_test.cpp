// The management-service client against the real stand-in service.
#include <gtest/gtest.h>

#include "config/settings.h"
#include "service/tarvo_srv_client.h"
#include "tests/common/test_installation.h"

namespace {

using testenv::TestInstallation;

TEST(ServiceClient, AnswersEverySettingAndTheComponentDirectory) {
  TestInstallation inst;
  inst.setSetting("WebalizerPath", "C:\\Program Files\\webalizer\\webalizer.exe");
  inst.setComponent("awstats", "/opt/awstats/");
  TarvoSrvClient client;
  EXPECT_EQ(client.getString("HTTPD_VHOSTS_D"), inst.vhostsDir());
  EXPECT_EQ(client.getString("PRODUCT_ROOT_D"), inst.productRoot());
  EXPECT_EQ(client.getString("WebalizerPath"), "C:\\Program Files\\webalizer\\webalizer.exe");
  EXPECT_EQ(client.componentInfo("awstats", 2), "/opt/awstats/");
  EXPECT_EQ(client.componentInfo("nosuchpackage", 2), "");
}

} // namespace
