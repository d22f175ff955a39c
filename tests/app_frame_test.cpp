// The parameter store: how arguments become named values, and the words of
// every refusal. (The console frame around it is tested through the real
// program in app_executor_test.)
#include <gtest/gtest.h>

#include <functional>

#include "app/params.h"
#include "support/errors.h"

namespace {

// argv as main receives it.
class Argv {
 public:
  Argv(std::initializer_list<std::string> args) : strings_(args) {
    for (auto& s : strings_) pointers_.push_back(s.data());
    pointers_.push_back(nullptr);
  }
  Params params() { return Params(static_cast<int>(strings_.size()), pointers_.data()); }

 private:
  std::vector<std::string> strings_;
  std::vector<char*> pointers_;
};

// The message of what op raises; "" for nothing.
std::string failureOf(const std::function<void()>& op) {
  try {
    op();
  } catch (const vexception& e) {
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
    const Params params = Argv(c.args).params();
    EXPECT_EQ(decltype(c.stored)(params.values().begin(), params.values().end()), c.stored);
  }
}

TEST(Params, CheckReportsTheFirstMissingThenTheFirstUnexpectedName) {
  const std::string usage = "Possible parameters:\n    --webspace-name\n    --domain-name";
  const struct {
    std::initializer_list<std::string> args;
    std::string message;
  } cases[] = {
      {{"--internal-package-name=x", "--webspace-name=a", "--domain-name=b"}, ""},
      {{"--zeta=1"}, "Missing required parameter --webspace-name. " + usage},
      {{"--webspace-name=a", "--domain-name=b", "--zeta=1", "--db-password=p"},
       "Unexpected parameter --db-password. " + usage},
      {{"--webspace-name=a", "--domain-name=b", "--Domain-name=c"}, "Unexpected parameter --Domain-name. " + usage},
  };
  for (const auto& c : cases) {
    const Params params = Argv(c.args).params();
    EXPECT_EQ(failureOf([&] { params.check({"--webspace-name", "--domain-name"}); }), c.message);
  }
  const Params params = Argv({"--a=1"}).params();
  EXPECT_EQ(params.get("--a"), "1");
  EXPECT_EQ(failureOf([&] { params.get("--b"); }), "Missing required parameter --b. ");
}

} // namespace
