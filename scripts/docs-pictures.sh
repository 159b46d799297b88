#!/usr/bin/env bash
# Makes the README's pictures in docs/ from runs of the default design in a scratch home:
#   window-view.png    the OpenGL window (-w) on a virtual display (Xvfb), the program's own
#                      screenshot (ORDAX_SCREENSHOT) a few seconds into the run;
#   terminal-view.png  the terminal view (-g) in an 80 × 24 tmux pane, captured with its colours
#                      and drawn as an HTML page in headless Chromium (also terminal-view.ansi);
#   plots-run.png      the -plot report of one run, in headless Chromium.
# Usage: scripts/docs-pictures.sh BUILD_DIR [OUT_DIR]   (needs scripts/deps.sh --docs)
# OUT_DIR defaults to docs/; the runs choose their genomes at random, so look at the pictures
# before replacing the README's.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: docs-pictures.sh BUILD_DIR [OUT_DIR]}" && pwd)
out=$(mkdir -p "${2:-$src/docs}" && cd "${2:-$src/docs}" && pwd)
home=$(mktemp -d)
profile=$(mktemp -d)
xpid=""
cleanup() {
  [ -n "$xpid" ] && kill "$xpid" 2>/dev/null || true
  rm -rf "$home" "$profile"
}
trap cleanup EXIT
mkdir -p "$home/lattices" "$home/datafiles"
cp "$src/lattices/decaychannel.txt" "$home/lattices/"
ln -s "$build/ordax" "$home/ordax"
printf 'tester' > "$home/user.txt"
cat > "$home/config.txt" <<'EOF'
Auto-send results ([Y]es, [N]o): N
Update lattice files from web every N hours (0=don't): 0
Download sample results file after a number of hours (0=don't, min. 6): 0
Threads (number or 'auto'): 1
Auto-save interval (seconds; 0 for no save): 0
EOF

chromium_shot() {  # page.html out.png width height
  /usr/bin/chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$profile" --hide-scrollbars --window-size="$3,$4" \
    --screenshot="$2" "file://$1" >/dev/null 2>&1
}

# The window: a frame well into the run (the pions have decayed into muons along the way).
exec 5< <(Xvfb -displayfd 1 -screen 0 1280x1024x24 -nolisten tcp 2>/dev/null)
xpid=$!
read -r -t 10 dpy <&5
(cd "$home" && DISPLAY=":$dpy" ORDAX_SCREENSHOT="$home/shot.ppm" ./ordax -w -once decaychannel \
  >/dev/null 2>&1 & echo $! > "$home/run.pid")
sleep "${WINDOW_SECONDS:-12}"
kill "$(cat "$home/run.pid")" 2>/dev/null || true
sleep 1
convert "$home/shot.ppm" "$out/window-view.png"
kill "$xpid"; xpid=""

# The terminal view: zoomed in (two '+') on the beam, captured with its colour escapes.
session="ordax-docs-$$"
tmux new-session -d -s "$session" -x 80 -y 24 "cd '$home' && ./ordax -g -once decaychannel"
sleep 6
tmux send-keys -t "$session" + +
sleep 3
tmux capture-pane -e -p -t "$session" > "$out/terminal-view.ansi"
tmux kill-session -t "$session"
/usr/bin/python3 - "$out/terminal-view.ansi" "$home/terminal.html" <<'EOF'
import html, re, sys
# The 16 colours of a dark terminal theme, for the SGR codes the view uses.
COL = {30: "#000", 37: "#c0c0c0", 40: "#000", 44: "#00007f", 90: "#808080", 91: "#ff5555",
       92: "#55ff55", 93: "#ffff55", 94: "#5555ff", 95: "#ff55ff", 97: "#fff"}
out = []
for line in open(sys.argv[1], encoding="utf-8").read().split("\n"):
    fg, bg, row = "#c0c0c0", None, ""
    for part in re.split(r"(\x1b\[[0-9;]*m)", line):
        if part.startswith("\x1b["):
            for code in [int(c) if c else 0 for c in part[2:-1].split(";")]:
                if code == 0: fg, bg = "#c0c0c0", None
                elif 30 <= code <= 37 or 90 <= code <= 97: fg = COL.get(code, fg)
                elif 40 <= code <= 47: bg = COL.get(code, bg)
        elif part:
            style = "color:%s" % fg + (";background:%s" % bg if bg else "")
            row += '<span style="%s">%s</span>' % (style, html.escape(part))
    out.append(row)
open(sys.argv[2], "w", encoding="utf-8").write(
    "<html><body style='margin:8px;background:#1e1e1e'><pre style='font:14px/17px "
    "\"DejaVu Sans Mono\",monospace;margin:0'>" + "\n".join(out[:24]) + "</pre></body></html>")
EOF
chromium_shot "$home/terminal.html" "$out/terminal-view.png" 760 440

# The plots of one run.
(cd "$home" && ./ordax -c -plot decaychannel >/dev/null 2>&1)
chromium_shot "$home/plot_decaychannel.html" "$out/plots-run.png" 1360 1240
echo "pictures written to $out"
