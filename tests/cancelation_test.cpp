// Cancellation points and the one execution context the program shares with
// every module it loads.
#include <gtest/gtest.h>
#include <dlfcn.h>

#include <filesystem>
#include <vector>

#include "support/cancelation.h"
#include "support/execution_context.h"
#include "tests/common/test_env.h"

namespace {

using namespace ThreadCancelation;

size_t registered() {
  ExecutionContext& context = executionContext();
  std::lock_guard<std::mutex> guard(context.lock);
  return context.points.size();
}

TEST(CancelationPoint, NestsAndPassesModeTwoInwards) {
  const std::pair<std::vector<int>, std::vector<int>> cases[] = {  // the modes opened, the modes in effect
      {{1, 1}, {1, 1}}, {{0, 1, 0}, {0, 1, 0}}, {{1, 2, 1, 0}, {1, 2, 2, 2}}, {{2, 0, 1}, {2, 2, 2}}};
  for (const auto& [opened, effective] : cases) {
    ASSERT_EQ(CancelationPoint::current(), nullptr);
    std::vector<std::unique_ptr<CancelationPoint>> points;
    for (size_t i = 0; i < opened.size(); ++i) {
      CancelationPoint* outer = CancelationPoint::current();
      points.push_back(std::make_unique<CancelationPoint>(opened[i]));
      EXPECT_EQ(points.back()->mode(), effective[i]);
      EXPECT_EQ(points.back()->enclosing(), outer);
      EXPECT_EQ(CancelationPoint::current(), points.back().get());
    }
    EXPECT_EQ(registered(), opened.size());
    while (!points.empty()) {
      points.pop_back();
      EXPECT_EQ(CancelationPoint::current(), points.empty() ? nullptr : points.back().get());
    }
    EXPECT_EQ(registered(), 0u);
  }
}

// A copy of the test module, loaded so that it keeps its own copy of the
// support code and of the exported variable instead of binding to ours. Left
// loaded: the process keeps using the context through it.
struct Module {
  Module(const testenv::TempDir& dir, const std::string& name) {
    std::filesystem::copy_file(testenv::testBinDir() + "/libcontext_module.so", dir / name);
    handle = ::dlopen((dir / name).c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
    if (!handle) throw std::runtime_error(::dlerror());
  }
  template <typename T>
  T* symbol(const char* name) {
    if (void* s = ::dlsym(handle, name)) return reinterpret_cast<T*>(s);
    throw std::runtime_error(std::string("missing ") + name);
  }
  ExecutionContext* context() { return symbol<ExecutionContext*()>("context_module_context")(); }
  void* handle;
};

TEST(ExecutionContext, OneContextForTheProgramAndEveryModule) {
  testenv::TempDir dir;
  // The first module loaded before the program asked for its context makes
  // it (unless another test of this binary ran first); either way every
  // party must end with the same one.
  Module first(dir, "first.so");
  ASSERT_NE(first.symbol<ExecutionContext*>("m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22"),
            &m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22) << "module bound to our copy";
  ExecutionContext* fromFirst = first.context();
  ExecutionContext* ours = &executionContext();
  Module second(dir, "second.so");
  EXPECT_EQ(fromFirst, ours);
  EXPECT_EQ(second.context(), ours);
  EXPECT_EQ(ours->referenceCount.load(), 3);

  // The cancellation slot is shared: a module's point inherits mode 2 from the
  // program's point around it.
  const auto moduleMode = first.symbol<int(int)>("context_module_point_mode");
  {
    CancelationPoint outer(Inherited);
    EXPECT_EQ(moduleMode(Synchronous), Inherited);
    EXPECT_EQ(CancelationPoint::current(), &outer);
  }
  EXPECT_EQ(moduleMode(Synchronous), Synchronous);
  EXPECT_TRUE(ours->points.empty());
}

} // namespace
