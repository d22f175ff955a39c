// The program as a scheduler starts it: a temporary installation with the
// management service, the real executable, and what the daily log and the
// exit code then say.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/named_mutex.h"
#include "tests/common/test_env.h"
#include "tests/common/test_installation.h"

namespace {

using testenv::TestInstallation;
using testenv::writeFile;

struct Entry {
  std::string level;
  std::string text;
};

// "2026/01/02 03:04:05.678 pid tid Level: text" -> level and text.
std::vector<Entry> entries(const TestInstallation& inst) {
  std::vector<Entry> out;
  for (const std::string& line : inst.dailyLogEntries()) {
    size_t pos = 0;
    for (int field = 0; field < 4 && pos != std::string::npos; ++field) {
      pos = line.find(' ', pos);
      if (pos != std::string::npos) ++pos;
    }
    const size_t colon = pos == std::string::npos ? pos : line.find(": ", pos);
    if (colon == std::string::npos) {
      out.push_back({"?", line});
      continue;
    }
    out.push_back({line.substr(pos, colon - pos), line.substr(colon + 2)});
  }
  return out;
}

std::vector<std::string> errorsOf(const TestInstallation& inst) {
  std::vector<std::string> out;
  for (const Entry& e : entries(inst))
    if (e.level == "Error") out.push_back(e.text);
  return out;
}

std::string executable() { return testenv::buildDir() + "/web_statistics_executor"; }

std::string conf(const std::string& domain, const std::string& webspace, const std::string& type) {
  return "<config><domain name=\"" + domain + "\" webspaceName=\"" + webspace + "\"><webstat type=\"" + type +
         "\"/></domain></config>";
}

// A configuration in a webspace's log directory (sub: a path below it).
std::string putConfig(const TestInstallation& inst, const std::string& webspace, const std::string& sub,
                      const std::string& content, const std::string& fileName = "web_stat_executor.conf") {
  const std::string dir = inst.vhostsDir() + "/" + webspace + "/logs/iis" + (sub.empty() ? "" : "/" + sub);
  std::filesystem::create_directories(dir);
  writeFile(dir + "/" + fileName, content);
  return dir + "/" + fileName;
}

// Each run starts with an empty daily log.
void clearLogs(const TestInstallation& inst) {
  if (!std::filesystem::exists(inst.logsDir())) return;
  for (const auto& file : std::filesystem::directory_iterator(inst.logsDir())) std::filesystem::remove_all(file.path());
}

bool startsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

TEST(Executor, CommandLinesAndTheirOutcome) {
  TestInstallation inst;
  putConfig(inst, "ws1", "", conf("site-one", "ws1", "none"));
  const std::string usage = "Possible parameters:\n    --webspace-name\n    --domain-name";
  const std::string commands = "Possible commands:\n   --calculate-all\n   --calculate-domain";
  const struct {
    std::vector<std::string> args;
    int exitCode;
    std::string error;  // the beginning of the one Error entry; "" for none
  } cases[] = {
      {{}, 0, ""},
      {{"--calculate-all", "--anything=1", "extra"}, 0, ""},
      {{"--calculate-domain", "--webspace-name=ws1", "--domain-name=site-one"}, 0, ""},
      {{"--calculate-domain", "--webspace-name=", "--domain-name="}, 0, ""},
      {{"--calculate-domain", "--internal-package-name=x", "--webspace-name=ws1", "--domain-name=b"}, 0, ""},
      {{"--calculate-domain", "--webspace-name=nope", "--webspace-name=ws1", "--domain-name="}, 0, ""},
      {{"--calculate-domain", "--domain-name=site-one"}, 1, "Missing required parameter --webspace-name. " + usage},
      {{"--calculate-domain"}, 1, "Missing required parameter --webspace-name. " + usage},
      {{"--calculate-domain", "--webspace-name=ws1"}, 1, "Missing required parameter --domain-name. " + usage},
      {{"--calculate-domain", "--webspace-name", "ws1", "--domain-name=site-one"}, 1,
       "Unexpected parameter ws1. " + usage},
      {{"--CALCULATE-ALL"}, 1, "command --CALCULATE-ALL not supported. " + commands},
      {{"--calculate-all=1"}, 1, "command --calculate-all=1 not supported. " + commands},
      {{"--calculate-domain", "--webspace-name=nope", "--domain-name="}, 1,
       "Directory '" + inst.vhostsDir() + "/nope/logs/iis' does not exist"},
      {{"--calculate-domain", "--webspace-name=../vhosts/ws1", "--domain-name="}, 1,
       "Invalid webspace name '../vhosts/ws1' on the command line"},
  };
  for (const auto& c : cases) {
    clearLogs(inst);
    const auto run = inst.runExecutor(c.args);
    std::string shown = executable();
    for (const std::string& a : c.args) shown += " " + (a.find('=') == std::string::npos ? a : "\"" + a + "\"");
    const std::string label = shown;
    EXPECT_EQ(run.exitCode, c.exitCode) << label << "\n" << run.out << run.err;

    const std::vector<Entry> log = entries(inst);
    ASSERT_GE(log.size(), 2u) << label;
    EXPECT_EQ(log.front().level, "Info");
    EXPECT_EQ(log.front().text, "start " + shown);
    EXPECT_EQ(log.back().level, "Info");
    EXPECT_EQ(log.back().text, "end " + shown + " with code " + std::to_string(c.exitCode));
    const std::vector<std::string> errors = errorsOf(inst);
    if (c.error.empty()) {
      EXPECT_TRUE(errors.empty()) << label << ": " << (errors.empty() ? "" : errors[0]);
    } else {
      ASSERT_EQ(errors.size(), 1u) << label;
      EXPECT_TRUE(startsWith(errors[0], c.error)) << label << ":\n" << errors[0];
      // Every failure carries the frame's two places, outermost last.
      EXPECT_NE(errors[0].find("\n   at execute " + shown + "(vconsoleapp::run line 110)"), std::string::npos)
          << errors[0];
      // What the operator sees on the console.
      EXPECT_NE(run.out.find(c.error), std::string::npos) << label << ":\n" << run.out;
    }
  }
}

TEST(Executor, PasswordValuesNeverReachTheLog) {
  TestInstallation inst;
  putConfig(inst, "ws1", "", conf("site-one", "ws1", "none"));
  const auto run = inst.runExecutor(
      {"--calculate-domain", "--webspace-name=ws1", "--domain-name=site-one", "--db-password=s3cret word"});
  EXPECT_EQ(run.exitCode, 1);
  const std::string shown =
      executable() + " --calculate-domain \"--webspace-name=ws1\" \"--domain-name=site-one\" \"--db-password=*\"";
  const std::vector<Entry> log = entries(inst);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].text, "start " + shown);
  EXPECT_EQ(log[1].text, "Unexpected parameter --db-password. Possible parameters:\n    --webspace-name\n    "
                         "--domain-name\n   at (Params::check line 105)\n   at execute console command "
                         "--calculate-domain(vconsoleapp::start line 93)\n   at execute " +
                             shown + "(vconsoleapp::run line 110)");
  EXPECT_EQ(log[2].text, "end " + shown + " with code 1");
  EXPECT_EQ(inst.dailyLog().find("s3cret"), std::string::npos);
  EXPECT_EQ(run.out.find("s3cret"), std::string::npos);
  EXPECT_EQ(run.err.find("s3cret"), std::string::npos);
}

