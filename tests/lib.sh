# Sourced by the shell tests: the counters, one way to pass, fail and check,
# what could not run here, and the summary line that ends every test.
#
#   . "$(dirname "$0")/lib.sh"        (from tests/; adjust the path elsewhere)
#   Check "what it shows" COMMAND...
#   Summary "name"                    as the last command: its status is the test's
set -uo pipefail
passed=0 failed=0 not_run=()

Pass() { passed=$((passed + 1)); }

# Failed WHAT [DETAILS]: one failure, named, with its details indented below.
Failed() {
  failed=$((failed + 1))
  echo "FAILED: $1"
  [ $# -lt 2 ] || [ -z "$2" ] || sed 's/^/  | /' <<<"$2"
}

# Check WHAT COMMAND...: passes when COMMAND succeeds. Where the test defines
# FailureDetails, what it prints goes under a failure.
Check() {
  local what=$1
  shift
  if "$@"; then
    Pass
  else
    Failed "$what" "$(declare -F FailureDetails >/dev/null && FailureDetails)"
  fi
}

# ExpectRun CODE TEXT WHAT STATUS OUTPUT [MAX_LINES]: passes when a run that
# ended with STATUS and printed OUTPUT ended with CODE, said TEXT and, where
# given, printed fewer than MAX_LINES lines.
ExpectRun() {
  local code=$1 text=$2 what=$3 status=$4 output=$5 max=${6:-}
  if [ "$status" = "$code" ] && grep -qF -- "$text" <<<"$output" &&
     { [ -z "$max" ] || [ "$(wc -l <<<"$output")" -lt "$max" ]; }; then
    Pass
  else
    Failed "$what (exit $status, expected $code and \"$text\")" "$output"
  fi
}

# Quietly COMMAND...: COMMAND without its output, for a Check.
Quietly() { "$@" >/dev/null 2>&1; }

# NotRun REASON: a case this machine cannot run, said in the summary.
NotRun() { not_run+=("$1"); }

# RemoveWhenPassed PATH...: what a test made that is too big to keep (wine
# prefixes) goes once every check has passed, unless NERIM_KEEP_PREFIXES=1;
# after a failure it stays, and the line before the summary says where.
RemoveWhenPassed() {
  if [ "$failed" -ne 0 ]; then
    echo "kept for a look: $*"
  elif [ "${NERIM_KEEP_PREFIXES:-0}" != 1 ]; then
    rm -rf "$@"
  fi
}

Summary() {  # NAME
  local reason
  for reason in ${not_run[@]+"${not_run[@]}"}; do echo "not run: $reason"; done
  echo "$1: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
