#include "sim/threadchoice.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdio>

namespace {

// The last decision of each size class in this process (0 none yet, 1 one thread, 2 several),
// the starting choice of later runs: a client runs design after design on the same machine
// under much the same load.
std::atomic<int8_t> lastdecision[32] = {};

int sizeclass(int32_t live) {
  return live > 0 ? (int)std::bit_width((uint32_t)live) - 1 : 0;
}

}  // namespace

bool ThreadChoice::several(int32_t live, bool cyclestart, double now) {
  const int k = sizeclass(live);
  SizeClass& c = classes_[k];
  if (!c.seen) {
    // A class met for the first time starts with the choice an earlier run took for it, or
    // else that of the nearest class that has one (beams mostly shrink or grow slowly through
    // the classes), or else the calling thread alone; it is compared at once.
    c.seen = true;
    const int8_t earlier = lastdecision[k].load(std::memory_order_relaxed);
    c.several = earlier == 2;
    for (int d = 1; earlier == 0 && d < NCLASSES; d++) {
      const SizeClass* near = k - d >= 0 && classes_[k - d].compared   ? &classes_[k - d]
                              : k + d < NCLASSES && classes_[k + d].compared ? &classes_[k + d]
                                                                        : nullptr;
      if (near) {
        c.several = near->several;
        break;
      }
    }
  }
  // A comparison belongs to one class: when the beam moves to another, it is dropped (and
  // taken up again when the beam comes back, the class's next time having passed).
  if (stage_ > 0 && k != class_) stage_ = 0;
  if (cyclestart) {
    if (settling_) {
      settling_ = false;
    } else if (stage_ > 0 && stagetime_ >= WINDOW) {
      if (stage_ < 3) {
        stage_++;
        stagetime_ = 0;
        settling_ = true;
      } else {
        decide(c, now);
        stage_ = 0;
      }
    }
    if (stage_ == 0 && now >= c.next) {
      class_ = k;
      stage_ = 1;
      stagetime_ = 0;
      settling_ = true;
      time_[0] = time_[1] = work_[0] = work_[1] = 0;
    }
  }
  return stage_ == 2 ? !c.several : c.several;
}

void ThreadChoice::measured(bool ranonseveral, double seconds, int64_t work) {
  // A step that advanced nothing (every particle still waiting for its release) says nothing
  // about the cost of a particle step.
  if (stage_ == 0 || settling_ || work <= 0) return;
  stagetime_ += seconds;
  time_[ranonseveral] += seconds;
  work_[ranonseveral] += (double)work;
}

void ThreadChoice::decide(SizeClass& c, double now) {
  if (work_[0] > 0 && work_[1] > 0) {
    const double one = time_[0] / work_[0], all = time_[1] / work_[1];
    const bool several = all < one * SEVERALBELOW;
    if (c.compared && several != c.several && !c.doubt) {
      // A comparison that contradicts an earlier one may have met a passing disturbance (another
      // process taking a processor for a few milliseconds): it is repeated at once, and the
      // choice changes when the repetition agrees.
      c.doubt = true;
      c.next = now;
      return;
    }
    // Each clear confirmation doubles the time to the next look; a change or a close call
    // brings looks back often.
    const bool clear = several ? all < one * (1 - CLEARMARGIN) : one < all * (1 - CLEARMARGIN);
    c.interval = c.compared && several == c.several && !c.doubt && clear
                     ? std::min(c.interval * 2, LONGESTINTERVAL)
                     : FIRSTINTERVAL;
    c.doubt = false;
    c.several = several;
    c.compared = true;
    lastdecision[class_].store(several ? 2 : 1, std::memory_order_relaxed);
    pending_ = true;
    noteclass_ = class_;
    noteone_ = one;
    noteseveral_ = all;
    notechoice_ = several;
    noteinterval_ = c.interval;
  }
  c.next = now + c.interval;
}

std::string ThreadChoice::takenote(int threads) {
  if (!pending_) return std::string();
  pending_ = false;
  char line[200];
  std::snprintf(line, sizeof line,
                "# threads auto: %lld-%lld live particles, 1 thread %.1f ns, %d threads %.1f ns "
                "per particle step: %d %s for %g s\n",
                1LL << noteclass_, (2LL << noteclass_) - 1, noteone_ * 1e9, threads,
                noteseveral_ * 1e9, notechoice_ ? threads : 1,
                notechoice_ ? "threads" : "thread", noteinterval_);
  return line;
}
