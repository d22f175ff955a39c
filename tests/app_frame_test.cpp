// The console frame and the parameter store, in-process: which command runs
// with which parameters, and the words of every refusal.
#include <gtest/gtest.h>

#include <stdexcept>

#include "app/console_app.h"
#include "app/params.h"
#include "support/errors.h"

namespace {

using Names = std::vector<std::string>;

// argv as main receives it.
class Argv {
 public:
  Argv(std::initializer_list<std::string> args) : strings_(args) {
    for (auto& s : strings_) pointers_.push_back(s.data());
    pointers_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(strings_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> strings_;
  std::vector<char*> pointers_;
};

std::string failureOf(const std::function<void()>& op, std::string* function = nullptr, int* line = nullptr) {
  try {
    op();
  } catch (const vexception& e) {
    if (!e.places().empty()) {
      if (function) *function = e.places().back().function;
      if (line) *line = e.places().back().line;
    }
    return e.message();
  }
  return "";
}

TEST(Params, ParsesNameEqualsValueArguments) {
  const struct {
    std::initializer_list<std::string> args;
    std::vector<std::pair<std::string, std::string>> stored;  // in store order
  } cases[] = {
      {{}, {}},
      {{"--b=2", "--a=1"}, {{"--a", "1"}, {"--b", "2"}}},
      {{"--x=a", "--x=b"}, {{"--x", "b"}}},               // the later value wins
      {{"--x=a", "--x"}, {{"--x", ""}}},                  // a bare name clears it
      {{"--k=v=w"}, {{"--k", "v=w"}}},                    // further "=" belong to the value
      {{""}, {{"", ""}}},                                 // even the empty argument is a name
      {{"--webspace-name", "ws1"}, {{"--webspace-name", ""}, {"ws1", ""}}},
      {{"--ab=1", "--a=2", "--a\xEF\xBC\xA1=3", "--a\xF0\x9F\x98\x80=4"},  // U+FF21 sorts after U+1F600 in UTF-16
       {{"--a", "2"}, {"--ab", "1"}, {"--a\xF0\x9F\x98\x80", "4"}, {"--a\xEF\xBC\xA1", "3"}}},
  };
  for (const auto& c : cases) {
    Argv argv(c.args);
    const Params params(argv.argc(), argv.argv());
    std::vector<std::pair<std::string, std::string>> stored(params.values().begin(), params.values().end());
    EXPECT_EQ(stored, c.stored);
  }
  Argv none({"ignored"});
  EXPECT_TRUE(Params(-1, none.argv()).values().empty());
}

TEST(Params, CheckReportsTheFirstMissingThenTheFirstUnexpectedName) {
  const std::string usage = "Possible parameters:\n    --webspace-name\n    --domain-name";
  const struct {
    std::initializer_list<std::string> args;
    std::string message;
    int line;
  } cases[] = {
      {{"--webspace-name=a", "--domain-name=b"}, "", 0},
      {{"--internal-package-name=x", "--webspace-name=a", "--domain-name=b"}, "", 0},
      {{"--domain-name=b"}, "Missing required parameter --webspace-name. " + usage, 72},
      {{"--webspace-name=a"}, "Missing required parameter --domain-name. " + usage, 72},
      {{"--webspace-name=a", "--domain-name=b", "--zeta=1", "--db-password=p"},
       "Unexpected parameter --db-password. " + usage, 105},
      {{"--webspace-name=a", "--domain-name=b", "--Domain-name=c"}, "Unexpected parameter --Domain-name. " + usage,
       105},
  };
  for (const auto& c : cases) {
    Argv argv(c.args);
    const Params params(argv.argc(), argv.argv());
    std::string function;
    int line = 0;
    EXPECT_EQ(failureOf([&] { params.check({"--webspace-name", "--domain-name"}); }, &function, &line), c.message);
    if (!c.message.empty()) {
      EXPECT_EQ(function, "Params::check");
      EXPECT_EQ(line, c.line);
    }
  }
  Argv argv({"--a=1"});
  const Params params(argv.argc(), argv.argv());
  EXPECT_EQ(params.get("--a"), "1");
  std::string function;
  EXPECT_EQ(failureOf([&] { params.get("--b"); }, &function), "Missing required parameter --b. ");
  EXPECT_EQ(function, "Params::reportMissingParameter");
}

// A frame whose go records what it was given, or fails as told.
class RecordingApp : public vconsoleapp {
 public:
  explicit RecordingApp(std::string defaultCommand, std::function<void()> fail = {}) : fail_(std::move(fail)) {
    command_ = std::move(defaultCommand);
  }
  int go(int count, char** arguments) override {
    calls.push_back(command_);
    for (int i = 0; i < count; ++i) calls.push_back(arguments[i]);
    if (fail_) fail_();
    return 0;
  }
  std::vector<std::string> calls;

 private:
  std::function<void()> fail_;
};

TEST(ConsoleFrame, StartPicksTheCommandAndItsParameters) {
  const struct {
    std::string defaultCommand;
    std::initializer_list<std::string> args;
    Names calls;
  } cases[] = {
      {"--default", {"prog"}, {"--default"}},
      {"--default", {"prog", "--other", "--a=1", "b"}, {"--other", "--a=1", "b"}},
      {"", {"prog", "--cmd"}, {"--cmd"}},
  };
  for (const auto& c : cases) {
    RecordingApp app(c.defaultCommand);
    Argv argv(c.args);
    EXPECT_EQ(app.start(argv.argc(), argv.argv()), 0);
    EXPECT_EQ(app.calls, c.calls);
  }
  // No command at all: the base usage refuses, outside start's own place.
  RecordingApp bare("");
  Argv argv({"prog"});
  std::string function;
  EXPECT_EQ(failureOf([&] { bare.start(argv.argc(), argv.argv()); }, &function), "Missing command parameter");
  EXPECT_EQ(function, "vconsoleapp::usage");
  EXPECT_TRUE(bare.calls.empty());
}

TEST(ConsoleFrame, StartAddsItsPlaceToWhateverTheCommandRaises) {
  const struct {
    std::function<void()> fail;
    std::string message;
    size_t places;
  } cases[] = {
      {[] { throw vexception("inner", Place{"ctx", "Inner::op", 7}); }, "inner", 2},
      {[] { throw std::runtime_error("standard"); }, "standard", 1},
      {[] { throw 42; }, "Unexpected error", 1},
      {[] {
         volatile int* nowhere = nullptr;
         *nowhere = 1;
       },
       "C structured exception: 0xc0000005", 1},
  };
  for (const auto& c : cases) {
    RecordingApp app("--x", c.fail);
    Argv argv({"prog", "--calculate", "--db-password=secret"});
    try {
      app.start(argv.argc(), argv.argv());
      ADD_FAILURE() << "nothing raised";
    } catch (const vexception& e) {
      EXPECT_EQ(e.message(), c.message);
      ASSERT_EQ(e.places().size(), c.places);
      const Place& place = e.places().back();
      EXPECT_EQ(place.context, "execute console command --calculate");
      EXPECT_EQ(place.function, "vconsoleapp::start");
      EXPECT_EQ(place.line, 93);
    }
  }
}

TEST(ConsoleFrame, RunGivesZeroOnlyWhenTheCommandCompleted) {
  RecordingApp fine("--x");
  Argv argv({"prog"});
  EXPECT_EQ(fine.run(argv.argc(), argv.argv()), 0);
  RecordingApp failing("--x", [] { throw std::runtime_error("boom"); });
  EXPECT_EQ(failing.run(argv.argc(), argv.argv()), 1);
  RecordingApp bare("");
  EXPECT_EQ(bare.run(argv.argc(), argv.argv()), 1);
  // The base go knows no command.
  vconsoleapp base;
  Argv cmd({"prog", "--anything"});
  EXPECT_EQ(failureOf([&] { base.go(0, cmd.argv()); }), "Invalid command ");
  EXPECT_EQ(base.run(cmd.argc(), cmd.argv()), 1);
}

} // namespace
