// Cancellation points and the one execution context the program shares with
// every module it loads.
#include <gtest/gtest.h>
#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/process_identity.h"
#include "support/cancelation.h"
#include "support/execution_context.h"
#include "support/guard.h"
#include "support/logging.h"
#include "tests/common/test_installation.h"

namespace {

using ThreadCancelation::CancelationPoint;

size_t registered() {
  ExecutionContext& context = executionContext();
  std::lock_guard<std::mutex> guard(context.lock);
  return context.points.size();
}

TEST(CancelationPoint, NestsPerThreadAndPassesModeTwoInwards) {
  struct Case {
    std::vector<int> opened;
    std::vector<int> effective;
  } cases[] = {
      {{1, 1}, {1, 1}},
      {{0, 1, 0}, {0, 1, 0}},
      {{1, 2, 1, 0}, {1, 2, 2, 2}},
      {{2, 0, 1}, {2, 2, 2}},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(CancelationPoint::current(), nullptr);
    std::vector<std::unique_ptr<CancelationPoint>> points;
    for (size_t i = 0; i < c.opened.size(); ++i) {
      CancelationPoint* outer = CancelationPoint::current();
      points.push_back(std::make_unique<CancelationPoint>(c.opened[i]));
      EXPECT_EQ(points.back()->mode(), c.effective[i]);
      EXPECT_EQ(points.back()->enclosing(), outer);
      EXPECT_EQ(CancelationPoint::current(), points.back().get());
    }
    EXPECT_EQ(registered(), c.opened.size());
    while (!points.empty()) {
      CancelationPoint* outer = points.back()->enclosing();
      points.pop_back();
      EXPECT_EQ(CancelationPoint::current(), outer);
    }
    EXPECT_EQ(registered(), 0u);
  }
}

TEST(CancelationPoint, ExceptionsLeaveNoPointBehindInAnyThread) {
  CancelationPoint mine(ThreadCancelation::Synchronous);
  std::thread other([] {
    try {
      guardRethrow(Place{"outer", "T::outer", 1}, [] {
        CancelationPoint inherited(ThreadCancelation::Inherited);
        guardRethrow(Place{"inner", "T::inner", 2}, [] {
          EXPECT_EQ(CancelationPoint::current()->mode(), ThreadCancelation::Inherited);
          CancelationPoint deepest(ThreadCancelation::Asynchronous);
          throw std::runtime_error("boom");
        });
      });
    } catch (const vexception& e) {
      EXPECT_EQ(e.places().size(), 2u);
    }
    EXPECT_EQ(CancelationPoint::current(), nullptr);
  });
  other.join();
  EXPECT_EQ(CancelationPoint::current(), &mine);
  EXPECT_EQ(registered(), 1u);
}

// A cancel requested on a point ends its thread when the point closes, and
// says so in the log.
class CanceledThread : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TARVO_SYSLOG_SOCKET", (inst.root() + "/no-syslog").c_str(), 1);
    for (int i = 0; i < 16; ++i) debuggingEnabled();  // the switch is read again within 16 queries
    for (int level = Info; level <= Crash; ++level) outputSwitches().setConsole(level, false);
  }
  std::string log() const { return inst.dailyLog(); }
  testenv::TestInstallation inst{[] {
    testenv::TestInstallation::Options options;
    options.startService = false;
    return options;
  }()};
};

TEST_F(CanceledThread, EndsWhenThePointClosesAndGuardsLetItPass) {
  uint32_t tid = 0;
  bool ranOn = false;
  std::thread t([&] {
    tid = platform::threadId();
    guardLog(Error, Place{"outer", "T::outer", 1}, [] {
      CancelationPoint point(ThreadCancelation::Synchronous);
      point.cancel();
      EXPECT_TRUE(point.cancelRequested());
    });
    ranOn = true;
  });
  t.join();
  EXPECT_FALSE(ranOn);
  EXPECT_NE(log().find("Info: Thread #" + std::to_string(tid) + " is going to be canceled!\r\n"), std::string::npos)
      << log();
  EXPECT_EQ(log().find("Unexpected error"), std::string::npos) << log();
  EXPECT_EQ(registered(), 0u);
}

