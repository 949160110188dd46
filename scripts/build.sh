#!/usr/bin/env bash
# Builds QAV. Usage: scripts/build.sh [release|asan|package] [-DNAME=value...]
#   release -> build/          the programs and every test; the station talks to http://127.0.0.1:8470
#   asan    -> build-asan/     the same with AddressSanitizer + UndefinedBehaviorSanitizer
#   package -> build-package/  only qav and qav-server, for the Debian packages; the station talks
#                              to https://qav-server:8470 unless -DQAV_SERVER_URL/-DQAV_IMAGE_SERVER_URL
#                              say otherwise (then cpack --config build-package/CPackConfig.cmake)
# -D options go to cmake each time, so they change an existing folder too.
set -euo pipefail
# shellcheck source=scripts/errtrap.sh
source "$(dirname "${BASH_SOURCE[0]}")/errtrap.sh"
root=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-release}
shift || true
targets=${QAV_TARGETS:-}
case "$kind" in
  release)
    dir="$root/build"
    flags=(-DCMAKE_BUILD_TYPE=Release -DQAV_WERROR=ON "-DCMAKE_CXX_FLAGS=-D_GLIBCXX_ASSERTIONS")
    ;;
  asan)
    dir="$root/build-asan"
    flags=(-DCMAKE_BUILD_TYPE=Debug -DQAV_SANITIZE=ON)
    ;;
  package)
    dir="$root/build-package"
    # The packages need only the two programs; cpack then installs without building the tests.
    flags=(-DCMAKE_BUILD_TYPE=Release -DQAV_WERROR=ON "-DCMAKE_CXX_FLAGS=-D_GLIBCXX_ASSERTIONS"
      -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
      -DQAV_SERVER_URL=https://qav-server:8470 -DQAV_IMAGE_SERVER_URL=https://qav-server:8470)
    targets=${QAV_TARGETS:-qav qav-server}
    ;;
  *) echo "usage: $0 [release|asan|package] [-DNAME=value...]" >&2; exit 2 ;;
esac
for arg in "$@"; do
  [[ "$arg" == -D* ]] || { echo "$0: only -DNAME=value options go to cmake, not '$arg'" >&2; exit 2; }
done
cmake -S "$root" -B "$dir" -G Ninja "${flags[@]}" "$@" >/dev/null
# Says where the station goes, so a build for the wrong venue shows before it is installed.
url=$(sed -n 's/^QAV_SERVER_URL:STRING=//p' "$dir/CMakeCache.txt")
version=$(sed -n 's/^QAV_PACKAGE_VERSION:INTERNAL=//p' "$dir/CMakeCache.txt")
echo "station server: $url, package version: $version"
ninja -C "$dir" ${targets}
