// The domain's copy of AWStats in its statistics directory: made whole when
// missing, replaced when stale, rolled back when the copy fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "awstats/log_for_awstats.h"
#include "support/errors.h"
#include "tests/common/test_env.h"
#include "tests/common/test_installation.h"
#include "awstats/awstats_run.h"

namespace fs = std::filesystem;
using testenv::TempDir;

namespace {

// The real layout from Debian's package, once for the whole test program.
const std::string& realInstallation() {
  static std::unique_ptr<TempDir> dir;
  static std::string root;
  if (!dir) {
    dir = std::make_unique<TempDir>();
    root = *dir / "AWStats";
    const std::string command = testenv::sourceDir() + "/scripts/setup-awstats '" + root + "' >/dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("setup-awstats failed");
  }
  return root;
}

// A small installation of the same shape, for cases that change it.
std::string smallInstallation(const TempDir& dir, const std::string& version) {
  const std::string root = dir / "install";
  for (const char* sub : {"classes", "css", "icon/os", "js"}) fs::create_directories(root + "/wwwroot/" + sub);
  testenv::writeFile(root + "/wwwroot/css/awstats_default.css", "body{}");
  testenv::writeFile(root + "/wwwroot/icon/os/linux.png", "png");
  testenv::writeFile(root + "/wwwroot/js/a.js", "js");
  testenv::writeFile(root + "/wwwroot/cgi-bin/awstats.pl", "#!/usr/bin/perl\n");
  testenv::writeFile(root + "/wwwroot/cgi-bin/awredir.pl", "#!/usr/bin/perl\n");
  if (!version.empty()) testenv::writeFile(root + "/version", version);
  return root;
}

struct Domain {
  TempDir dir;
  WebStatConfig config;
  LogSource source;
  std::string statistics;
  std::string output;
  explicit Domain(const std::string& name = "site-one.example") {
    config.domainName = name;
    config.webspaceName = "ws1";
    config.configDir = dir / "logs";
    source.path = config.configDir + "/web_1.log";
    statistics = dir / "statistics";
    output = statistics + "/webstat";
    fs::create_directories(output);
  }
  LogForAWStats engine() { return LogForAWStats(source, config, statistics); }
  std::string copy(const std::string& relative) const { return output + "/AWStats/" + relative; }
  // A file that only an untouched copy still holds.
  void mark() { testenv::writeFile(copy("marker"), "old"); }
  bool marked() const { return fs::exists(copy("marker")); }
};

std::string workingConfig(const std::string& root, const Domain& domain) {
  const std::string path = root + "/wwwroot/cgi-bin/awstats." + domain.config.domainName + ".conf";
  testenv::writeFile(path, "SiteDomain=\"" + domain.config.domainName + "\"\r\n");
  return path;
}

const char* const kCopyItems[] = {"classes",         "css",
                                  "icon",            "js",
                                  "cgi-bin",         "cgi-bin/awredir.pl",
                                  "cgi-bin/awstats.pl", "cgi-bin/awstats.site-one.example.conf",
                                  "version"};

} // namespace

TEST(AWStatsInstall, AbsentCopyIsMadeWholeFromTheRealLayout) {
  const std::string& root = realInstallation();
  Domain domain;
  const std::string conf = workingConfig(root, domain);

  const std::string result = domain.engine().checkAWStats(root, "awstats.site-one.example.conf");
  EXPECT_EQ(result, domain.output + "/AWStats/cgi-bin/awstats.site-one.example.conf");

  for (const char* item : kCopyItems) EXPECT_TRUE(fs::exists(domain.copy(item))) << item;
  EXPECT_FALSE(fs::exists(domain.output + "/CopyAWStats.lock"));
  EXPECT_EQ(testenv::readFile(domain.copy("version")), testenv::readFile(root + "/version"));
  EXPECT_EQ(testenv::readFile(result), testenv::readFile(conf));
  EXPECT_EQ(testenv::readFile(domain.copy("cgi-bin/awstats.pl")), testenv::readFile(root + "/wwwroot/cgi-bin/awstats.pl"));
  size_t icons = 0, copiedIcons = 0;
  for (auto& e : fs::recursive_directory_iterator(root + "/wwwroot/icon")) icons += e.is_regular_file();
  for (auto& e : fs::recursive_directory_iterator(domain.copy("icon"))) copiedIcons += e.is_regular_file();
  EXPECT_GT(icons, 100u);
  EXPECT_EQ(copiedIcons, icons);
  fs::remove(conf);
}

