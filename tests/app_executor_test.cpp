// The program as a scheduler starts it, in a temporary installation with the management
// service: what the daily log and the exit code then say.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <regex>

#include "support/named_mutex.h"
#include "tests/common/test_installation.h"

namespace {

namespace fs = std::filesystem;
using testenv::TestInstallation;
using testenv::writeFile;

const std::string kProgram = testenv::buildDir() + "/web_statistics_executor";

// The daily log's entries as "Level: text", without time, process and thread;
// with a level given, the texts of that level's entries.
std::vector<std::string> entries(const TestInstallation& inst, const std::string& level = "") {
  static const std::regex stamp(R"(^\S+ \S+ \S+ \S+ )");
  std::vector<std::string> out;
  for (const std::string& line : inst.dailyLogEntries()) {
    const std::string e = std::regex_replace(line, stamp, "", std::regex_constants::format_first_only);
    if (e.starts_with(level)) out.push_back(e.substr(level.size()));
  }
  return out;
}

std::string conf(const std::string& domain, const std::string& webspace, const std::string& type) {
  return "<config><domain name=\"" + domain + "\" webspaceName=\"" + webspace + "\"><webstat type=\"" + type +
         "\"/></domain></config>";
}

// A configuration in a webspace's log directory (sub: a path below it); its path.
std::string putConfig(const TestInstallation& inst, const std::string& webspace, const std::string& sub,
                      const std::string& content, const std::string& fileName = "web_stat_executor.conf") {
  const std::string dir = inst.vhostsDir() + "/" + webspace + "/logs/iis" + (sub.empty() ? "" : "/" + sub);
  fs::create_directories(dir);
  writeFile(dir + "/" + fileName, content);
  return dir + "/" + fileName;
}

// An empty web log beside a Webalizer configuration: the run removes it without an engine.
fs::path emptyLogOf(const TestInstallation& inst, const std::string& webspace, const std::string& sub,
                    const std::string& domain) {
  const fs::path log = fs::path(putConfig(inst, webspace, sub, conf(domain, webspace, "webalizer"))).parent_path() /
                       "web_access.log";
  writeFile(log, "");
  return log;
}

// Each run starts with an empty daily log.
void clearLogs(const TestInstallation& inst) {
  for (const auto& file : fs::directory_iterator(inst.logsDir())) fs::remove_all(file.path());
}

TEST(Executor, CommandLinesAndTheirOutcome) {
  TestInstallation inst;
  putConfig(inst, "ws1", "", conf("site-one", "ws1", "none"));
  const std::string usage = "Possible parameters:\n    --webspace-name\n    --domain-name";
  const struct {
    std::vector<std::string> args;
    std::string error;  // the beginning of the one Error entry (exit code 1); "" for none (exit code 0)
  } cases[] = {
      {{}, ""},
      {{"--calculate-domain", "--internal-package-name=x", "--webspace-name=ws1", "--domain-name=site-one"}, ""},
      {{"--calculate-domain", "--webspace-name=ws1"}, "Missing required parameter --domain-name. " + usage},
      {{"--calculate-domain", "--webspace-name=ws1", "--domain-name=site-one", "--db-password=s3cret word"},
       "Unexpected parameter --db-password. " + usage},
      {{"--CALCULATE-ALL"},
       "command --CALCULATE-ALL not supported. Possible commands:\n   --calculate-all\n   --calculate-domain"},
      // Of two equal names the later wins, and a further "=" belongs to the value.
      {{"--calculate-domain", "--webspace-name=nope", "--webspace-name=ws1=x", "--domain-name="},
       "Directory '" + inst.vhostsDir() + "/ws1=x/logs/iis' does not exist"},
      {{"--calculate-domain", "--webspace-name=../vhosts/ws1", "--domain-name="},
       "Invalid webspace name '../vhosts/ws1' on the command line"},
  };
  for (const auto& c : cases) {
    clearLogs(inst);
    const auto run = inst.runExecutor(c.args);
    const std::string exitCode = c.error.empty() ? "0" : "1";
    // The command line as the log shows it: values quoted, passwords hidden.
    std::string shown = kProgram;
    for (std::string a : c.args) {
      if (a.starts_with("--db-password=")) a = "--db-password=*";
      shown += a.find('=') == std::string::npos ? " " + a : " \"" + a + "\"";
    }
    SCOPED_TRACE(shown);
    EXPECT_EQ(std::to_string(run.exitCode), exitCode) << run.out << run.err;
    const std::vector<std::string> log = entries(inst);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.front(), "Info: start " + shown);
    EXPECT_EQ(log.back(), "Info: end " + shown + " with code " + exitCode);
    EXPECT_EQ((inst.dailyLog() + run.out + run.err).find("s3cret"), std::string::npos);
    const std::vector<std::string> errors = entries(inst, "Error: ");
    ASSERT_EQ(errors.size(), c.error.empty() ? 0u : 1u) << inst.dailyLog();
    if (c.error.empty()) continue;
    EXPECT_TRUE(errors[0].starts_with(c.error)) << errors[0];
    EXPECT_NE(run.out.find(c.error), std::string::npos) << run.out;  // what the operator sees on the console
  }
}

