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

const std::string kConfName = "awstats.site-one.example.conf";
const char* const kCopyItems[] = {"classes",           "css",     "icon", "js", "cgi-bin", "cgi-bin/awredir.pl",
                                  "cgi-bin/awstats.pl", "cgi-bin/awstats.site-one.example.conf", "version"};

// A small installation of version 7.8, without the "classes" folder, which
// the copy then makes empty.
std::string smallInstallation(const TempDir& dir) {
  const std::string root = dir / "install";
  for (const char* file : {"css/awstats_default.css", "icon/os/linux.png", "js/a.js", "cgi-bin/awstats.pl",
                           "cgi-bin/awredir.pl"})
    writeFile(root + "/wwwroot/" + file, file);
  writeFile(root + "/version", "7.8");
  return root;
}

struct Domain {
  TempDir dir;
  WebStatConfig config;
  LogSource source;
  std::string statistics = dir / "statistics";
  std::string output = statistics + "/webstat";
  Domain() {
    config.domainName = "site-one.example";
    config.webspaceName = "ws1";
    config.configDir = dir / "logs";
    source.path = config.configDir + "/web_1.log";
    fs::create_directories(output);
  }
  LogForAWStats engine() { return LogForAWStats(source, config, statistics); }
  std::string copy(const std::string& relative) const { return output + "/AWStats/" + relative; }
  std::string lock() const { return output + "/CopyAWStats.lock"; }
};

// The working configuration the run writes into the installation before the copy.
std::string workingConfig(const std::string& root) {
  const std::string path = root + "/wwwroot/cgi-bin/" + kConfName;
  writeFile(path, "SiteDomain=\"site-one.example\"\r\n");
  return path;
}

} // namespace

TEST(AWStatsInstall, AbsentCopyIsMadeWholeFromTheRealLayout) {
  TempDir installDir;
  const std::string root = installDir / "AWStats";
  setUpEngine("awstats", root);
  Domain domain;
  const std::string conf = workingConfig(root);

  const std::string result = domain.engine().checkAWStats(root, kConfName);
  EXPECT_EQ(result, domain.copy("cgi-bin/" + kConfName));
  for (const char* item : kCopyItems) EXPECT_TRUE(fs::exists(domain.copy(item))) << item;
  EXPECT_FALSE(fs::exists(domain.lock()));
  EXPECT_EQ(readFile(domain.copy("version")), readFile(root + "/version"));
  EXPECT_EQ(readFile(result), readFile(conf));
  EXPECT_EQ(readFile(domain.copy("cgi-bin/awstats.pl")), readFile(root + "/wwwroot/cgi-bin/awstats.pl"));
  auto filesIn = [](const std::string& dir) {
    size_t n = 0;
    for (auto& e : fs::recursive_directory_iterator(dir)) n += e.is_regular_file();
    return n;
  };
  EXPECT_GT(filesIn(root + "/wwwroot/icon"), 100u);
  EXPECT_EQ(filesIn(domain.copy("icon")), filesIn(root + "/wwwroot/icon"));
}

