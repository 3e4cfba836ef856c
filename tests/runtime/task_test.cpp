#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "runtime/basic_loop.h"
#include "runtime/task.h"

namespace kx {
namespace {

// A callback-style operation whose completion the test delivers by hand.
struct PendingOp {
  std::function<void(int)> done;
  void start(std::function<void(int)> d) { done = std::move(d); }
};

Task<int> awaitOp(PendingOp& op) {
  int v = co_await awaitCallback<int>([&](std::function<void(int)> done) { op.start(std::move(done)); });
  co_return v * 2;
}

Task<void> chain(PendingOp& op, std::vector<int>& out) {
  out.push_back(1);
  int v = co_await awaitOp(op);
  out.push_back(v);
}

TEST(Task, SpawnRunsToFirstSuspensionAndResumesOnCompletion) {
  TaskScope scope;
  PendingOp op;
  std::vector<int> out;
  scope.spawn(chain(op, out));
  EXPECT_EQ(out, std::vector<int>{1});
  EXPECT_EQ(scope.pending(), 1u);
  op.done(21);
  EXPECT_EQ(out, (std::vector<int>{1, 42}));
  EXPECT_EQ(scope.pending(), 0u);
}

TEST(Task, SynchronousCompletionDoesNotSuspend) {
  TaskScope scope;
  std::vector<int> out;
  auto immediate = [&]() -> Task<void> {
    int v = co_await awaitCallback<int>([](std::function<void(int)> done) { done(7); });
    out.push_back(v);
  };
  scope.spawn(immediate());
  EXPECT_EQ(out, std::vector<int>{7});
  EXPECT_EQ(scope.pending(), 0u);
}

TEST(Task, DestroyedScopeNeverResumesAndLateCompletionIsIgnored) {
  PendingOp op;
  std::vector<int> out;
  auto alive = std::make_shared<int>(0);
  {
    TaskScope scope;
    auto holder = [&, keep = alive]() -> Task<void> {
      auto local = keep;  // released when the frame is destroyed
      co_await chain(op, out);
    };
    scope.spawn(holder());
    EXPECT_EQ(alive.use_count(), 3);
  }
  EXPECT_EQ(alive.use_count(), 1);  // frames (and their locals) were destroyed
  op.done(5);                        // the completion outlives the task
  EXPECT_EQ(out, std::vector<int>{1});
}

TEST(Task, ResultsAndStringsMoveThroughAwaits) {
  TaskScope scope;
  std::string got;
  auto inner = []() -> Task<std::string> { co_return std::string(1000, 'x'); };
  auto outer = [&]() -> Task<void> { got = co_await inner(); };
  scope.spawn(outer());
  EXPECT_EQ(got.size(), 1000u);
}

TEST(Task, CompletionPostedFromAnotherThreadResumesOnTheLoop) {
  VirtualLoop loop;
  TaskScope scope;
  int result = 0;
  std::thread::id resumedOn;
  std::thread worker;
  auto op = [&]() -> Task<void> {
    result = co_await awaitCallback<int>([&](std::function<void(int)> done) {
      worker = std::thread([&loop, done = std::move(done)] { loop.post([done] { done(9); }); });
    });
    resumedOn = std::this_thread::get_id();
  };
  scope.spawn(op());
  EXPECT_TRUE(loop.runUntil([&] { return result == 9; }, 5.0));
  worker.join();
  EXPECT_EQ(resumedOn, std::this_thread::get_id());
}

}  // namespace
}  // namespace kx
