// Threads auto against a model machine whose step costs are known: the choice must settle on
// the faster count, follow a change of load, ignore a single disturbed window, and spend only a
// small part of the run looking at the slower count.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "sim/threadchoice.h"

namespace {

// Steps of `live` particles for `seconds` of model time, refresh cycles of 10 steps; the cost
// of a particle step on one thread and on several is given per moment. Returns the share of
// the steps that ran on several threads; `last` receives the last step's choice.
double run(ThreadChoice& tc, double& now, double seconds, int live,
           const std::function<double(double, bool)>& cost, bool* last = nullptr) {
  int64_t steps = 0, onseveral = 0;
  const double end = now + seconds;
  for (; now < end; steps++) {
    const bool several = tc.several(live, steps % 10 == 0, now);
    const double t = cost(now, several) * live;
    now += t;
    tc.measured(several, t, live);
    onseveral += several;
    if (last) *last = several;
  }
  return (double)onseveral / (double)steps;
}

TEST(ThreadChoice, SettlesOnTheFasterCountAndFollowsTheLoad) {
  struct Case {
    const char* what;
    double one, several;  // ns per particle step
    bool expected;        // several threads chosen
  } cases[] = {
      {"two threads twice as fast", 200, 100, true},
      {"a shared core: two threads slower", 100, 130, false},
      {"as fast: one thread leaves the other processor free", 100, 99.5, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ThreadChoice tc;
    double now = 0;
    auto cost = [&](double, bool several) { return (several ? k.several : k.one) * 1e-9; };
    bool last = !k.expected;
    run(tc, now, 1.0, 1500, cost, &last);
    EXPECT_EQ(last, k.expected);
    // Over the next 20 s the slower count runs only in the comparisons' middle windows.
    const double share = run(tc, now, 20.0, 1500, cost, &last);
    EXPECT_EQ(last, k.expected);
    EXPECT_LT(k.expected ? 1 - share : share, 0.01);
  }

  // The other process stops after 5 s: two threads become the faster, and are taken within
  // the longest interval between looks (plus the repeated comparison).
  ThreadChoice tc;
  double now = 0;
  auto load = [](double t, bool several) { return (several ? (t < 5 ? 130 : 70) : 100) * 1e-9; };
  bool last = true;
  run(tc, now, 5.0, 1500, load, &last);
  EXPECT_FALSE(last);
  run(tc, now, ThreadChoice::LONGESTINTERVAL + 1, 1500, load, &last);
  EXPECT_TRUE(last);
}

TEST(ThreadChoice, OneDisturbedWindowDoesNotChangeTheChoice) {
  ThreadChoice tc;
  double now = 0;
  auto steady = [](double, bool several) { return (several ? 100 : 150) * 1e-9; };
  run(tc, now, 3.0, 3000, steady);
  // In the next comparison, the refresh cycle of several-thread steps that follows the look at
  // one thread takes three times as long (the worker's processor taken by another process).
  int hit = -1;
  auto disturbed = [&](double, bool several) {
    if (!several && hit < 0) hit = 10;
    if (several && hit > 0) {
      hit--;
      return 300e-9;
    }
    return (several ? 100 : 150) * 1e-9;
  };
  bool last = false;
  const double share = run(tc, now, 10.0, 3000, disturbed, &last);
  ASSERT_EQ(hit, 0);
  EXPECT_TRUE(last);
  EXPECT_GT(share, 0.98);
}

TEST(ThreadChoice, EachSizeClassChoosesForItselfAndTheDecisionIsNoted) {
  ThreadChoice tc;
  double now = 0;
  // The hand-off costs 40 µs a step: two threads pay for large steps only.
  auto handoff = [](int live) {
    return [live](double, bool several) { return (several ? 60e-9 + 40e-6 / live : 100e-9); };
  };
  bool small = true, large = false;
  run(tc, now, 0.3, 300, handoff(300), &small);
  EXPECT_EQ(tc.takenote(2),
            "# threads auto: 256-511 live particles, 1 thread 100.0 ns, 2 threads 193.3 ns per "
            "particle step: 1 thread for 0.5 s\n");
  EXPECT_EQ(tc.takenote(2), "");  // taken once
  run(tc, now, 0.7, 300, handoff(300), &small);
  run(tc, now, 1.0, 5000, handoff(5000), &large);
  EXPECT_FALSE(small);
  EXPECT_TRUE(large);
  // Back to the small beam: its own choice.
  EXPECT_FALSE(tc.several(300, true, now));
}

}  // namespace