TEST(AWStatsInstall, StaleCopiesAreReplacedAndCurrentOnesKept) {
  struct Case {
    const char* what;
    std::string installationVersion;  // "" = no version file
    std::string domainVersion;        // "" = no version file in the copy
    bool lockLeft;
    bool cgiBinIsLink;
    bool replaced;
  } cases[] = {
      {"current copy", "7.8", "7.8", false, false, false},
      {"newer copy", "7.8", "7.10", false, false, false},
      {"older copy", "7.8", "7.7", false, false, true},
      {"copy without version file", "7.8", "", false, false, true},
      {"lock file left behind", "7.8", "7.8", true, false, true},
      {"cgi-bin as a symbolic link", "7.8", "7.8", false, true, true},
      {"installation without version, older copy", "", "7.7", false, false, false},
      {"installation without version, lock left", "", "7.7", true, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Domain domain;
    TempDir installDir;
    const std::string root = smallInstallation(installDir, c.installationVersion.empty() ? "7.8" : c.installationVersion);
    workingConfig(root, domain);
    LogForAWStats engine = domain.engine();
    engine.checkAWStats(root, "awstats.site-one.example.conf");
    ASSERT_TRUE(fs::exists(domain.copy("cgi-bin/awstats.pl")));
    if (c.installationVersion.empty()) fs::remove(root + "/version");

    domain.mark();
    if (c.domainVersion.empty()) {
      fs::remove(domain.copy("version"));
    } else {
      testenv::writeFile(domain.copy("version"), c.domainVersion);
    }
    if (c.lockLeft) testenv::writeFile(domain.output + "/CopyAWStats.lock", "");
    const std::string linkTarget = domain.dir / "elsewhere";
    if (c.cgiBinIsLink) {
      // A complete cgi-bin, only reached through a link.
      fs::rename(domain.copy("cgi-bin"), linkTarget);
      testenv::writeFile(linkTarget + "/keep.txt", "keep");
      fs::create_directory_symlink(linkTarget, domain.copy("cgi-bin"));
    }

    if (c.installationVersion.empty() && c.replaced) {
      // Without an installation version file the copy's last row cannot be made.
      EXPECT_THROW(engine.checkAWStats(root, "awstats.site-one.example.conf"), vexception);
      EXPECT_FALSE(fs::exists(domain.copy("")));
      EXPECT_FALSE(fs::exists(domain.output + "/CopyAWStats.lock"));
      continue;
    }
    engine.checkAWStats(root, "awstats.site-one.example.conf");
    EXPECT_EQ(domain.marked(), !c.replaced);
    EXPECT_FALSE(fs::exists(domain.output + "/CopyAWStats.lock"));
    if (c.replaced) {
      EXPECT_EQ(testenv::readFile(domain.copy("version")), "7.8");
      EXPECT_FALSE(fs::is_symlink(domain.copy("cgi-bin")));
      for (const char* item : kCopyItems) EXPECT_TRUE(fs::exists(domain.copy(item))) << item;
    }
    if (c.cgiBinIsLink) {
      EXPECT_EQ(testenv::readFile(linkTarget + "/keep.txt"), "keep");
      EXPECT_TRUE(fs::exists(linkTarget + "/awstats.pl"));
    }
  }
}

TEST(AWStatsInstall, FailingCopyIsRolledBack) {
  Domain domain;
  TempDir installDir;
  const std::string root = smallInstallation(installDir, "7.8");
  // No working configuration in the installation: the eighth row fails.
  try {
    domain.engine().checkAWStats(root, "awstats.site-one.example.conf");
    FAIL() << "copy succeeded";
  } catch (const vexception& e) {
    const std::string message = e.fullMessage();
    EXPECT_NE(message.find("awstats.site-one.example.conf"), std::string::npos) << message;
    EXPECT_NE(message.find("Unable to copy AWStats (webspace: ws1, domain: site-one.example):"
                           "(LogForAWStats::copyAWStats line 433)"),
              std::string::npos)
        << message;
    EXPECT_NE(message.find("(LogForAWStats::copyAWStats line 448)"), std::string::npos) << message;
    EXPECT_EQ(message.find("Rollback failed"), std::string::npos) << message;
  }
  EXPECT_FALSE(fs::exists(domain.output + "/AWStats"));
  EXPECT_FALSE(fs::exists(domain.output + "/CopyAWStats.lock"));

  // An "AWStats" folder in the way of a direct copy fails its creation; the
  // rollback removes it.
  fs::create_directories(domain.output + "/AWStats");
  workingConfig(root, domain);
  try {
    domain.engine().copyAWStats(root, domain.output, "awstats.site-one.example.conf");
    FAIL() << "copy succeeded";
  } catch (const vexception& e) {
    EXPECT_NE(e.fullMessage().find("CreateDirectory(" + domain.output + "/AWStats)"), std::string::npos)
        << e.fullMessage();
    EXPECT_NE(e.fullMessage().find("(makeDir line 43)"), std::string::npos) << e.fullMessage();
  }
  EXPECT_FALSE(fs::exists(domain.output + "/AWStats"));
}

TEST(AWStatsInstall, CopyLockIsCreatedOnceAndTreesCopyAsAsked) {
  TempDir dir;
  createCopyLock(dir.path());
  EXPECT_TRUE(fs::exists(dir / "CopyAWStats.lock"));
  EXPECT_EQ(fs::file_size(dir / "CopyAWStats.lock"), 0u);
  EXPECT_THROW(createCopyLock(dir.path()), vexception);

  testenv::writeFile(dir / "src/a.txt", "a");
  testenv::writeFile(dir / "src/sub/deeper/b.txt", "b");
  copyDirectoryTree(dir / "src", dir / "dirs-only", false);
  EXPECT_TRUE(fs::is_directory(dir / "dirs-only/sub/deeper"));
  EXPECT_FALSE(fs::exists(dir / "dirs-only/a.txt"));

  copyDirectoryTree(dir / "src", dir / "full", true);
  EXPECT_EQ(testenv::readFile(dir / "full/sub/deeper/b.txt"), "b");
  EXPECT_THROW(copyDirectoryTree(dir / "src", dir / "full", true), vexception) << "an existing file fails the copy";

  copyDirectoryTree(dir / "missing", dir / "empty", true);
  EXPECT_TRUE(fs::is_directory(dir / "empty"));
}

TEST(AWStatsInstall, CleanUpRemovesExactlyTheConfigurationsOfDomainsNoLongerOnAWStats) {
  testenv::TestInstallation inst;
  const std::string cgiBin = inst.productRoot() + "/awstats/wwwroot/cgi-bin";
  const char* const names[] = {"awstats.model.conf", "awstats.conf",     "AWSTATS.CONF",       "awstats.kept.example.conf",
                               "awstats.KEPT2.example.conf", "awstats.gone.example.conf", "notes.txt"};
  for (const char* name : names) testenv::writeFile(cgiBin + "/" + name, "x");
  fs::create_directories(cgiBin + "/awstats.dir.conf");

  WebStatConfig kept, kept2;
  kept.domainName = "kept.example";
  kept2.domainName = "kept2.example";
  cleanAWstats({kept, kept2});
  for (const char* name : {"awstats.model.conf", "awstats.conf", "AWSTATS.CONF", "awstats.kept.example.conf",
                           "awstats.KEPT2.example.conf", "notes.txt", "awstats.dir.conf"})
    EXPECT_TRUE(fs::exists(cgiBin + "/" + name)) << name;
  EXPECT_FALSE(fs::exists(cgiBin + "/awstats.gone.example.conf"));

  cleanAWstats({});
  EXPECT_FALSE(fs::exists(cgiBin + "/awstats.kept.example.conf"));
  EXPECT_FALSE(fs::exists(cgiBin + "/awstats.KEPT2.example.conf"));
  EXPECT_TRUE(fs::exists(cgiBin + "/awstats.model.conf"));
  EXPECT_TRUE(fs::exists(cgiBin + "/AWSTATS.CONF"));

  // No AWStats component: nothing is touched, nothing raised.
  testenv::writeFile(cgiBin + "/awstats.other.example.conf", "x");
  inst.setComponent("awstats", "");
  EXPECT_NO_THROW(cleanAWstats({}));
  EXPECT_TRUE(fs::exists(cgiBin + "/awstats.other.example.conf"));

  // A service that cannot answer is logged, never raised.
  inst.stopService();
  EXPECT_NO_THROW(cleanAWstats({}));
  EXPECT_TRUE(fs::exists(cgiBin + "/awstats.other.example.conf"));
}
