#!/usr/bin/env bash
# Crash and full-disk safety of the files the client writes. The client runs on two short
# lattices with a tiny results-file limit (pruning after nearly every run), re-checks of new
# bests (queue rewrites) and a 1 s auto-save interval, and is killed with SIGKILL again and
# again: at random moments, and (with strace) exactly at the n-th rename or fsync, where a
# replaced file is half way. After every kill: "results.dat" and the removed-results store
# parse, no result that either held before is missing from both, the queue file is whole, and
# the auto-save verifies and restores. Then a full disk: a tiny tmpfs when this process may
# mount one, otherwise ENOSPC injected into the client's writes with strace; the client
# reports, keeps every earlier byte, and records again once space returns.
# Usage: crash_test.sh ORDAX_BINARY FILECHECK_BINARY SOURCE_DIR
set -u
bin=$1
filecheck=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/ordax_crash.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
home="$work/home"
mkdir -p "$home/lattices"
ln -s "$bin" "$home/ordax"
echo tester > "$home/user.txt"
cat > "$home/config.txt" <<'CFG'
Auto-send results ([Y]es, [N]o): N
Update lattice files from web every N hours (0=don't): 0
Download sample results file after a number of hours (0=don't, min. 6): 0
Threads (number or 'auto'): 1
Auto-save interval (seconds; 0 for no save): 1
Results file maximum size before pruning (MB, 0 to disable): 0.001
Keep mode ([B]est results, [F]irst, [L]atest or [R]andom): B
Keep proportion (%): 50
CFG
for name in alpha beta; do
  cat > "$home/lattices/$name.txt" <<'LAT'
t_max=15ns
{twiss-beam(B) species Energy(MeV) EnergySpread(MeV) TransEmitGeom(mm) betax(m) betay(m) population TimeSpread(ns)}
BPi "pi+" 250 100 2 0.3 0.3 40 1
{Solenoid(S) Radius(cm) Field(T) Length(cm)}
S1 25 [-4,4] 100
S2 25 [-4,4] 100
{Drift(D) Length(cm) Bore(cm)}
D1 30 25
{Finish-aperture(F) radius(cm) minenergy(MeV) maxenergy(MeV)}
FEnd 20 100 400
line: BPi,S1,D1,S2,FEnd;
LAT
done

kills=0; checks=0; lost=0; failures=0; appended=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Ends a client run under strace ($1, the tracer's PID). Killing only the tracer would leave
# the client running untraced, still writing while the files are checked and beside the next
# client in the same directory; so the client (the tracer's child) is killed first.
stoptraced() {
  pkill -KILL -P "$1" 2>/dev/null
  kill -KILL "$1" 2>/dev/null
  { wait "$1"; } 2>/dev/null
}

# Every result either file holds, one per line, sorted.
known() {
  { "$filecheck" results "$1/results.dat" 2>/dev/null
    "$filecheck" results "$1/results_removed.dat" 2>/dev/null; } | sort -u
}

# The checks after one kill; $1 is the list of results known before it.
aftercrash() {
  local before=$1 what=$2
  checks=$((checks + 1))
  "$filecheck" results "$home/results.dat" > /dev/null || fail "$what: results.dat does not parse"
  if [ -f "$home/results_removed.dat" ]; then
    "$filecheck" results "$home/results_removed.dat" > /dev/null ||
      fail "$what: the removed-results store does not parse"
  fi
  "$filecheck" queue "$home/queuecli.txt" > /dev/null || fail "$what: the queue file is not whole"
  "$filecheck" autosave "$home/autocli.sav" v4.47_dev || fail "$what: the auto-save is damaged"
  known "$home" > "$work/after"
  local missing
  missing=$(comm -23 "$before" "$work/after" | wc -l)
  lost=$((lost + missing))
  [ "$missing" -eq 0 ] || fail "$what: $missing earlier result(s) lost"
  appended=$((appended + $(comm -13 "$before" "$work/after" | wc -l)))
}

# 1. Kills at random moments.
RANDOM=4711
for i in $(seq 1 30); do
  known "$home" > "$work/before"
  (cd "$home" && exec ./ordax -c < /dev/null > "$work/run.log" 2>&1) &
  pid=$!
  pids+=("$pid")
  sleep "$((RANDOM % 20 / 10)).$((RANDOM % 10))$((RANDOM % 10))"
  kill -KILL "$pid" 2>/dev/null
  { wait "$pid"; } 2>/dev/null
  kills=$((kills + 1))
  aftercrash "$work/before" "random kill $i"
done
echo "random kills: 30; results now $(known "$home" | wc -l)"

# 2. Kills exactly inside the replacement of a file: at its rename, and at the sync before it.
if command -v strace > /dev/null && strace -f -o /dev/null -e inject=getpid:error=EPERM true 2>/dev/null; then
  for call in rename fsync; do
    for n in 1 2 3 4 5 6; do
      known "$home" > "$work/before"
      (cd "$home" && exec strace -f -o /dev/null -e trace=$call -e inject=$call:signal=KILL:when=$n \
        ./ordax -c < /dev/null > "$work/run.log" 2>&1) &
      pid=$!
      pids+=("$pid")
      for _ in $(seq 1 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
      stoptraced "$pid"
      kills=$((kills + 1))
      aftercrash "$work/before" "kill at $call $n"
    done
  done 2>/dev/null  # not the shell's notices of the killed tracers
  # At the end of a finished run, where its auto-save is removed.
  for n in 1 2; do
    known "$home" > "$work/before"
    (cd "$home" && exec strace -f -o /dev/null -e trace=unlink -P autocli.sav \
      -e inject=unlink:signal=KILL:when=$n ./ordax -c < /dev/null > "$work/run.log" 2>&1) &
    pid=$!
    pids+=("$pid")
    for _ in $(seq 1 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    stoptraced "$pid"
    kills=$((kills + 1))
    aftercrash "$work/before" "kill at the auto-save's removal $n"
  done 2>/dev/null
  echo "targeted kills (rename, fsync, auto-save removal): 14"
else
  echo "strace cannot inject here: targeted kills skipped"
fi

# 3. A full disk.
diskfull() {  # runs in a directory $1 on a nearly full file system
  local d=$1
  known "$d" > "$work/before"
  cp "$d/results.dat" "$work/results.before" 2>/dev/null || : > "$work/results.before"
  cp "$d/autocli.sav" "$work/auto.before" 2>/dev/null || : > "$work/auto.before"
  (cd "$d" && exec ./ordax -c < <(yes a) > "$work/full.log" 2>&1) &
  local pid=$!
  pids+=("$pid")
  # Until its first failed write (a run must end first; the settings file is not rewritten
  # when nothing in it changes).
  for _ in $(seq 1 300); do
    grep -aq -e "Could not write" -e "Could not open" -e "Could not update" "$work/full.log" && break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null || fail "full disk: the client stopped"
  # Held still while its files are inspected (a file read as it is being replaced or removed
  # would be two files at once); it goes on below.
  kill -STOP "$pid" 2>/dev/null
  grep -aq -e "Could not write" -e "Could not open" -e "Could not update" "$work/full.log" || fail "full disk: nothing reported"
  # Every earlier byte of the results file is still there.
  cmp -s "$work/results.before" <(head -c "$(stat -c %s "$work/results.before")" "$d/results.dat") ||
    fail "full disk: results.dat lost earlier bytes"
  "$filecheck" autosave "$d/autocli.sav" v4.47_dev || fail "full disk: the auto-save is damaged"
  # Removed (the run finished: that takes no space) or unchanged.
  [ -s "$work/auto.before" ] && [ -e "$d/autocli.sav" ] && ! cmp -s "$work/auto.before" "$d/autocli.sav" &&
    fail "full disk: the auto-save changed although nothing could be written"
  echo "full disk: $(grep -ac -e "Could not" "$work/full.log") failed writes reported, e.g." \
    "$(grep -a -m1 -o -e "Could not[^.;]*" "$work/full.log")"
  kill -CONT "$pid" 2>/dev/null
  # Space returns: the client records again.
  rm -f "$d/filler"
  local n0
  n0=$(known "$d" | wc -l)
  for _ in $(seq 1 200); do
    [ "$(known "$d" | wc -l)" -gt "$n0" ] && break
    sleep 0.1
  done
  [ "$(known "$d" | wc -l)" -gt "$n0" ] || fail "full disk: no result recorded after space returned"
  kill -KILL "$pid"; { wait "$pid"; } 2>/dev/null
  kills=$((kills + 1))
  aftercrash "$work/before" "full disk"
}
fsdir="$work/fs"
mkdir -p "$fsdir"
if unshare -m sh -c "mount -t tmpfs -o size=2m tmpfs '$fsdir'" 2>/dev/null; then
  # Our own mount namespace: the tmpfs vanishes with it.
  export -f diskfull aftercrash known fail
  export filecheck work
  echo "full disk: tmpfs"
  unshare -m bash -c '
    set -u
    mount -t tmpfs -o size=2m tmpfs "$1" || exit 3
    cp -r "$2/lattices" "$2/config.txt" "$2/user.txt" "$1/"
    for f in results.dat results_removed.dat queuecli.txt autocli.sav; do
      [ -f "$2/$f" ] && cp "$2/$f" "$1/"
    done
    ln -s "$3" "$1/ordax"
    dd if=/dev/zero of="$1/filler" bs=4k 2>/dev/null
    failures=0; kills=0; checks=0; lost=0; appended=0; pids=()
    home=$1
    diskfull "$1"
    echo "$failures $kills $checks $lost $appended" > "$4"
  ' fullfs "$fsdir" "$home" "$bin" "$work/fullcounts"
  read -r f k c l a < "$work/fullcounts" || { f=1; k=0; c=0; l=0; a=0; }
  failures=$((failures + f)); kills=$((kills + k)); checks=$((checks + c))
  lost=$((lost + l)); appended=$((appended + a))
else
  echo "full disk: mount not permitted, ENOSPC injected with strace"
  known "$home" > "$work/before"
  cp "$home/results.dat" "$work/results.before" 2>/dev/null || : > "$work/results.before"
  (cd "$home" && exec strace -f -o /dev/null -e trace=write -e inject=write:error=ENOSPC:when=1+ \
    -P results.dat -P results.dat.new -P autocli.sav.new -P queuecli.txt.new \
    ./ordax -c < <(yes a) > "$work/full.log" 2>&1) &
  pid=$!
  pids+=("$pid")
  sleep 4
  stoptraced "$pid"
  kills=$((kills + 1))
  grep -aq -e "Could not write" "$work/full.log" || fail "full disk: nothing reported"
  cmp -s "$work/results.before" <(head -c "$(stat -c %s "$work/results.before")" "$home/results.dat") ||
    fail "full disk: results.dat lost earlier bytes"
  aftercrash "$work/before" "injected full disk"
fi

# 4. The queue under -q: entries are taken off the queue, re-run, rewritten and recorded, and
# the client is killed at random moments and at the n-th rename or fsync. Every queued genome
# (its two genes) stays in the queue or reaches "results.dat", and after a last clean run
# "results.txt" holds every result "results.dat" holds (a recording cut between the two
# appends is completed at the next start).
qhome="$work/qhome"
mkdir -p "$qhome"
cp -r "$home/lattices" "$home/user.txt" "$qhome/"
ln -s "$bin" "$qhome/ordax"
grep -v -e '^Results file maximum' -e '^Auto-save' "$home/config.txt" > "$qhome/config.txt"
echo 'Auto-save interval (seconds; 0 for no save): 0' >> "$qhome/config.txt"
: > "$work/seeded"
seeds=0
# Twelve test entries with genes of their own whenever the queue has run empty.
seedqueue() {
  [ -s "$qhome/queuecli.txt" ] && return
  local i a b
  for i in $(seq 1 12); do
    seeds=$((seeds + 1))
    a=$(( (seeds * 37) % 1000 )); b=$(( (seeds * 611 + 7) % 1000 ))
    printf 's1f=%03d;s2f=%03d;\r\nTEST <%s>\r\n' "$a" "$b" "$( ((i % 2)) && echo alpha || echo beta)"
    printf 's1f=%03d;s2f=%03d;\n' "$a" "$b" >> "$work/seeded"
  done > "$qhome/queuecli.txt"
}
genes() { grep -a -o 's1f=[0-9]*;s2f=[0-9]*;' "$@" 2>/dev/null | sed 's/^[^:]*://' | sort -u; }
qkills=0; qlost=0
afterqkill() {
  local what=$1 missing
  checks=$((checks + 1))
  "$filecheck" results "$qhome/results.dat" > /dev/null || fail "$what: results.dat does not parse"
  "$filecheck" queue "$qhome/queuecli.txt" > /dev/null || fail "$what: the queue file is not whole"
  sort -u "$work/seeded" > "$work/qwant"
  genes "$qhome/queuecli.txt" "$qhome/results.dat" "$qhome/results.pending" > "$work/qhave"
  missing=$(comm -23 "$work/qwant" "$work/qhave" | wc -l)
  qlost=$((qlost + missing))
  [ "$missing" -eq 0 ] || fail "$what: $missing queued genome(s) lost: $(comm -23 "$work/qwant" "$work/qhave" | head -3 | tr '\n' ' ')"
}
RANDOM=2323
for i in $(seq 1 40); do
  seedqueue
  (cd "$qhome" && exec ./ordax -c -q < /dev/null > "$work/q.log" 2>&1) &
  pid=$!
  pids+=("$pid")
  sleep "0.$((RANDOM % 10))$((RANDOM % 10))"
  kill -KILL "$pid" 2>/dev/null
  { wait "$pid"; } 2>/dev/null
  qkills=$((qkills + 1))
  afterqkill "random kill $i under -q"
done
if command -v strace > /dev/null && strace -f -o /dev/null -e inject=getpid:error=EPERM true 2>/dev/null; then
  for call in rename fsync unlink; do
    for n in 1 2 3 4 5 6 7 8; do
      seedqueue
      (cd "$qhome" && exec strace -f -o /dev/null -e trace=$call -e inject=$call:signal=KILL:when=$n \
        ./ordax -c -q < /dev/null > "$work/q.log" 2>&1) &
      pid=$!
      pids+=("$pid")
      for _ in $(seq 1 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
      stoptraced "$pid"
      qkills=$((qkills + 1))
      afterqkill "kill at $call $n under -q"
    done
  done 2>/dev/null
fi
# A last run to the end of the queue: both results files then hold the same results.
(cd "$qhome" && ./ordax -c -q < /dev/null > "$work/q.log" 2>&1) || fail "the last -q run failed"
afterqkill "after the last -q run"
[ ! -s "$qhome/queuecli.txt" ] || fail "the last -q run left entries in the queue"
"$filecheck" results "$qhome/results.dat" | sort > "$work/qdat"
"$filecheck" results "$qhome/results.txt" | sort > "$work/qtxt"
cmp -s "$work/qdat" "$work/qtxt" ||
  fail "results.txt and results.dat differ: $(comm -3 "$work/qdat" "$work/qtxt" | wc -l) result(s)"
kills=$((kills + qkills)); lost=$((lost + qlost))
echo "kills under -q: $qkills, genomes queued: $(sort -u "$work/seeded" | wc -l)," \
  "results recorded: $(wc -l < "$work/qdat"), queued genomes lost: $qlost"

echo "kills: $kills, checks: $checks, results appended and checked: $appended, results lost: $lost"
if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
