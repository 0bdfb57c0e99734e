#!/usr/bin/env bash
# Builds tav and runs it in a sandbox machine root (sandbox/root), then shows
# what it left: its log, moved to its dated name at exit.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

cmake -S . -B build/demo -G Ninja -DTAV_BUILD_TESTS=OFF >/dev/null
ninja -C build/demo -j2 tav

root="$PWD/sandbox/root"
mkdir -p "$root"
export TAV_ROOT="$root"
set +e
build/demo/src/app/tav "$@"
code=$?
set -e
echo "tav exited with $code"
echo "--- log ($root/tmp/Veltrana/TAV/)"
ls -t "$root"/tmp/Veltrana/TAV/ | head -n 1 | sed "s|^|$root/tmp/Veltrana/TAV/|" | xargs cat
exit $code
