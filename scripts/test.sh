#!/usr/bin/env bash
# Installs what is missing, builds everything from scratch in build/ and runs the test suite.
#   scripts/test.sh                 release build, all tests
#   SANITIZE=1 scripts/test.sh      AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

build_dir=build
cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${SANITIZE:-0}" = "1" ]; then
  build_dir=build-asan
  cmake_args=(-DCMAKE_BUILD_TYPE=Debug -DPRIO_SANITIZE=ON)
fi

cmake -S . -B "$build_dir" "${cmake_args[@]}"
cmake --build "$build_dir" -j"$(nproc)"

export QT_QPA_PLATFORM=offscreen
cd "$build_dir"
# The sanitizers write their reports here (tests/CMakeLists.txt sets their log_path).
reports=sanitizer-reports
rm -f "$reports"/report* 2>/dev/null || true
status=0
ctest --output-on-failure -j"$(nproc)" --timeout 300 || status=$?
if [ "${SANITIZE:-0}" = "1" ] && compgen -G "$reports/report*" >/dev/null; then
  for report in "$reports"/report*; do
    echo "---- $report"
    cat "$report"
  done
  echo "test: the sanitizers reported faults (above)" >&2
  status=1
fi
exit "$status"
