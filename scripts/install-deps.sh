#!/usr/bin/env bash
# Installs every package the build, the tests and the demo need, by Debian
# package name. Idempotent: asks apt only for what is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang clang-format clang-tidy
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev libssl-dev libcurl4-openssl-dev zlib1g-dev libcjson-dev
  libcpp-httplib-dev
  python3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