// Schedulers and shells may start the program with SIGCHLD ignored (the kernel then reaps
// children unasked) or with a console whose reader has gone: a failing engine is still seen
// failing, and its log kept.
TEST(Executor, ChildrenAndTheConsoleDoNotDependOnHowTheRunWasStarted) {
  TestInstallation inst;
  const std::string logs = fs::path(putConfig(inst, "ws1", "", conf("one.example", "ws1", "webalizer"))).parent_path();
  const std::string webalizer = inst.root() + "/failing/bin/webalizer";
  testenv::writeScript(webalizer, "#!/bin/sh\necho 'no valid records'\nexit 3\n");
  inst.setSetting("WebalizerPath", webalizer);
  const std::string failed = "Webalizer ended with exit code 3; the log file " + logs + "/web_1.log is kept";
  const std::pair<std::string, std::vector<std::string>> starts[] = {
      {"/usr/bin/env", {"--ignore-signal=CHLD", kProgram, "--calculate-all"}},
      {"/usr/bin/perl", {"-e", "pipe(R, W); close R; open(STDOUT, '>&W'); exec @ARGV", kProgram, "--calculate-all"}},
  };
  for (const auto& [program, args] : starts) {
    SCOPED_TRACE(args[0]);
    clearLogs(inst);
    writeFile(logs + "/web_1.log", "20240301080000 10.0.0.1 - - [01/Mar/2024:08:00:00 +0000] \"GET / HTTP/1.1\" 200 "
                                   "100 \"-\" \"Mozilla/5.0\"\r\n");
    const auto run = inst.run(program, args);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err << inst.dailyLog();
    const std::vector<std::string> errors = entries(inst, "Error: ");
    ASSERT_EQ(errors.size(), 1u) << inst.dailyLog();
    EXPECT_TRUE(errors[0].starts_with(failed)) << errors[0];
    EXPECT_TRUE(fs::exists(logs + "/web_1.log"));
    if (program == "/usr/bin/perl") continue;  // the closed console
    EXPECT_NE(run.out.find("\n" + failed), std::string::npos) << run.out;
  }
}

TEST(Executor, CalculateDomainTakesOnlyTheNamedDomainOfTheNamedWebspace) {
  TestInstallation inst;
  const fs::path named = emptyLogOf(inst, "ws1", "", "site-one");
  const fs::path otherDomain = emptyLogOf(inst, "ws1", "two", "site-two");
  const fs::path otherWebspace = emptyLogOf(inst, "ws2", "", "site-one");
  EXPECT_EQ(inst.runExecutor({"--calculate-domain", "--webspace-name=ws1", "--domain-name=SITE-One"}).exitCode, 0);
  EXPECT_FALSE(fs::exists(named)) << inst.dailyLog();
  EXPECT_TRUE(fs::exists(otherDomain));
  EXPECT_TRUE(fs::exists(otherWebspace));
}

