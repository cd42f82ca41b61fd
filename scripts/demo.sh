#!/usr/bin/env bash
# Installs what is missing, builds the demo host with the plug-in in build/ and runs it.
#   scripts/demo.sh                            against the embedded simulator
#   scripts/demo.sh --server ws://HOST:PORT    against another server
#   scripts/demo.sh --gtfs DIR                 the embedded simulator on a GTFS feed
# Extra arguments go to prio-demo. Without a display (no DISPLAY, no WAYLAND_DISPLAY) the
# demo runs offscreen, writes a picture of its window to demo-screenshot.png after 6 s and quits.
# PRIO_BUILD_DIR picks another build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

build_dir="${PRIO_BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build_dir" --target prio-demo -j"$(nproc)"

demo="$build_dir/bin/prio-demo"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  shot="$PWD/demo-screenshot.png"
  echo "demo: no display, running offscreen; the window's picture goes to $shot"
  QT_QPA_PLATFORM=offscreen "$demo" --screenshot "$shot" --after 6 "$@"
  echo "demo: screenshot: $shot"
else
  exec "$demo" "$@"
fi
