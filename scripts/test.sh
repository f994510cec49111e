#!/usr/bin/env bash
# Builds everything and runs every test: the unit and end-to-end tests on the normal build,
# the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer, and each fuzz
# target for a short bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTH_SANITIZE=ON -DTH_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"

status=0
echo "== sanitizer build: unit tests"
(cd build-asan && ctest -L unit -j "$jobs" --output-on-failure --timeout 300) || status=1
if [ -x fuzz/run.sh ]; then
  echo "== fuzz targets (short runs)"
  fuzz/run.sh "${FUZZ_SECONDS:-20}" || status=1
fi
echo "== unit and end-to-end tests"
(cd build && ctest -j "$jobs" --output-on-failure --timeout 600) || status=1
exit $status
