// The emulated link's arithmetic, in virtual time: what leaves when, and what is lost.
#include <gtest/gtest.h>

#include "link_model.h"

namespace kx::netem {
namespace {

constexpr int64_t kMs = 1'000'000;

TEST(LinkDirection, SerialisesAtTheRateThenAddsTheDelay) {
  // 1250 bytes at 1 Mbit/s take 10 ms on the wire.
  LinkDirection link({.delayMs = 30, .rateKbits = 1000}, 1);
  const struct {
    int64_t arrives;
    int64_t leaves;
  } cases[] = {
      {0, 40 * kMs},         // straight onto the wire
      {0, 50 * kMs},         // behind the first
      {5 * kMs, 60 * kMs},   // still behind
      {100 * kMs, 140 * kMs},  // the queue has drained meanwhile
  };
  for (const auto& c : cases) EXPECT_EQ(link.admit(c.arrives, 1250), c.leaves) << c.arrives;
}

TEST(LinkDirection, AFullQueueDropsUntilItDrains) {
  LinkDirection link({.rateKbits = 1000, .queueLimit = 3}, 1);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(link.admit(0, 1250));
  EXPECT_EQ(link.backlog(0), 3u);
  EXPECT_FALSE(link.admit(0, 1250));
  EXPECT_EQ(link.backlog(10 * kMs), 2u);
  EXPECT_TRUE(link.admit(10 * kMs, 1250));
}

TEST(LinkDirection, JitterSpreadsTheDelayOverItsWholeRange) {
  LinkDirection link({.delayMs = 50, .jitterMs = 10}, 7);
  int64_t earliest = INT64_MAX, latest = 0;
  for (int64_t i = 0; i < 2000; ++i) {
    const int64_t sent = i * kMs;
    const int64_t delay = link.admit(sent, 100).value() - sent;
    earliest = std::min(earliest, delay);
    latest = std::max(latest, delay);
  }
  EXPECT_GE(earliest, 40 * kMs);
  EXPECT_LT(earliest, 42 * kMs);
  EXPECT_LE(latest, 60 * kMs);
  EXPECT_GT(latest, 58 * kMs);
}

TEST(LinkDirection, LosesItsShareAndEverythingInAnOutage) {
  LinkDirection link({.lossPercent = 3}, 3);
  int lost = 0;
  for (int i = 0; i < 100'000; ++i) lost += !link.admit(i, 100);
  EXPECT_NEAR(lost, 3000, 300);

  LinkDirection clean({}, 3);
  clean.setOutage(true);
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(clean.admit(i, 100));
  clean.setOutage(false);
  EXPECT_EQ(clean.admit(200, 100), 200);
}

}  // namespace
}  // namespace kx::netem