TEST(AWStatsInstall, StaleCopiesAreReplacedAndCurrentOnesKept) {
  const struct {
    const char* what;
    bool installationVersion;  // the installation has a version file
    std::string domainVersion;  // "" = no version file in the copy
    bool lockLeft, cgiBinIsLink, replaced;
  } cases[] = {
      {"current copy", true, "7.8", false, false, false},
      {"newer copy", true, "7.10", false, false, false},
      {"older copy", true, "7.7", false, false, true},
      {"copy without version file", true, "", false, false, true},
      {"lock file left behind", true, "7.8", true, false, true},
      {"cgi-bin as a symbolic link", true, "7.8", false, true, true},
      {"installation without version, older copy", false, "7.7", false, false, false},
      {"installation without version, lock left", false, "7.7", true, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Domain domain;
    TempDir installDir;
    const std::string root = smallInstallation(installDir);
    workingConfig(root);
    LogForAWStats engine = domain.engine();
    engine.checkAWStats(root, kConfName);
    if (!c.installationVersion) fs::remove(root + "/version");

    writeFile(domain.copy("marker"), "only an untouched copy holds this");
    if (c.domainVersion.empty()) {
      fs::remove(domain.copy("version"));
    } else {
      writeFile(domain.copy("version"), c.domainVersion);
    }
    if (c.lockLeft) writeFile(domain.lock(), "");
    const std::string linkTarget = domain.dir / "elsewhere";
    if (c.cgiBinIsLink) {
      // A complete cgi-bin, only reached through a link.
      fs::rename(domain.copy("cgi-bin"), linkTarget);
      writeFile(linkTarget + "/keep.txt", "keep");
      fs::create_directory_symlink(linkTarget, domain.copy("cgi-bin"));
    }

    if (!c.installationVersion && c.replaced) {
      // Without an installation version file the copy's last row cannot be made.
      EXPECT_THROW(engine.checkAWStats(root, kConfName), vexception);
      EXPECT_FALSE(fs::exists(domain.copy("")));
      EXPECT_FALSE(fs::exists(domain.lock()));
      continue;
    }
    engine.checkAWStats(root, kConfName);
    EXPECT_EQ(fs::exists(domain.copy("marker")), !c.replaced);
    EXPECT_FALSE(fs::exists(domain.lock()));
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
  const std::string root = smallInstallation(installDir);
  // No working configuration in the installation: the eighth row fails.
  const std::string message = failureOf([&] { domain.engine().checkAWStats(root, kConfName); });
  EXPECT_THAT(message, HasSubstr(kConfName));
  EXPECT_THAT(message, HasSubstr("Unable to copy AWStats (webspace: ws1, domain: site-one.example):"
                                 "(LogForAWStats::copyAWStats line 433)"));
  EXPECT_THAT(message, HasSubstr("(LogForAWStats::copyAWStats line 448)"));
  EXPECT_THAT(message, Not(HasSubstr("Rollback failed")));
  EXPECT_FALSE(fs::exists(domain.copy("")));
  EXPECT_FALSE(fs::exists(domain.lock()));

  // An "AWStats" folder in the way of a direct copy fails its creation; the
  // rollback removes it.
  fs::create_directories(domain.copy(""));
  workingConfig(root);
  const std::string direct = failureOf([&] { domain.engine().copyAWStats(root, domain.output, kConfName); });
  EXPECT_THAT(direct, HasSubstr("CreateDirectory(" + domain.output + "/AWStats)"));
  EXPECT_THAT(direct, HasSubstr("(makeDir line 43)"));
  EXPECT_FALSE(fs::exists(domain.copy("")));
}

TEST(AWStatsInstall, CleanUpRemovesExactlyTheConfigurationsOfDomainsNoLongerOnAWStats) {
  TestInstallation inst;
  const std::string cgiBin = inst.productRoot() + "/awstats/wwwroot/cgi-bin";
  const std::vector<std::string> kept = {"AWSTATS.CONF",     "awstats.KEPT2.example.conf", "awstats.conf",
                                         "awstats.dir.conf", "awstats.kept.example.conf",  "awstats.model.conf",
                                         "notes.txt"};
  for (const std::string& name : kept) {
    if (name != "awstats.dir.conf") writeFile(cgiBin + "/" + name, "x");
  }
  fs::create_directories(cgiBin + "/awstats.dir.conf");
  writeFile(cgiBin + "/awstats.gone.example.conf", "x");

  WebStatConfig one, two;
  one.domainName = "kept.example";
  two.domainName = "kept2.example";
  cleanAWstats({one, two});
  EXPECT_EQ(namesIn(cgiBin), kept);

  cleanAWstats({});
  EXPECT_FALSE(fs::exists(cgiBin + "/awstats.kept.example.conf"));
  EXPECT_FALSE(fs::exists(cgiBin + "/awstats.KEPT2.example.conf"));
  EXPECT_TRUE(fs::exists(cgiBin + "/awstats.model.conf"));
  EXPECT_TRUE(fs::exists(cgiBin + "/AWSTATS.CONF"));

  // No AWStats component, or a service that cannot answer: nothing is touched,
  // nothing raised.
  writeFile(cgiBin + "/awstats.other.example.conf", "x");
  inst.setComponent("awstats", "");
  EXPECT_NO_THROW(cleanAWstats({}));
  EXPECT_TRUE(fs::exists(cgiBin + "/awstats.other.example.conf"));
  inst.stopService();
  EXPECT_NO_THROW(cleanAWstats({}));
  EXPECT_TRUE(fs::exists(cgiBin + "/awstats.other.example.conf"));
}
