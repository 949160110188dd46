#!/usr/bin/env bash
# Installs what is missing, builds QAV twice (release with warnings as errors, and with
# AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test in both builds, SQLite and
# PostgreSQL included. Needs no display and no sound card.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/setup.sh --test

# shellcheck source=scripts/start-test-postgres.sh
source scripts/start-test-postgres.sh
trap 'qav_stop_test_postgres || true' EXIT

export QT_QPA_PLATFORM=offscreen
status=0

echo "== Release build"
scripts/build.sh release
ctest --test-dir build --output-on-failure -j2 || status=1

echo "== Debian packages"
scripts/check-packages.sh build || status=1

echo "== Sanitizer build (ASan + UBSan)"
scripts/build.sh asan
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=0" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  ctest --test-dir build-asan --output-on-failure -j2 || status=1

exit $status