// Configurations are looked for in each webspace's log directory and two
// levels below it; invalid ones are skipped with an Error entry, and the exit
// code stays 0.
TEST(Executor, FindsConfigurationsTwoLevelsDownAndSkipsInvalidOnes) {
  TestInstallation inst;
  const std::string invalid = "<config/>";
  const std::vector<std::string> found = {
      putConfig(inst, "ws1", "", invalid),
      putConfig(inst, "ws1", "a", invalid, "Web_Stat_Executor.CONF"),  // the name is matched ignoring case
      putConfig(inst, "ws1", "a/b", invalid),
      putConfig(inst, "ws3", "nowebstat", "<config><domain name=\"d\" webspaceName=\"ws3\"/></config>"),
  };
  putConfig(inst, "ws1", "a/b/c", invalid);  // too deep
  putConfig(inst, "ws1", "a", invalid, "web_stat_executor.conf.bak");
  fs::create_directories(inst.vhostsDir() + "/ws2/httpdocs");  // no logs/iis
  writeFile(inst.vhostsDir() + "/not_a_webspace.txt", "x");
  putConfig(inst, "ws3", "", conf("fine", "ws3", "none"));

  EXPECT_EQ(inst.runExecutor({"--calculate-all"}).exitCode, 0);
  std::vector<std::string> errors = entries(inst, "Error: "), expected;
  for (const std::string& path : found) expected.push_back("Invalid config file '" + path + "'. Skipped");
  std::sort(errors.begin(), errors.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(errors, expected) << inst.dailyLog();
}

TEST(Executor, FailingConfigurationsAreJoinedInProcessingOrderAndTheRunGoesOn) {
  TestInstallation inst;
  const std::string malformed = putConfig(inst, "ws1", "", "<config><domain name=\"a\"></config>");
  putConfig(inst, "ws1", "", conf("fine-one", "ws1", "none"), "WEB_STAT_EXECUTOR.conf");
  const std::string escaping = putConfig(inst, "ws1", "sub/deeper", conf("..", "ws1", "webalizer"));
  const std::string escapingWebspace = putConfig(inst, "ws1", "sub/other", conf("site", "../..", "awstats"));

  EXPECT_EQ(inst.runExecutor({"--calculate-domain", "--webspace-name=ws1", "--domain-name="}).exitCode, 1);
  const std::vector<std::string> errors = entries(inst, "Error: ");
  ASSERT_EQ(errors.size(), 1u) << inst.dailyLog();
  const std::string& message = errors[0];
  // Each failure with its configuration's place, in processing order (sibling
  // subdirectories in the file system's).
  const std::string calculate = "(WebStatisticsExecutor::calculate line 82)";
  const size_t first = message.find(" at load " + malformed + "\n   at (vxmlLoad line 38)\n   at Calculate web "
                                    "statistics by config '" + malformed + "'" + calculate);
  const size_t second = message.find("Invalid domain name '..' in the config file '" + escaping + "'");
  const size_t third = message.find("Invalid webspace name '../..' in the config file '" + escapingWebspace + "'");
  for (const size_t at : {first, second, third}) EXPECT_NE(at, std::string::npos) << message;
  EXPECT_LT(first, std::min(second, third));
  // Nothing was made where the refused names point.
  EXPECT_FALSE(fs::exists(inst.vhostsDir() + "/ws1/.tarvo"));
  EXPECT_FALSE(fs::exists(inst.root() + "/.tarvo"));
}

TEST(Executor, ASecondRunWaitsForTheRunLockAndThenCompletes) {
  TestInstallation inst;
  const fs::path log = emptyLogOf(inst, "ws1", "", "one.example");
  VMutex held("web_statistics_executor_run");  // the installation's own: nothing else holds it
  ASSERT_TRUE(held.tryLock());

  auto second = std::async(std::launch::async, [&] { return inst.runExecutor({"--calculate-all"}); });
  const std::string waiting = "Info: Another statistics run holds 'web_statistics_executor_run'; waiting for it to end";
  EXPECT_TRUE(testenv::waitUntil([&] {
    const auto all = entries(inst);
    return std::find(all.begin(), all.end(), waiting) != all.end();
  })) << "no waiting entry within 30 s:\n" << inst.dailyLog();
  // Held for a while longer: the second run must not have touched the log.
  EXPECT_EQ(second.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout)
      << "the second run must wait while the lock is held";
  EXPECT_TRUE(fs::exists(log)) << "the second run processed the log while the first held the lock";
  held.unlock();
  ASSERT_EQ(second.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "no end within 60 s of the unlock";
  EXPECT_EQ(second.get().exitCode, 0) << inst.dailyLog();
  EXPECT_FALSE(fs::exists(log));
}

} // namespace
