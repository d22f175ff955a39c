#include <gtest/gtest.h>
#include <dlfcn.h>

#include <filesystem>

#include "support/cancelation.h"
#include "support/execution_context.h"
#include "tests/common/test_env.h"

namespace {

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
