#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "runtime/basic_loop.h"

namespace kx {
namespace {

TEST(VirtualLoop, TimersFireInDueOrderAtTheirOwnTime) {
  VirtualLoop loop(100.0);
  std::vector<std::pair<int, double>> fired;
  Timer late = startOneShot(loop, 3.0, [&] { fired.emplace_back(3, loop.uptime()); });
  Timer early = startOneShot(loop, 1.0, [&] { fired.emplace_back(1, loop.uptime()); });
  loop.advance(2.0);
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_EQ(fired[0], std::make_pair(1, 101.0));
  loop.advance(5.0);
  ASSERT_EQ(fired.size(), 2u);
  EXPECT_EQ(fired[1], std::make_pair(3, 103.0));
  EXPECT_DOUBLE_EQ(loop.uptime(), 107.0);
}

TEST(VirtualLoop, RepeatingTimerKeepsCadenceUntilCancelled) {
  VirtualLoop loop;
  int ticks = 0;
  Timer t = startRepeating(loop, 0.5, [&] { ++ticks; });
  loop.advance(2.0);
  EXPECT_EQ(ticks, 4);
  t.cancel();
  loop.advance(2.0);
  EXPECT_EQ(ticks, 4);
}

TEST(VirtualLoop, DestroyingTheHandleCancels) {
  VirtualLoop loop;
  int ticks = 0;
  { Timer t = startRepeating(loop, 1.0, [&] { ++ticks; }); }
  loop.advance(5.0);
  EXPECT_EQ(ticks, 0);
}

TEST(VirtualLoop, OneShotMayReplaceItselfFromItsCallback) {
  VirtualLoop loop;
  Timer timer;
  int runs = 0;
  std::function<void()> retry = [&] {
    ++runs;
    timer = Timer();  // clears the fired timer, as a retry does
    if (runs < 3) timer = startOneShot(loop, 5.0, retry);
  };
  timer = startOneShot(loop, 5.0, retry);
  loop.advance(100);
  EXPECT_EQ(runs, 3);
  EXPECT_FALSE(timer);
}

TEST(VirtualLoop, RepeatingTimerMayCancelItself) {
  VirtualLoop loop;
  Timer timer;
  int ticks = 0;
  timer = startRepeating(loop, 1.0, [&] {
    if (++ticks == 2) timer.cancel();
  });
  loop.advance(10);
  EXPECT_EQ(ticks, 2);
}

TEST(VirtualLoop, PostsFromOtherThreadsRunOnTheLoopInOrder) {
  VirtualLoop loop;
  std::vector<int> seen;
  std::thread worker([&] {
    for (int i = 0; i < 100; ++i) loop.post([&seen, i] { seen.push_back(i); });
  });
  worker.join();
  EXPECT_TRUE(seen.empty());  // nothing runs before the loop does
  loop.runUntilIdle();
  ASSERT_EQ(seen.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
}

TEST(VirtualLoop, RunUntilWaitsForWorkFromAnotherThread) {
  VirtualLoop loop;
  bool done = false;
  std::thread worker([&] { loop.post([&] { done = true; }); });
  EXPECT_TRUE(loop.runUntil([&] { return done; }, 5.0));
  worker.join();
}

TEST(VirtualLoop, WallClockMovesIndependentlyOfUptime) {
  VirtualLoop loop(50.0, 1000.0);
  loop.setWallTime(5000.0);
  EXPECT_DOUBLE_EQ(loop.uptime(), 50.0);
  loop.advance(1.0);
  EXPECT_DOUBLE_EQ(loop.wallTime(), 5001.0);
}

TEST(RunLoop, FiresRealTimersAndQuits) {
  RunLoop loop;
  int fired = 0;
  Timer t = startOneShot(loop, 0.01, [&] {
    ++fired;
    loop.quit();
  });
  loop.run();
  EXPECT_EQ(fired, 1);
}

}  // namespace
}  // namespace kx
