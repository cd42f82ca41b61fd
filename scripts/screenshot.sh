#!/usr/bin/env bash
# Makes the README's pictures of the live console again, with the demo's own --screenshot
# option: app/console.png (the whole window, ten seconds after start) and
# app/console-detail.png (the closer look at a detector lit at that moment). The demo runs
# offscreen on the embedded simulator, with a settings store and project of its own, so that
# no earlier session's window or filters show.
#   scripts/screenshot.sh            PRIO_BUILD_DIR picks another build directory (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

build_dir="${PRIO_BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build_dir" --target prio-demo -j"$(nproc)"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
XDG_CONFIG_HOME="$scratch/config" XDG_CACHE_HOME="$scratch/cache" QT_QPA_PLATFORM=offscreen \
  "$build_dir/bin/prio-demo" --project "$scratch" --screenshot "$scratch/console.png" --after 10
if [ ! -f "$scratch/console-detail.png" ]; then
  echo "screenshot: no detector was lit at the picture; run it again" >&2
  exit 1
fi
cp "$scratch/console.png" app/console.png
cp "$scratch/console-detail.png" app/console-detail.png
echo "screenshot: app/console.png and app/console-detail.png written"
