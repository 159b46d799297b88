#!/usr/bin/env bash
# A run stopped with Ctrl-C, SIGTERM or SIGHUP is auto-saved before the program exits; the next
# start says "Restored simulation at ...ns" and finishes the same run with the same result as a
# run that was never stopped (same seed, no free parameters: the queue entry it records, score,
# work and check value, must be byte for byte the same).
# Usage: resume_test.sh ORDAX_BINARY SOURCE_DIR
set -u
bin=$1
src=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/ordax_resume.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

# A home: the binary linked in, one lattice (pions decaying along a solenoid channel, fixed
# seed), no network, one thread, auto-save every second, and a CPU throttle that stretches the
# run in time without changing it.
home() {
  mkdir -p "$1/lattices"
  ln -s "$bin" "$1/ordax"
  echo tester > "$1/user.txt"
  cat > "$1/config.txt" <<CFG
Auto-send results ([Y]es, [N]o): N
Update lattice files from web every N hours (0=don't): 0
Download sample results file after a number of hours (0=don't, min. 6): 0
Threads (number or 'auto'): 1
Auto-save interval (seconds; 0 for no save): 1
CPU throttle (%): 25
CFG
  cat > "$1/lattices/resume.txt" <<'LAT'
t_max=40ns
seedbase=4242
global_bore=0.3
{twiss-beam(B) species Energy(MeV) EnergySpread(MeV) TransEmitGeom(mm) betax(m) betay(m) population TimeSpread(ns)}
BPi "pi+" 250 100 2 0.3 0.3 1500 1
{Solenoid(S) Radius(cm) Field(T) Length(cm)}
{Drift(D) Length(cm) Bore(cm)}
#for (i = 1; i <= 8; i = i + 1) {#
S#i# 25 2 100
D#i# 20 25
#}#
{Finish-aperture(F) radius(cm) minenergy(MeV) maxenergy(MeV)}
FEnd 5 140 180
channel: BPi#for (i = 1; i <= 8; i = i + 1) {#,S#i#,D#i##}#,FEnd;
LAT
}

failures=0
check() {  # check CONDITION-STATUS MESSAGE
  if [ "$1" -ne 0 ]; then echo "FAIL: $2"; failures=$((failures + 1)); fi
}

home "$work/ref"
(cd "$work/ref" && ./ordax -c -once < /dev/null > out.txt 2>&1)
check $? "the uninterrupted run ended with status $?"
reference=$(cat "$work/ref/queuecli.txt" 2>/dev/null)
[ -n "$reference" ]; check $? "the uninterrupted run recorded nothing"
echo "uninterrupted: $(grep -a -o 'Score [^)]*)' "$work/ref/out.txt")"

for sig in INT TERM HUP; do
  h="$work/$sig"
  home "$h"
  (cd "$h" && exec ./ordax -c -once < /dev/null > out1.txt 2>&1) &
  pid=$!
  pids+=("$pid")
  # Stop it once tracking has gone on long enough for its first timed auto-save (1 s).
  for _ in $(seq 1 600); do
    grep -aq -- "- Starting -" "$h/out1.txt" 2>/dev/null && [ -f "$h/autocli.sav" ] && break
    sleep 0.05
  done
  sleep 0.3
  kill -"$sig" "$pid"
  wait "$pid"
  status=$?
  check $status "SIG$sig: the stopped program ended with status $status"
  [ ! -f "$h/queuecli.txt" ]; check $? "SIG$sig: the run had finished before it was stopped"
  grep -aq "Auto-saving..." "$h/out1.txt"; check $? "SIG$sig: no auto-save on the way out"
  (cd "$h" && ./ordax -c -once < /dev/null > out2.txt 2>&1)
  check $? "SIG$sig: the resumed run failed"
  restored=$(grep -a -o 'Restored simulation at -\?[0-9.]*ns' "$h/out2.txt")
  ns=${restored#Restored simulation at }
  ns=${ns%ns}
  # The beam is released from -1 ns on.
  awk -v t="$ns" 'BEGIN { exit !(t != "" && t > -0.9) }'
  check $? "SIG$sig: not restored mid-run ('$restored')"
  [ "$(cat "$h/queuecli.txt" 2>/dev/null)" = "$reference" ]
  check $? "SIG$sig: the resumed run's result differs from the uninterrupted one"
  [ ! -f "$h/autocli.sav" ]; check $? "SIG$sig: the auto-save file outlived the finished run"
  echo "SIG$sig: $restored, then $(grep -a -o 'Score [^)]*)' "$h/out2.txt")"
  if [ "$failures" -ne 0 ]; then
    echo "--- stopped run:"; tail -c 600 "$h/out1.txt"; echo
    echo "--- resumed run:"; head -c 900 "$h/out2.txt"; echo
  fi
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "resumed runs: 3, results identical to the uninterrupted run: 3"
