// The domain's copy of AWStats in its statistics directory: made whole when
// missing, replaced when stale, rolled back when the copy fails.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "awstats/awstats_run.h"
#include "awstats/log_for_awstats.h"
#include "support/errors.h"
#include "tests/common/test_env.h"
#include "tests/common/test_installation.h"

namespace fs = std::filesystem;
using namespace testenv;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// The real layout from Debian's package, once for the whole test program.
const std::string& realInstallation() {
  static TempDir dir;
  static const std::string root = [] {
    setUpEngine("awstats", dir / "AWStats");
    return dir / "AWStats";
  }();
  return root;
}

// A small installation of the same shape, for cases that change it.
std::string smallInstallation(const TempDir& dir, const std::string& version) {
  const std::string root = dir / "install";
  fs::create_directories(root + "/wwwroot/classes");
  for (const char* file : {"css/awstats_default.css", "icon/os/linux.png", "js/a.js", "cgi-bin/awstats.pl",
                           "cgi-bin/awredir.pl"})
    writeFile(root + "/wwwroot/" + file, file);
  if (!version.empty()) writeFile(root + "/version", version);
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
  void mark() { writeFile(copy("marker"), "old"); }
  bool marked() const { return fs::exists(copy("marker")); }
};

std::string workingConfig(const std::string& root, const Domain& domain) {
  const std::string path = root + "/wwwroot/cgi-bin/awstats." + domain.config.domainName + ".conf";
  writeFile(path, "SiteDomain=\"" + domain.config.domainName + "\"\r\n");
  return path;
}

const char* const kCopyItems[] = {"classes", "css", "icon", "js", "cgi-bin", "cgi-bin/awredir.pl", "cgi-bin/awstats.pl",
                                  "cgi-bin/awstats.site-one.example.conf", "version"};

} // namespace

TEST(AWStatsInstall, AbsentCopyIsMadeWholeFromTheRealLayout) {
  const std::string& root = realInstallation();
  Domain domain;
  const std::string conf = workingConfig(root, domain);

  const std::string result = domain.engine().checkAWStats(root, "awstats.site-one.example.conf");
  EXPECT_EQ(result, domain.output + "/AWStats/cgi-bin/awstats.site-one.example.conf");

  for (const char* item : kCopyItems) EXPECT_TRUE(fs::exists(domain.copy(item))) << item;
  EXPECT_FALSE(fs::exists(domain.output + "/CopyAWStats.lock"));
  EXPECT_EQ(readFile(domain.copy("version")), readFile(root + "/version"));
  EXPECT_EQ(readFile(result), readFile(conf));
  EXPECT_EQ(readFile(domain.copy("cgi-bin/awstats.pl")), readFile(root + "/wwwroot/cgi-bin/awstats.pl"));
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
      writeFile(domain.copy("version"), c.domainVersion);
    }
    if (c.lockLeft) writeFile(domain.output + "/CopyAWStats.lock", "");
    const std::string linkTarget = domain.dir / "elsewhere";
    if (c.cgiBinIsLink) {
      // A complete cgi-bin, only reached through a link.
      fs::rename(domain.copy("cgi-bin"), linkTarget);
      writeFile(linkTarget + "/keep.txt", "keep");
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
      EXPECT_EQ(readFile(domain.copy("version")), "7.8");
      EXPECT_FALSE(fs::is_symlink(domain.copy("cgi-bin")));
      for (const char* item : kCopyItems) EXPECT_TRUE(fs::exists(domain.copy(item))) << item;
    }
    if (c.cgiBinIsLink) {
      EXPECT_EQ(readFile(linkTarget + "/keep.txt"), "keep");
      EXPECT_TRUE(fs::exists(linkTarget + "/awstats.pl"));
    }
  }
}

TEST(AWStatsInstall, FailingCopyIsRolledBack) {
  Domain domain;
  TempDir installDir;
  const std::string root = smallInstallation(installDir, "7.8");
  // No working configuration in the installation: the eighth row fails.
  const std::string message = failureOf([&] { domain.engine().checkAWStats(root, "awstats.site-one.example.conf"); });
  EXPECT_THAT(message, HasSubstr("awstats.site-one.example.conf"));
  EXPECT_THAT(message, HasSubstr("Unable to copy AWStats (webspace: ws1, domain: site-one.example):"
                                 "(LogForAWStats::copyAWStats line 433)"));
  EXPECT_THAT(message, HasSubstr("(LogForAWStats::copyAWStats line 448)"));
  EXPECT_THAT(message, Not(HasSubstr("Rollback failed")));
  EXPECT_FALSE(fs::exists(domain.output + "/AWStats"));
  EXPECT_FALSE(fs::exists(domain.output + "/CopyAWStats.lock"));

  // An "AWStats" folder in the way of a direct copy fails its creation; the
  // rollback removes it.
  fs::create_directories(domain.output + "/AWStats");
  workingConfig(root, domain);
  const std::string direct =
      failureOf([&] { domain.engine().copyAWStats(root, domain.output, "awstats.site-one.example.conf"); });
  EXPECT_THAT(direct, HasSubstr("CreateDirectory(" + domain.output + "/AWStats)"));
  EXPECT_THAT(direct, HasSubstr("(makeDir line 43)"));
  EXPECT_FALSE(fs::exists(domain.output + "/AWStats"));
}

TEST(AWStatsInstall, CopyLockIsCreatedOnceAndAMissingTreeCopiesAsEmpty) {
  TempDir dir;
  createCopyLock(dir.path());
  EXPECT_EQ(fs::file_size(dir / "CopyAWStats.lock"), 0u);
  EXPECT_THROW(createCopyLock(dir.path()), vexception);
  copyDirectoryTree(dir / "missing", dir / "empty", true);
  EXPECT_TRUE(fs::is_empty(dir / "empty"));
}

TEST(AWStatsInstall, CleanUpRemovesExactlyTheConfigurationsOfDomainsNoLongerOnAWStats) {
  testenv::TestInstallation inst;
  const std::string cgiBin = inst.productRoot() + "/awstats/wwwroot/cgi-bin";
  const char* const names[] = {"awstats.model.conf", "awstats.conf",     "AWSTATS.CONF",       "awstats.kept.example.conf",
                               "awstats.KEPT2.example.conf", "awstats.gone.example.conf", "notes.txt"};
  for (const char* name : names) writeFile(cgiBin + "/" + name, "x");
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
  writeFile(cgiBin + "/awstats.other.example.conf", "x");
  inst.setComponent("awstats", "");
  EXPECT_NO_THROW(cleanAWstats({}));
  EXPECT_TRUE(fs::exists(cgiBin + "/awstats.other.example.conf"));

  // A service that cannot answer is logged, never raised.
  inst.stopService();
  EXPECT_NO_THROW(cleanAWstats({}));
  EXPECT_TRUE(fs::exists(cgiBin + "/awstats.other.example.conf"));
}
