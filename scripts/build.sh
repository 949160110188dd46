#!/usr/bin/env bash
# Builds QAV. Usage: scripts/build.sh [release|asan]   -> build/ or build-asan/
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-release}
case "$kind" in
  release)
    dir="$root/build"
    flags=(-DCMAKE_BUILD_TYPE=Release -DQAV_WERROR=ON "-DCMAKE_CXX_FLAGS=-D_GLIBCXX_ASSERTIONS")
    ;;
  asan)
    dir="$root/build-asan"
    flags=(-DCMAKE_BUILD_TYPE=Debug -DQAV_SANITIZE=ON)
    ;;
  *) echo "usage: $0 [release|asan]" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$dir" -G Ninja "${flags[@]}" >/dev/null
ninja -C "$dir" ${QAV_TARGETS:-}
