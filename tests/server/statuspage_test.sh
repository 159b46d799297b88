#!/usr/bin/env bash
# The status page in a real browser: a server with one lattice and results from the client
# (run in its own folder, uploaded with curl) is loaded by headless Chromium; the page's DOM
# must hold the lattice table with its row, the plot and the contributor, the screenshot must
# show the plot's line and the tables' headers in their colours, and the browser must log no
# console message (the page has no script, so any would be an error).
#   tests/server/statuspage_test.sh ORDAX_SERVER SOURCE_DIR
set -uo pipefail
server=$(realpath "$1")
src=$(realpath "$2")
client=$(dirname "$server")/ordax
for p in chromium convert curl; do
  command -v $p >/dev/null || { echo "SKIPPED: $p is not installed (scripts/deps.sh --test)"; exit 77; }
done
dir=$(mktemp -d /tmp/ordax_status.XXXXXX)
spid=
cleanup() {
  [ -n "$spid" ] && kill -TERM "$spid" 2>/dev/null && wait "$spid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAILED: $*"; exit 1; }

mkdir -p "$dir/root" "$dir/client/lattices" "$dir/client/datafiles"
ln -s "$src/datafiles" "$dir/root/datafiles"
sed 's/^S1 20 2 100/S1 20 [1,4] 100/' "$src/lattices/_pencil.txt" > "$dir/Pencilfree.txt"
"$server" publish --root "$dir/root" "$dir/Pencilfree.txt" || fail "publish"
"$server" serve --root "$dir/root" --listen 127.0.0.1:0 --client none \
  >"$dir/server.out" 2>"$dir/server.log" &
spid=$!
port=
for _ in $(seq 200); do
  port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$dir/server.out")
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || fail "the server did not start: $(cat "$dir/server.log")"

# Two results from the client: each first run is quarantined and the queue run settles it.
cd "$dir/client"
ln -s "$client" ordax
cp "$dir/Pencilfree.txt" lattices/
echo carol > user.txt
printf '%s\n' "Auto-send results ([Y]es, [N]o): N" "Update lattice files from web every N hours (0=don't): 0" \
  "Download sample results file after a number of hours (0=don't, min. 6): 0" "Threads (number or 'auto'): 1" \
  "Auto-save interval (seconds; 0 for no save): 0" > config.txt
for _ in 1 2; do
  timeout 120 ./ordax -c -once Pencilfree >>client.log 2>&1 && timeout 120 ./ordax -c -q >>client.log 2>&1 ||
    fail "client run: $(tail -5 client.log)"
done
reply=$(curl -s -m 60 -H 'Expect:' -F folder=v4.4x -F "data=@results.txt;filename=20261207-120000-abcde-carol.txt" \
  "http://127.0.0.1:$port/ordax/uploadresults.php")
echo "$reply" | grep -q "Accepted 2," || fail "upload: $reply"

url="http://127.0.0.1:$port/"
flags=(--headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking
       --disable-component-update --disable-sync --enable-logging=stderr --v=0)
timeout 120 chromium "${flags[@]}" --user-data-dir="$(mktemp -d "$dir/chr.XXXXXX")" --dump-dom "$url" \
  >"$dir/dom.html" 2>"$dir/chrome.log"
timeout 120 chromium "${flags[@]}" --user-data-dir="$(mktemp -d "$dir/chr.XXXXXX")" --window-size=1280,1400 \
  --screenshot="$dir/shot.png" "$url" >/dev/null 2>>"$dir/chrome.log"
for want in '<table id="lattices">' '<td>Pencilfree</td>' '<polyline' '<td>carol</td>' 'class="plot"'; do
  grep -qF "$want" "$dir/dom.html" || fail "the page lacks $want"
done
[ -s "$dir/shot.png" ] || fail "no screenshot"
# Pixels of the plot's line (#d03030) and of the table headers (#2040a0).
colours=$(convert "$dir/shot.png" -format %c histogram:info:-)
line=$(echo "$colours" | grep -i '#D03030' | awk '{s+=$1} END {print s+0}')
head=$(echo "$colours" | grep -i '#2040A0' | awk '{s+=$1} END {print s+0}')
[ "$line" -gt 100 ] || fail "the plot's line is not on the screenshot ($line pixels)"
[ "$head" -gt 1000 ] || fail "the table headers are not on the screenshot ($head pixels)"
if grep -i "CONSOLE" "$dir/chrome.log"; then fail "the browser logged console messages"; fi
kill -TERM "$spid"
wait "$spid"
code=$?
spid=
[ "$code" -eq 0 ] || fail "the server ended with $code on SIGTERM"
echo "status page: table, plot and contributor shown ($line line pixels, $head header pixels); no console message"