TEST(Executor, InvalidConfigurationsAreSkippedAndWebspacesWithoutLogsContributeNothing) {
  TestInstallation inst;
  putConfig(inst, "ws1", "", conf("site-one", "ws1", "none"));
  std::filesystem::create_directories(inst.vhostsDir() + "/ws2/httpdocs");  // no logs/iis
  writeFile(inst.vhostsDir() + "/not_a_webspace.txt", "x");
  const std::string noWebstat = putConfig(inst, "ws3", "", "<config><domain name=\"d\" webspaceName=\"ws3\"/></config>");
  const std::string bareDomain = putConfig(inst, "ws3", "old", "<domain name=\"d\"><webstat type=\"none\"/></domain>");
  const std::string noType = putConfig(inst, "ws3", "notype", "<c><domain name=\"e\" webspaceName=\"ws3\"><webstat/></domain></c>");

  const auto run = inst.runExecutor({"--calculate-all"});
  EXPECT_EQ(run.exitCode, 0) << run.out;
  std::vector<std::string> errors = errorsOf(inst);
  std::sort(errors.begin(), errors.end());
  std::vector<std::string> expected = {"Invalid config file '" + noWebstat + "'. Skipped",
                                       "Invalid config file '" + bareDomain + "'. Skipped"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(errors, expected);
  EXPECT_EQ(inst.dailyLog().find(noType), std::string::npos);  // accepted, and no engine for an empty type
}

TEST(Executor, FindsConfigurationsTwoLevelsBelowTheLogDirectoryButNotThree) {
  TestInstallation inst;
  const std::string invalid = "<config/>";
  const std::vector<std::string> found = {
      putConfig(inst, "ws1", "", invalid),
      putConfig(inst, "ws1", "a", invalid),
      putConfig(inst, "ws1", "a", invalid, "Web_Stat_Executor.CONF"),  // the name is matched ignoring case
      putConfig(inst, "ws1", "a/b", invalid),
  };
  const std::string tooDeep = putConfig(inst, "ws1", "a/b/c", invalid);
  putConfig(inst, "ws1", "a", invalid, "web_stat_executor.conf.bak");

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--calculate-all"},
        std::vector<std::string>{"--calculate-domain", "--webspace-name=ws1", "--domain-name="}}) {
    clearLogs(inst);
    EXPECT_EQ(inst.runExecutor(args).exitCode, 0);
    std::vector<std::string> errors = errorsOf(inst);
    ASSERT_EQ(errors.size(), found.size()) << inst.dailyLog();
    // The log directory's own file comes first, the deepest last.
    EXPECT_EQ(errors.front(), "Invalid config file '" + found.front() + "'. Skipped");
    EXPECT_EQ(errors.back(), "Invalid config file '" + found.back() + "'. Skipped");
    std::sort(errors.begin(), errors.end());
    std::vector<std::string> expected;
    for (const std::string& path : found) expected.push_back("Invalid config file '" + path + "'. Skipped");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(errors, expected);
    EXPECT_EQ(inst.dailyLog().find(tooDeep), std::string::npos);
  }
}

