// Threads auto: whether a run's steps go faster on all the stepping threads or on the calling
// thread alone depends on the machine (two logical processors may share one core's arithmetic
// units), on its other processes and on the live section's size (the hand-off costs the same
// for any step), and changes during a run; so from time to time the steps run three windows of
// whole refresh cycles (the present choice, the other, the present choice) and keep the faster,
// for each size class of the live section (powers of two). Results never depend on the choice:
// the stepping cuts the beam into fixed chunks. Owned by a StepContext; its calling thread only.
#pragma once

#include <cstdint>
#include <string>

class ThreadChoice {
 public:
  // Step time a window collects before it ends (at the next refresh cycle's start), in s, after
  // a first refresh cycle that is not counted: the change of thread count has passing costs of
  // its own (a worker that slept gets its processor back at once from the process it shared
  // it with, for a few milliseconds), and the window must be long against them.
  static constexpr double WINDOW = 0.025;
  // Time from one comparison to the next in a size class: the first, and the longest it grows
  // to while comparisons keep confirming the choice, in s.
  static constexpr double FIRSTINTERVAL = 0.5;
  static constexpr double LONGESTINTERVAL = 8.0;
  // Several threads are chosen only when they take at most this fraction of the single
  // thread's time per particle step: when the two are about as fast, one thread leaves the
  // other processor to the rest of the machine.
  static constexpr double SEVERALBELOW = 0.98;
  // The time to the next look grows only when the faster count won by more than this fraction:
  // close calls are looked at again soon (they cost little to look at, and the beam may be
  // entering a part of the machine where the other count does better).
  static constexpr double CLEARMARGIN = 0.1;

  // At the start of a step whose live section (`live` particles) the settings would share among
  // several threads: whether it runs on several (true) or on the calling thread alone.
  // `cyclestart`: the step starts a refresh cycle (windows begin and end there only, so that each
  // holds whole cycles); `now`: eithertime().
  bool several(int32_t live, bool cyclestart, double now);

  // After that step: whether it ran on several threads or on one, its wall time in s and the
  // particles it advanced. Steps of other thread counts (the thread-overhead log cycles through
  // them all) are not passed.
  void measured(bool ranonseveral, double seconds, int64_t work);

  // A line describing the last decision taken (a comparison's outcome), then empty until the
  // next one; `threads`: the thread count that "several" stands for.
  std::string takenote(int threads);

 private:
  struct SizeClass {
    bool seen = false;      // the class has had a step
    bool compared = false;  // a comparison has decided `several`
    bool several = false;   // the present choice
    bool doubt = false;     // the last comparison contradicted the choice; repeated at once
    double interval = FIRSTINTERVAL;  // s from this comparison to the next
    double next = 0;        // eithertime() of the next comparison
  };
  static constexpr int NCLASSES = 32;  // class k: live sections of 2^k to 2^(k+1) - 1 particles
  SizeClass classes_[NCLASSES];

  // The comparison under way: its class, its stage (0 none; 1 and 3 the present choice, 2 the
  // other), the step time of the present stage's window, and the time and work of its steps
  // on one thread [0] and on several [1].
  int class_ = -1;
  int stage_ = 0;
  bool settling_ = false;  // in the present stage's first refresh cycle, not counted
  double stagetime_ = 0;
  double time_[2] = {0, 0};
  double work_[2] = {0, 0};

  // The last decision, for takenote: its class, and s per particle step on one thread and on
  // several; `pending` until taken.
  bool pending_ = false;
  int noteclass_ = 0;
  double noteone_ = 0, noteseveral_ = 0;
  bool notechoice_ = false;
  double noteinterval_ = 0;

  void decide(SizeClass& c, double now);
};