TEST_F(CanceledThread, CancelDuringAnExceptionEndsTheThreadAtTheNextPointOut) {
  bool caught = false, ranOn = false;
  std::thread t([&] {
    {
      CancelationPoint outer(ThreadCancelation::Synchronous);
      try {
        CancelationPoint inner(ThreadCancelation::Synchronous);
        inner.cancel();
        throw 1;
      } catch (int) {
        caught = true;
      }
      EXPECT_TRUE(outer.cancelRequested());
    }
    ranOn = true;
  });
  t.join();
  EXPECT_TRUE(caught);
  EXPECT_FALSE(ranOn);
  EXPECT_EQ(registered(), 0u);
}

// One copy of the test module, loaded so that it keeps its own copy of the
// support code and of the exported variable instead of binding to ours.
class Module {
 public:
  explicit Module(const std::string& path) {
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
    if (!handle_) throw std::runtime_error(::dlerror());
    context = reinterpret_cast<ExecutionContext* (*)()>(symbol("context_module_context"));
    setConsole = reinterpret_cast<void (*)(int, int)>(symbol("context_module_set_console"));
    console = reinterpret_cast<int (*)(int)>(symbol("context_module_console"));
    pointMode = reinterpret_cast<int (*)(int)>(symbol("context_module_point_mode"));
    variable = static_cast<ExecutionContext**>(symbol("m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22"));
  }
  // Left loaded: the process keeps using the context through it.
  void* symbol(const char* name) {
    void* s = ::dlsym(handle_, name);
    if (!s) throw std::runtime_error(std::string("missing ") + name);
    return s;
  }

  ExecutionContext* (*context)();
  void (*setConsole)(int, int);
  int (*console)(int);
  int (*pointMode)(int);
  ExecutionContext** variable;

 private:
  void* handle_;
};

std::string copyModule(const testenv::TempDir& dir, const std::string& name) {
  const std::string target = dir / name;
  std::filesystem::copy_file(testenv::testBinDir() + "/libcontext_module.so", target);
  return target;
}

TEST(ExecutionContext, OneContextForTheProgramAndEveryModule) {
  testenv::TempDir dir;
  // The first module loaded before the program asked for its context makes
  // it (unless another test of this binary ran first); either way every
  // party must end with the same one.
  Module first(copyModule(dir, "first.so"));
  ASSERT_NE(first.variable, &m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22) << "module bound to our copy";
  ExecutionContext* fromFirst = first.context();
  ExecutionContext* ours = &executionContext();
  Module second(copyModule(dir, "second.so"));
  ExecutionContext* fromSecond = second.context();

  EXPECT_EQ(fromFirst, ours);
  EXPECT_EQ(fromSecond, ours);
  EXPECT_EQ(*first.variable, ours);
  EXPECT_EQ(*second.variable, ours);
  EXPECT_EQ(m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22, ours);
  EXPECT_EQ(ours->referenceCount.load(), 3);

  // Switches set by one party are seen by all.
  const bool before = outputSwitches().console(4);
  second.setConsole(4, !before);
  EXPECT_EQ(outputSwitches().console(4), !before);
  EXPECT_EQ(first.console(4), before ? 0 : 1);
  outputSwitches().setConsole(4, before);
  EXPECT_EQ(second.console(4), before ? 1 : 0);

  // The cancellation slot is shared too: a module's point inherits mode 2
  // from the program's point around it.
  {
    ThreadCancelation::CancelationPoint outer(ThreadCancelation::Inherited);
    EXPECT_EQ(first.pointMode(ThreadCancelation::Synchronous), ThreadCancelation::Inherited);
    EXPECT_EQ(ThreadCancelation::CancelationPoint::current(), &outer);
  }
  EXPECT_EQ(first.pointMode(ThreadCancelation::Synchronous), ThreadCancelation::Synchronous);
  EXPECT_TRUE(ours->points.empty());
}

} // namespace