TEST(Executor, FailingConfigurationsAreJoinedInProcessingOrderAndTheRunGoesOn) {
  TestInstallation inst;
  std::string lols = "<!ENTITY l0 \"lol\">";
  for (int i = 1; i <= 9; ++i) {
    std::string refs;
    for (int j = 0; j < 10; ++j) refs += "&l" + std::to_string(i - 1) + ";";
    lols += "<!ENTITY l" + std::to_string(i) + " \"" + refs + "\">";
  }
  const std::string malformed = putConfig(inst, "ws1", "", "<config><domain name=\"a\"></config>");
  putConfig(inst, "ws1", "", conf("fine-one", "ws1", "none"), "WEB_STAT_EXECUTOR.conf");
  const std::string laughs = putConfig(
      inst, "ws1", "sub",
      "<!DOCTYPE config [<!ELEMENT config ANY><!ELEMENT domain ANY><!ATTLIST domain name CDATA #IMPLIED>" + lols +
          "]><config><domain name=\"&l9;\"/></config>");
  const std::string escaping = putConfig(inst, "ws1", "sub/deeper", conf("..", "ws1", "webalizer"));
  const std::string escapingWebspace = putConfig(inst, "ws1", "sub/other", conf("site", "../..", "awstats"));

  const auto run = inst.runExecutor({"--calculate-domain", "--webspace-name=ws1", "--domain-name="});
  EXPECT_EQ(run.exitCode, 1);
  const std::vector<std::string> errors = errorsOf(inst);
  ASSERT_EQ(errors.size(), 1u) << inst.dailyLog();
  const std::string& message = errors[0];

  auto placeOf = [](const std::string& path) {
    return "\n   at (vxmlLoad line 38)\n   at Calculate web statistics by config '" + path + "'(WebStatisticsExecutor::calculate line 82)";
  };
  const size_t first = message.find(" at load " + malformed + placeOf(malformed) + "\n");
  const size_t second = message.find("entity reference loop");
  const size_t secondEnd = message.find(" at load " + laughs + placeOf(laughs) + "\n");
  const size_t third = message.find("Invalid domain name '..' in the config file '" + escaping + "'");
  const size_t fourth = message.find("Invalid webspace name '../..' in the config file '" + escapingWebspace + "'");
  EXPECT_NE(first, std::string::npos) << message;
  EXPECT_NE(second, std::string::npos) << message;
  EXPECT_NE(secondEnd, std::string::npos) << message;
  EXPECT_NE(third, std::string::npos) << message;
  EXPECT_NE(fourth, std::string::npos) << message;
  EXPECT_LT(first, second);
  EXPECT_LT(secondEnd, std::min(third, fourth));  // sibling subdirectories follow the file system's order
  EXPECT_NE(message.find("(loadWebStatConfig line 78)\n   at Calculate web statistics by config '" + escaping + "'"),
            std::string::npos);
  // One exception for all of them, raised after the last configuration.
  const std::string tail = "(WebStatisticsExecutor::calculate line 82)\n   at (WebStatisticsExecutor::calculate line 91)";
  EXPECT_NE(message.find(tail), std::string::npos) << message;
  // Nothing was made where the refused names point.
  EXPECT_FALSE(std::filesystem::exists(inst.vhostsDir() + "/ws1/.tarvo"));
  EXPECT_FALSE(std::filesystem::exists(inst.root() + "/.tarvo"));
}

} // namespace

namespace {

TEST(Executor, ASecondRunWaitsForTheRunLockAndThenCompletes) {
  TestInstallation inst;
  putConfig(inst, "ws1", "", conf("one.example", "ws1", "none"));
  VMutex held("web_statistics_executor_run");
  held.lock();

  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const std::string program = executable();
    ::execl(program.c_str(), program.c_str(), "--calculate-all", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const std::string waiting = "Another statistics run holds 'web_statistics_executor_run'; waiting for it to end";
  bool logged = false;
  for (int i = 0; i < 300 && !logged; ++i) {
    for (const Entry& e : entries(inst)) logged = logged || (e.level == "Info" && e.text == waiting);
    if (!logged) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  int status = 0;
  EXPECT_TRUE(logged) << inst.dailyLog();
  EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "the second run must wait while the lock is held";

  held.unlock();
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << inst.dailyLog();
}

} // namespace
