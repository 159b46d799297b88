#!/usr/bin/env bash
# Installs the Debian packages Ordax needs to build and test. As root it runs apt-get itself;
# otherwise it prints the exact command to run and stops.
set -euo pipefail
need=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev)
# The project server (optional: built only when these are there).
need+=(libcpp-httplib-dev libsqlite3-dev libpq-dev)
# GLFW and the GL headers: the OpenGL window of graphics mode (built only when they are found).
need+=(libglfw3-dev libgl-dev)
# strace: the crash test kills the client at chosen system calls and injects a full disk;
# procps: its pkill ends a traced client by its tracer's PID.
# tinyproxy, php and curl: the HTTP client's tests run them as loopback peers; tnftp and
# pyftpdlib: the FTP upload's tests drive the system's FTP client against a loopback server.
# postgresql, chromium and imagemagick: the server's tests start a throw-away PostgreSQL
# cluster, load the status page in headless Chromium and check its screenshot.
# xvfb, Mesa's drivers, Xlib/XTest and python3: the window's test draws on a virtual display
# and moves the pointer and presses keys there.
if [ "${1:-}" = "--test" ]; then
  need+=(clang libclang-rt-14-dev strace procps tinyproxy-bin php-cli curl tnftp python3-pyftpdlib)
  need+=(postgresql chromium imagemagick)
  need+=(xvfb libgl1-mesa-dri libx11-6 libxtst6 python3)
fi
# --docs: the README's pictures (scripts/docs-pictures.sh): tmux, ImageMagick, Chromium.
if [ "${1:-}" = "--docs" ]; then
  need+=(xvfb libgl1-mesa-dri tmux imagemagick chromium)
fi
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
else
  echo "Ordax needs these packages: ${missing[*]}"
  echo "Install them with:"
  echo "  sudo apt-get install -y ${missing[*]}"
  exit 1
fi
