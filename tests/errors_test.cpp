#include <gtest/gtest.h>

#include <cerrno>

#include "platform/win_error.h"
#include "support/errors.h"
#include "support/format.h"
#include "support/guard.h"

namespace {

TEST(Errors, OsCodeMapsToItsClassAndMessage) {
  try {
    throwOsException("Write to file '/x'", 2, Place{"ctx", "VFile::write", 130});
    FAIL();
  } catch (const VFileNotFoundException& e) {
    EXPECT_EQ(e.errorCode(), 2u);
    EXPECT_EQ(e.message(), "No such file or directory (Error code 2) at Write to file '/x'");
    EXPECT_EQ(e.fullMessage(), e.message() + "\n   at ctx(VFile::write line 130)");
  }
  try {
    throwOsException("", 1061, Place{});
    FAIL();
  } catch (const vosexception& e) {
    EXPECT_EQ(typeid(e), typeid(vosexception));
    EXPECT_EQ(e.errorCode(), 1061u);
    EXPECT_EQ(e.message(), "Unknown error (Error code 1061)");
  }
  EXPECT_EQ(systemErrorText(1061), "Unknown error 0x425");
  EXPECT_EQ(systemErrorText(0x80040201u), "IDispatch error #1");
}

TEST(Errors, ACodeSharedBySeveralErrnoValuesReadsAsTheOneItCameFrom) {
  // A read-only file system and a refused permission are both code 5.
  ASSERT_EQ(platform::winErrorFromErrno(EROFS), 5u);
  EXPECT_EQ(formatSystemMessage(5, "Open file '/x'"), "Read-only file system (Error code 5) at Open file '/x'");
  ASSERT_EQ(platform::winErrorFromErrno(EACCES), 5u);
  EXPECT_EQ(formatSystemMessage(5, ""), "Permission denied (Error code 5)");
  ASSERT_EQ(platform::winErrorFromErrno(EDQUOT), 112u);
  EXPECT_EQ(formatSystemMessage(112, ""), "Disk quota exceeded (Error code 112)");
  EXPECT_EQ(formatSystemMessage(5, ""), "Permission denied (Error code 5)");
}

TEST(Errors, RuntimeErrorsByCode) {
  try {
    throwRuntimeError("plain 100%%", 0);
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(typeid(e), typeid(std::runtime_error));
    EXPECT_STREQ(e.what(), "plain 100%");
  }
  try {
    throwRuntimeError("Unable to duplicate handle", 5);
  } catch (const RunTime::AccessDeniedException& e) {
    EXPECT_STREQ(e.what(), "Unable to duplicate handle: (5) Permission denied");
  }
  EXPECT_THROW(throwRuntimeError("x", 145), RunTime::DirectoryNotEmptyException);
  EXPECT_THROW(throwRuntimeError("x", 267), RunTime::InvalidPathException);
}

TEST(Errors, GuardsAddOnePlaceEachInnermostFirst) {
  try {
    guardRethrow(Place{"outer", "A::a", 1}, [] {
      guardRethrow(Place{"middle", "B::b", 2}, [] {
        guardRethrow(Place{"inner", "C::c", 3}, [] { throwOsException("op", 5, Place{"", "op", 4}); });
      });
    });
    FAIL();
  } catch (const vexception& e) {
    EXPECT_EQ(typeid(e), typeid(vexception));  // the derived class is gone beyond the first guard
    EXPECT_EQ(e.places().size(), 4u);
    EXPECT_NE(e.fullMessage().find("\n   at inner(C::c line 3)\n   at middle(B::b line 2)\n   at outer(A::a line 1)"),
              std::string::npos);
  }
}

TEST(Errors, GuardConvertsEveryKindOfFailure) {
  auto messageOf = [](auto op) {
    auto failure = guardCapture(Place{"ctx", "F::f", 9}, op);
    return failure ? failure->message() : std::string("<none>");
  };
  EXPECT_EQ(messageOf([] { throw std::runtime_error("std text"); }), "std text");
  EXPECT_EQ(messageOf([] { throw 42; }), "Unexpected error");
  EXPECT_EQ(messageOf([] { throw cwrpexception(0xc0000094u); }), "C structured exception: 0xc0000094");
  EXPECT_EQ(messageOf([] {}), "<none>");
}

TEST(Errors, AccessViolationInGuardIsReportedAndTheProcessGoesOn) {
  for (int round = 0; round < 3; ++round) {
    auto failure = guardCapture(Place{"poke", "Test::poke", 7}, [] {
      volatile int* p = nullptr;
      *p = 1;
    });
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->fullMessage(), "C structured exception: 0xc0000005\n   at poke(Test::poke line 7)");
  }
}

TEST(Errors, FormatStringFailuresAreArgumentExceptions) {
  EXPECT_EQ(formatString("%s=%d", std::string("a"), 5), "a=5");
  EXPECT_EQ(formatString("%s", std::string(10000, 'x')).size(), 10000u);
  EXPECT_THROW(formatString("no args %d"), ArgumentException);
}

} // namespace
