#!/usr/bin/env bash
# Builds the program and its tests twice (plain, and with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test in both builds; then runs the
# threaded parts (message bus, processes, sockets) under ThreadSanitizer.
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
echo "== thread sanitizer build (threaded parts)"
cmake -S . -B build/ci-tsan -G Ninja -DTAV_WERROR=ON -DTAV_TSAN=ON >/dev/null
ninja -C build/ci-tsan -j"$jobs" tav_platform_tests tav_download_tests tav_crash_child tav-post tav-devserver
(cd build/ci-tsan && ctest --output-on-failure -j"$jobs" --timeout 300 -R '^(MessageBus|Process|CustomizeSocket|InstanceGuard|Registry|HostTable|HttpDns)')
