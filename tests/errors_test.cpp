#include <gtest/gtest.h>
#include <cxxabi.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "platform/win_error.h"
#include "support/errors.h"
#include "support/format.h"
#include "support/guard.h"

namespace {

// The class, without its namespace, of what op raises.
template <class Base, class Op>
std::string raisedClass(Op op) {
  try {
    op();
  } catch (const Base& e) {
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> name(
        abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status), &std::free);
    const std::string full = name.get();
    return full.substr(full.rfind(':') + 1);  // npos + 1 is 0
  }
  return "<nothing>";
}

TEST(Errors, EachSystemCodeRaisesItsClass) {
  const struct {
    uint32_t code;
    const char* os;       // from throwOsException
    const char* runtime;  // from throwRuntimeError, in namespace RunTime but for runtime_error
  } cases[] = {  // codes that share a class with a neighbour (15, 26, 34, 36, 161) left out
      {2, "VFileNotFoundException", "PathNotFoundException"}, {3, "VPathNotFoundException", "PathNotFoundException"},
      {5, "VAccessDeniedException", "AccessDeniedException"}, {6, "vosexception", "InvalidHandleException"},
      {14, "VOutOfMemoryException", "runtime_error"}, {32, "VSharingViolationException", "SharingViolationException"},
      {33, "vosexception", "SharingViolationException"}, {38, "VEOFException", "runtime_error"},
      {80, "VFileExistsException", "AlreadyExistsException"}, {122, "VInsufficientBufferException", "runtime_error"},
      {123, "vosexception", "InvalidPathException"}, {145, "vosexception", "DirectoryNotEmptyException"},
      {183, "VAlreadyExistsException", "AlreadyExistsException"}, {232, "VPipeClosedException", "runtime_error"},
      {267, "vosexception", "InvalidPathException"}, {1060, "VServiceDoesNotExistException", "runtime_error"},
      {1061, "vosexception", "runtime_error"}, {1072, "VServiceMarkedForDeleteException", "runtime_error"},
      {1073, "VServiceAlreadyExistsException", "runtime_error"}, {1332, "vosexception", "NoneMappedException"},
      {2245, "VPasswordTooShortException", "runtime_error"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(raisedClass<vosexception>([&] { throwOsException("op", c.code, Place{}); }), c.os) << c.code;
    EXPECT_EQ(raisedClass<std::runtime_error>([&] { throwRuntimeError("op", c.code); }), c.runtime) << c.code;
  }
}

TEST(Errors, MessagesNameTheSystemReasonAndTheCode) {
  EXPECT_EQ(formatSystemMessage(1061, ""), "Unknown error (Error code 1061)");
  EXPECT_EQ(systemErrorText(1061), "Unknown error 0x425");
  EXPECT_EQ(systemErrorText(0x80040201u), "IDispatch error #1");
  // Code 5 stands for a read-only file system and for a refused permission:
  // the text is that of the errno it last came from.
  ASSERT_EQ(platform::winErrorFromErrno(EROFS), 5u);
  EXPECT_EQ(formatSystemMessage(5, "Open file '/x'"), "Read-only file system (Error code 5) at Open file '/x'");
  ASSERT_EQ(platform::winErrorFromErrno(EACCES), 5u);
  EXPECT_EQ(formatSystemMessage(5, ""), "Permission denied (Error code 5)");
  const auto whatOf = [](const char* text, uint32_t code) {
    try {
      throwRuntimeError(text, code);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
  };
  EXPECT_EQ(whatOf("Unable to duplicate handle", 5), "Unable to duplicate handle: (5) Permission denied");
  EXPECT_EQ(whatOf("plain 100%%", 0), "plain 100%");
  EXPECT_THROW(formatString("no args %d"), ArgumentException);
}

TEST(Errors, GuardsAddOnePlaceEachAndConvertEveryKindOfFailure) {
  try {
    guardRethrow(Place{"outer", "A::a", 1}, [] {
      guardRethrow(Place{"inner", "C::c", 3}, [] { throwOsException("op", 5, Place{"", "op", 4}); });
    });
    FAIL() << "nothing was raised";
  } catch (const vexception& e) {
    EXPECT_EQ(typeid(e), typeid(vexception));  // the derived class is gone beyond the first guard
    EXPECT_EQ(e.fullMessage(), e.message() + "\n   at (op line 4)\n   at inner(C::c line 3)\n   at outer(A::a line 1)");
  }
  const auto messageOf = [](auto op) {
    auto failure = guardCapture(Place{"poke", "Test::poke", 7}, op);
    return failure ? failure->fullMessage() : std::string("<none>");
  };
  EXPECT_EQ(messageOf([] { throw std::runtime_error("std text"); }), "std text\n   at poke(Test::poke line 7)");
  EXPECT_EQ(messageOf([] { throw 42; }), "Unexpected error\n   at poke(Test::poke line 7)");
  EXPECT_EQ(messageOf([] {}), "<none>");
  // A processor fault, again and again: each is translated and the process goes on.
  for (int round = 0; round < 3; ++round)
    EXPECT_EQ(messageOf([] {
                volatile int* volatile nowhere = nullptr;  // both volatile, or the store is optimised away
                *nowhere = 1;
              }),
              "C structured exception: 0xc0000005\n   at poke(Test::poke line 7)");
}

} // namespace
