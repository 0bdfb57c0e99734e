#!/usr/bin/env bash
# Builds the program and its tests twice (plain, and with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=2
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DTAV_WERROR=ON "$@" >/dev/null
  ninja -C "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 300)
}

echo "== plain build"
run_suite build/ci
echo "== sanitizer build (ASan+UBSan)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite build/ci-asan -DTAV_SANITIZE=ON
