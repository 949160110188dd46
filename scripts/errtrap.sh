# Sourced by each script right after `set -euo pipefail`: when a failing command ends a script, it
# says which script, which line and which command, so a run never stops without a word. Silent
# where the script has turned errexit off, since a failure there is expected and handled.
set -o errtrace
trap 'qav__status=$?; if [[ $- == *e* ]]; then
  echo "${BASH_SOURCE[0]##*/}: stopped at line $LINENO: $BASH_COMMAND (exit $qav__status)" >&2; fi' ERR
