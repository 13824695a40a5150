#!/usr/bin/env bash
# Every script in scripts/, release/ (its commands), medium/ and bench/ (and tests/check_pe.py,
# tests/windows/make-handover.sh)
# answers --help with its usage and exit code 0 before doing anything, and an
# unknown option, or no argument where
# it needs some, with its usage and exit code 2; never with a shell or Python
# error.
. "$NERIM_ROOT/tests/lib.sh"
# The scripts that do their whole job when given no argument.
runs_bare=" scripts/test.sh scripts/run-sample.sh scripts/install-deps.sh scripts/mutation-check.py bench/run.sh "

# Each row runs a script from elsewhere, with nothing on its standard input.
ExpectCommand() {  # SCRIPT ARGS...
  local script=$1
  shift
  cd /tmp && timeout 20 "$root/$script" "$@" </dev/null
}

cd "$root"
# wine-env.sh is not run but sourced.
for script in scripts/*.sh scripts/*.py release/* medium/*.sh bench/*.sh bench/*.py \
              tests/check_pe.py tests/windows/make-handover.sh; do
  [ -f "$script" ] && [ -x "$script" ] || continue
  Expect 0 usage "$script --help" -- "$script" --help
  Expect 2 usage "$script --no-such-option" -- "$script" --no-such-option
  [[ $runs_bare == *" $script "* ]] || Expect 2 usage "$script with nothing" -- "$script"
done
Summary "script usage"
