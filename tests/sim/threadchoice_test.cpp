// Threads auto against a model machine with known step costs: it must settle on the faster
// count, follow a change of load, ignore one disturbed window, and look only briefly at the
// slower count.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "sim/threadchoice.h"

namespace {

// Steps of `live` particles for `seconds` of model time in refresh cycles of 10 steps, each
// costing cost(time, several) per particle. Returns the time lost against always taking the
// faster count (by `reference`, a plain function of its arguments: `cost` by default), as a
// fraction of the time; *last receives the last step's choice.
using Cost = std::function<double(double, bool)>;
double run(ThreadChoice& tc, double& now, double seconds, int live, const Cost& cost, bool* last,
           const Cost& reference = nullptr) {
  const Cost& ref = reference ? reference : cost;
  double lost = 0;
  const double end = now + seconds;
  for (int64_t steps = 0; now < end; steps++) {
    const double best = std::min(ref(now, false), ref(now, true)) * live;
    *last = tc.several(live, steps % 10 == 0, now);
    const double t = cost(now, *last) * live;
    now += t;
    tc.measured(*last, t, live);
    lost += t - best;
  }
  return lost / seconds;
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
    bool last;
    auto cost = [&](double, bool several) { return (several ? k.several : k.one) * 1e-9; };
    run(tc, now, 1.0, 1500, cost, &last);
    EXPECT_EQ(last, k.expected);
    // Over the next 20 s the slower count runs only in the comparisons' middle windows.
    EXPECT_LT(run(tc, now, 20.0, 1500, cost, &last), 0.01);
  }
  // The other process stops after 5 s: two threads become the faster and are taken within the
  // longest interval between looks (plus the repeated comparison).
  ThreadChoice tc;
  double now = 0;
  bool last;
  auto load = [](double t, bool several) { return (several ? (t < 5 ? 130 : 70) : 100) * 1e-9; };
  run(tc, now, 5.0, 1500, load, &last);
  EXPECT_FALSE(last);
  run(tc, now, ThreadChoice::LONGESTINTERVAL + 1, 1500, load, &last);
  EXPECT_TRUE(last);
  // A close call is looked at again soon: the counts are as fast for 4 s, then the beam enters
  // a part of the machine where two threads do better.
  ThreadChoice close;
  now = 0;
  auto phase = [](double t, bool several) { return (several ? (t < 4 ? 100 : 70) : 100) * 1e-9; };
  run(close, now, 4.0, 1500, phase, &last);
  EXPECT_FALSE(last);
  run(close, now, 2 * ThreadChoice::FIRSTINTERVAL + 0.2, 1500, phase, &last);
  EXPECT_TRUE(last);
}

TEST(ThreadChoice, OneDisturbedWindowDoesNotChangeTheChoice) {
  ThreadChoice tc;
  double now = 0;
  bool last;
  const Cost steady = [](double, bool several) { return (several ? 100 : 150) * 1e-9; };
  run(tc, now, 3.0, 3000, steady, &last);
  // In the next comparison the several-thread steps after the look at one thread take four
  // times as long for four refresh cycles (the worker's processor taken by another process).
  int hit = -1;
  auto disturbed = [&](double, bool several) {
    if (!several && hit < 0) hit = 40;
    if (several && hit > 0) return hit--, 400e-9;
    return (several ? 100 : 150) * 1e-9;
  };
  const double lost = run(tc, now, 10.0, 3000, disturbed, &last, steady);
  ASSERT_EQ(hit, 0);
  EXPECT_TRUE(last);
  EXPECT_LT(lost, 0.01);
}

TEST(ThreadChoice, EachSizeClassChoosesForItselfAndTheDecisionIsNoted) {
  ThreadChoice tc;
  double now = 0;
  // A hand-off of 40 µs a step: two threads pay for large steps only.
  auto handoff = [](int live) {
    return [live](double, bool several) { return several ? 60e-9 + 40e-6 / live : 100e-9; };
  };
  bool small, large;
  run(tc, now, 0.3, 300, handoff(300), &small);
  EXPECT_EQ(tc.takenote(2),
            "# threads auto: 256-511 live particles, 1 thread 100.0 ns, 2 threads 193.3 ns per "
            "particle step: 1 thread for 0.5 s\n");
  EXPECT_EQ(tc.takenote(2), "");  // taken once
  run(tc, now, 1.0, 5000, handoff(5000), &large);
  EXPECT_FALSE(small);
  EXPECT_TRUE(large);
  EXPECT_FALSE(tc.several(300, true, now));  // back to the small beam: its own choice
}

}  // namespace
