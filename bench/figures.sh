#!/usr/bin/env bash
# Tracking speed figures in one go, from the benchmarks of an optimised build:
#   - ns per particle step on one thread: the plain array-of-structures RK4 reference kernel and
#     whole collision steps at lane widths 1, 2, 4 and 8 (those this processor runs);
#   - two-thread scaling of the widest width;
#   - the hand-off cost of a step and the beam size at which two threads start to pay;
#   - "threads auto" (two threads, or one where the steps measure that one is faster) against
#     -singlethread and against two threads at every step, while a second process keeps one
#     core busy;
#   - Mpts/s of the default run of `frontend` and of `decaychannel` on one thread, automatic
#     threads and two threads at every step.
# Usage: bench/figures.sh [BUILD_DIR]   (default: build; the build must have ordax_bench)
# Run it on an otherwise quiet machine: every figure except the busy-core one assumes the
# processors are free. Takes about three minutes.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
bench="$build/ordax_bench"
if [ ! -x "$bench" ]; then
  echo "figures.sh: $bench not found (build with -DCMAKE_BUILD_TYPE=RelWithDebInfo first)" >&2
  exit 1
fi
work="$(mktemp -d)"
busy=""
cleanup() {
  if [ -n "$busy" ]; then kill "$busy" 2>/dev/null || true; wait "$busy" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Runs the benchmarks matching $2 with JSON output into $work/$1.json.
run() {
  (cd "$build" && "$bench" --benchmark_filter="$2" --benchmark_format=json \
    --benchmark_out="$work/$1.json" --benchmark_out_format=json "${@:3}" >/dev/null 2>&1)
}

echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) processors"
echo "SIMD flags: $(grep -m1 '^flags' /proc/cpuinfo | tr ' ' '\n' | grep -E '^(avx2|fma|avx512(f|dq|bw|vl))$' | tr '\n' ' ')"
echo "Load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

run kernels 'BM_ReferenceAoSRK4|BM_StepAtWidth' --benchmark_min_time=2
run handoff 'BM_HandOff' --benchmark_min_time=1
run runs 'BM_LatticeRun'
# The busy core: a second process spinning for the whole measurement.
(while :; do :; done) &
busy=$!
run busysteps 'BM_StepAtWidth/width:(4|8)/threads:(1|2)' --benchmark_min_time=2
run busyruns 'BM_LatticeRun'
kill "$busy"
wait "$busy" 2>/dev/null || true
busy=""
# Automatic threads against one thread, the busy core a spinning thread of the benchmark itself.
run busyauto 'BM_StepWithABusyCore' --benchmark_min_time=2

/usr/bin/env python3 - "$work" <<'EOF'
import json, os, re, sys
work = sys.argv[1]

def load(name):
    path = os.path.join(work, name + ".json")
    if not os.path.exists(path):
        return []
    return [b for b in json.load(open(path))["benchmarks"] if b.get("run_type") != "aggregate"]

def ns_per_step(b):
    # Wall time per item, and the CPU time of the benchmark's own thread per item. The rate is
    # per wall second for benchmarks that run on real time, per CPU second for the others.
    per = 1e9 / b["items_per_second"]
    if "/real_time" in b["name"]:
        return per, per * b["cpu_time"] / b["real_time"]
    return per * b["real_time"] / b["cpu_time"], per

kernels = load("kernels")
ref = next((b for b in kernels if b["name"].startswith("BM_ReferenceAoSRK4")), None)
refwall, refcpu = ns_per_step(ref) if ref else (float("nan"), float("nan"))
print("One thread, ns per particle step (5000 mu+, 16-coil channel; wall / CPU of the thread)")
print(f"  reference AoS RK4 kernel   {refwall:7.1f} / {refcpu:7.1f}")
widths = {}
for b in kernels:
    m = re.match(r"BM_StepAtWidth/width:(\d+)/threads:(\d+)", b["name"])
    if not m or "items_per_second" not in b:
        continue
    w, t = int(m.group(1)), int(m.group(2))
    widths[(w, t)] = ns_per_step(b)
for w in (1, 2, 4, 8):
    if (w, 1) in widths:
        wall, cpu = widths[(w, 1)]
        print(f"  whole step, width {w}        {wall:7.1f} / {cpu:7.1f}   {wall / refwall:5.2f} / {cpu / refcpu:5.2f} x reference")
print()
print("Two threads (wall ns per particle step, speed-up over one thread at the same width)")
for w in (4, 8):
    if (w, 1) in widths and (w, 2) in widths:
        print(f"  width {w}: {widths[(w, 1)][0]:7.1f} -> {widths[(w, 2)][0]:7.1f}   x{widths[(w, 1)][0] / widths[(w, 2)][0]:.2f}")
print()
print("Hand-off: median step time on one and two threads (us), by live particles")
pays = None
for b in load("handoff"):
    m = re.match(r"BM_HandOff/particles:(\d+)", b["name"])
    if not m:
        continue
    n = int(m.group(1))
    print(f"  {n:5d}: {b['us1']:8.1f} {b['us2']:8.1f}   hand-off {b['handoff']:6.1f}")
    if pays is None and b["us2"] < b["us1"]:
        pays = n
print(f"  two threads pay from about {pays} live particles" if pays else
      "  two threads did not pay at any measured size")
print()

# Runs by lattice and thread mode: "single" (-singlethread), "auto" (threads auto on two),
# "two" (two threads at every step).
def runs(name):
    out = {}
    for b in load(name):
        m = re.match(r"BM_LatticeRun/(\w+)/threads:(\d+)/fixed:(\d+)", b["name"])
        if m:
            mode = "single" if m.group(2) == "1" else "two" if m.group(3) == "1" else "auto"
            out[(m.group(1), mode)] = b
    return out

def printruns(r):
    for lat in ("frontend", "decaychannel"):
        for mode in ("single", "auto", "two"):
            b = r.get((lat, mode))
            if b:
                print(f"  {lat:12s} {mode:6s}: {b['Mpts/s']:6.2f} Mpts/s  ({b['Mpts']:.2f} Mpts, {b['real_time']:.2f} s, CPU of the main thread {b['cpu_time']:.2f} s, score {b['score']:.4g})")
        if (lat, "single") in r and (lat, "auto") in r:
            print(f"  {lat:12s} auto/single time {r[(lat, 'single')]['Mpts/s'] / r[(lat, 'auto')]['Mpts/s']:.2f}")

print("Default runs (Mpts/s of wall time)")
printruns(runs("runs"))
print()
print("With a second process keeping one core busy")
busy = {}
for b in load("busysteps"):
    m = re.match(r"BM_StepAtWidth/width:(\d+)/threads:(\d+)", b["name"])
    if m and "items_per_second" in b:
        busy[(int(m.group(1)), int(m.group(2)))] = ns_per_step(b)[0]
for w in (4, 8):
    if (w, 1) in busy and (w, 2) in busy:
        print(f"  steps, width {w}: one thread {busy[(w, 1)]:7.1f} ns, two threads {busy[(w, 2)]:7.1f} ns   two/one {busy[(w, 2)] / busy[(w, 1)]:.2f}")
auto = {}
for b in load("busyauto"):
    m = re.match(r"BM_StepWithABusyCore/threads:(\d+)", b["name"])
    if m and "items_per_second" in b:
        auto[int(m.group(1))] = ns_per_step(b)[0]
if 1 in auto and 2 in auto:
    print(f"  steps, widest width: -singlethread {auto[1]:7.1f} ns, auto {auto[2]:7.1f} ns   auto/single {auto[2] / auto[1]:.2f}")
printruns(runs("busyruns"))
EOF
echo
echo "Load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
