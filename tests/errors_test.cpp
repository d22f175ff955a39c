#include <gtest/gtest.h>

#include <cerrno>
#include <typeinfo>

#include "platform/win_error.h"
#include "support/errors.h"
#include "support/format.h"
#include "support/guard.h"

namespace {

TEST(Errors, EachSystemCodeRaisesItsClass) {
  using namespace RunTime;
  const struct {
    uint32_t code;
    const std::type_info& os;       // from throwOsException
    const std::type_info& runtime;  // from throwRuntimeError
  } cases[] = {  // codes that share a class with a neighbour (15, 26, 34, 36, 161) left out
      {2, typeid(VFileNotFoundException), typeid(PathNotFoundException)},
      {3, typeid(VPathNotFoundException), typeid(PathNotFoundException)},
      {5, typeid(VAccessDeniedException), typeid(AccessDeniedException)},
      {6, typeid(vosexception), typeid(InvalidHandleException)},
      {14, typeid(VOutOfMemoryException), typeid(std::runtime_error)},
      {32, typeid(VSharingViolationException), typeid(SharingViolationException)},
      {33, typeid(vosexception), typeid(SharingViolationException)},
      {38, typeid(VEOFException), typeid(std::runtime_error)},
      {80, typeid(VFileExistsException), typeid(AlreadyExistsException)},
      {122, typeid(VInsufficientBufferException), typeid(std::runtime_error)},
      {123, typeid(vosexception), typeid(InvalidPathException)},
      {145, typeid(vosexception), typeid(DirectoryNotEmptyException)},
      {183, typeid(VAlreadyExistsException), typeid(AlreadyExistsException)},
      {232, typeid(VPipeClosedException), typeid(std::runtime_error)},
      {267, typeid(vosexception), typeid(InvalidPathException)},
      {1060, typeid(VServiceDoesNotExistException), typeid(std::runtime_error)},
      {1061, typeid(vosexception), typeid(std::runtime_error)},
      {1072, typeid(VServiceMarkedForDeleteException), typeid(std::runtime_error)},
      {1073, typeid(VServiceAlreadyExistsException), typeid(std::runtime_error)},
      {1332, typeid(vosexception), typeid(NoneMappedException)},
      {2245, typeid(VPasswordTooShortException), typeid(std::runtime_error)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    try {
      throwOsException("op", c.code, Place{});
    } catch (const vosexception& e) {
      EXPECT_EQ(typeid(e), c.os);
      EXPECT_EQ(e.errorCode(), c.code);
    }
    try {
      throwRuntimeError("op", c.code);
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(typeid(e), c.runtime);
    }
  }
}

TEST(Errors, MessagesNameTheSystemReasonAndTheCode) {
  try {
    throwOsException("Write to file '/x'", 2, Place{"ctx", "VFile::write", 130});
  } catch (const vosexception& e) {
    EXPECT_EQ(e.fullMessage(), "No such file or directory (Error code 2) at Write to file '/x'\n"
                               "   at ctx(VFile::write line 130)");
  }
  EXPECT_EQ(formatSystemMessage(1061, ""), "Unknown error (Error code 1061)");
  EXPECT_EQ(systemErrorText(1061), "Unknown error 0x425");
  EXPECT_EQ(systemErrorText(0x80040201u), "IDispatch error #1");
  // Code 5 stands for a read-only file system and for a refused permission:
  // the text is that of the errno it last came from.
  ASSERT_EQ(platform::winErrorFromErrno(EROFS), 5u);
  EXPECT_EQ(formatSystemMessage(5, "Open file '/x'"), "Read-only file system (Error code 5) at Open file '/x'");
  ASSERT_EQ(platform::winErrorFromErrno(EACCES), 5u);
  EXPECT_EQ(formatSystemMessage(5, ""), "Permission denied (Error code 5)");
  try {
    throwRuntimeError("Unable to duplicate handle", 5);
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unable to duplicate handle: (5) Permission denied");
  }
  try {
    throwRuntimeError("plain 100%%", 0);
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(typeid(e), typeid(std::runtime_error));
    EXPECT_STREQ(e.what(), "plain 100%");
  }
  EXPECT_THROW(formatString("no args %d"), ArgumentException);
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
    EXPECT_EQ(e.fullMessage(), e.message() + "\n   at (op line 4)\n   at inner(C::c line 3)"
                                              "\n   at middle(B::b line 2)\n   at outer(A::a line 1)");
  }
}

TEST(Errors, GuardConvertsEveryKindOfFailureAndTheProcessGoesOn) {
  auto messageOf = [](auto op) {
    auto failure = guardCapture(Place{"poke", "Test::poke", 7}, op);
    return failure ? failure->fullMessage() : std::string("<none>");
  };
  EXPECT_EQ(messageOf([] { throw std::runtime_error("std text"); }), "std text\n   at poke(Test::poke line 7)");
  EXPECT_EQ(messageOf([] { throw 42; }), "Unexpected error\n   at poke(Test::poke line 7)");
  EXPECT_EQ(messageOf([] { throw cwrpexception(0xc0000094u); }),
            "C structured exception: 0xc0000094\n   at poke(Test::poke line 7)");
  EXPECT_EQ(messageOf([] {}), "<none>");
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(messageOf([] {
                volatile int* p = nullptr;
                *p = 1;
              }),
              "C structured exception: 0xc0000005\n   at poke(Test::poke line 7)");
  }
}

} // namespace
