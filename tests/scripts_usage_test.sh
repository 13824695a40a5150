#!/usr/bin/env bash
# Every script in scripts/, release/, medium/ and bench/ (and tests/check_pe.py,
# tests/windows/make-handover.sh)
# answers --help with its usage and exit code 0 before doing anything, and an
# unknown option, or no argument where
# it needs some, with its usage and exit code 2; never with a shell or Python
# error.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tests/lib.sh"
# The scripts that do their whole job when given no argument.
runs_bare=" scripts/test.sh scripts/run-sample.sh scripts/install-deps.sh scripts/mutation-check.py bench/run.sh "

Expect() {  # CODE SCRIPT ARGS...
  local code=$1 script=$2 output status
  shift 2
  output=$(cd /tmp && timeout 20 "$root/$script" "$@" </dev/null 2>&1)
  status=$?
  if [ "$status" = "$code" ] && grep -qi usage <<<"$output" &&
     ! grep -qE 'Traceback|unbound variable|line [0-9]+:|command not found' <<<"$output"; then
    Pass
  else
    Failed "$script $*: exit $status, expected $code with its usage" "$output"
  fi
}

cd "$root"
# wine-env.sh is not run but sourced.
for script in scripts/*.sh scripts/*.py release/*.sh release/*.py medium/*.sh bench/*.sh bench/*.py \
              tests/check_pe.py tests/windows/make-handover.sh; do
  [ -x "$script" ] || continue
  Expect 0 "$script" --help
  Expect 2 "$script" --no-such-option
  [[ $runs_bare == *" $script "* ]] || Expect 2 "$script"
done
Summary "script usage"
