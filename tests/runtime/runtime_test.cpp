// The loops, timers and tasks every layer stands on.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/basic_loop.h"
#include "runtime/task.h"

namespace kx {
namespace {

TEST(VirtualLoop, TimersFireInDueOrderAtTheirOwnTimeUntilCancelled) {
  VirtualLoop loop(100.0, 1000.0);
  std::vector<std::pair<std::string, double>> fired;
  auto note = [&](std::string what) { return [&, what] { fired.emplace_back(what, loop.uptime()); }; };
  Timer late = startOneShot(loop, 3.0, note("late"));
  Timer early = startOneShot(loop, 1.0, note("early"));
  Timer repeating = startRepeating(loop, 0.75, note("tick"));
  { Timer dropped = startRepeating(loop, 0.1, note("dropped")); }  // destroying the handle cancels
  Timer replaced = startRepeating(loop, 0.5, note("replaced"));
  replaced = startOneShot(loop, 2.0, note("replacement"));  // and so does replacing it
  Timer self;
  self = startRepeating(loop, 1.25, [&] {
    fired.emplace_back("self", loop.uptime());
    self.cancel();
  });
  loop.advance(1.5);
  repeating.cancel();
  loop.advance(5.0);
  EXPECT_EQ(fired, (std::vector<std::pair<std::string, double>>{
                       {"tick", 100.75}, {"early", 101}, {"self", 101.25}, {"tick", 101.5}, {"replacement", 102},
                       {"late", 103}}));
  EXPECT_DOUBLE_EQ(loop.wallTime(), 1006.5);
  loop.setWallTime(5000.0);  // a wall-clock jump moves no timer
  EXPECT_DOUBLE_EQ(loop.uptime(), 106.5);
}

Task<int> doubled(std::function<void(std::function<void(int)>)> start) {
  int v = co_await awaitCallback<int>(std::move(start));
  co_return v * 2;
}

TEST(Task, ResumesWhenTheCallbackCompletesAtOnceOrLater) {
  TaskScope scope;
  std::vector<int> out;
  std::function<void(int)> pending;
  auto chain = [&](std::function<void(std::function<void(int)>)> start) -> Task<void> {
    out.push_back(0);
    out.push_back(co_await doubled(std::move(start)));
  };
  scope.spawn(chain([](std::function<void(int)> done) { done(7); }));
  EXPECT_EQ(out, (std::vector<int>{0, 14}));
  scope.spawn(chain([&](std::function<void(int)> done) { pending = std::move(done); }));
  EXPECT_EQ(scope.pending(), 1u);
  pending(21);
  EXPECT_EQ(out, (std::vector<int>{0, 14, 0, 42}));
  EXPECT_EQ(scope.pending(), 0u);
  std::string got;
  auto inner = []() -> Task<std::string> { co_return std::string(1000, 'x'); };
  auto outer = [&]() -> Task<void> { got = co_await inner(); };  // a coroutine lambda must outlive its frame
  scope.spawn(outer());
  EXPECT_EQ(got.size(), 1000u);
}

TEST(Task, DestroyedScopeNeverResumesAndLateCompletionIsIgnored) {
  std::function<void(int)> pending;
  std::vector<int> out;
  auto alive = std::make_shared<int>(0);
  {
    TaskScope scope;
    auto holder = [&, keep = alive]() -> Task<void> {
      auto local = keep;  // released when the frame is destroyed
      out.push_back(co_await doubled([&](std::function<void(int)> done) { pending = std::move(done); }));
    };
    scope.spawn(holder());
    EXPECT_EQ(alive.use_count(), 3);
  }
  EXPECT_EQ(alive.use_count(), 1);  // frames (and their locals) were destroyed
  pending(5);                       // the completion outlives the task
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace kx
