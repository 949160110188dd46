#!/usr/bin/env bash
# Fails when a tracked C++ file differs from what clang-format makes of it with the project's
# .clang-format. Usage: scripts/check-format.sh [--fix]   (--fix rewrites the files instead)
set -euo pipefail
# shellcheck source=scripts/errtrap.sh
source "$(dirname "${BASH_SOURCE[0]}")/errtrap.sh"
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [[ "${1:-}" == "--fix" ]]; then
  clang-format -i "${files[@]}"
  exit 0
fi
bad=()
for f in "${files[@]}"; do
  clang-format --dry-run --Werror "$f" 2>/dev/null || bad+=("$f")
done
if ((${#bad[@]})); then
  echo "check-format: not formatted (run scripts/check-format.sh --fix):" >&2
  printf '  %s\n' "${bad[@]}" >&2
  for f in "${bad[@]:0:3}"; do clang-format "$f" | diff -u "$f" - | head -20 >&2 || true; done
  exit 1
fi
echo "format OK: ${#files[@]} files"
