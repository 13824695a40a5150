# Sourced by every shell test, the one way in, from the repository's root
# that ctest hands every test (NERIM_ROOT; by hand, set it yourself):
#
#   . "$NERIM_ROOT/tests/lib.sh"
#   Check "what it shows" COMMAND...
#   Expect CODE TEXT "what it shows" -- COMMAND...
#   Summary "name"                    as the last command: its status is the test's
#
# It gives the counters, one way to pass, fail and check, what could not run
# here, and the summary line that ends every test. $root is the repository.
set -uo pipefail
root=${NERIM_ROOT:?set it to the repository root, as ctest does for every test}
passed=0 failed=0 not_run=()

Pass() { passed=$((passed + 1)); }

# Failed WHAT [DETAILS]: one failure, named, with its details indented below.
Failed() {
  failed=$((failed + 1))
  echo "FAILED: $1"
  [ $# -lt 2 ] || [ -z "$2" ] || sed 's/^/  | /' <<<"$2"
}

# Check WHAT COMMAND...: passes when COMMAND succeeds, else fails (status 1).
# Where the test defines FailureDetails, what it prints goes under a failure.
Check() {
  local what=$1
  shift
  if "$@"; then
    Pass
  else
    Failed "$what" "$(declare -F FailureDetails >/dev/null && FailureDetails)"
    return 1
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

# Expect CODE TEXT WHAT -- COMMAND...: passes when COMMAND (through eval, or
# through ExpectCommand where the test defines it: a fresh folder, a broken
# copy) exits with CODE and says TEXT, and says no shell or Python error.
# Where the test sets expect_tool, a failure's last line must be that tool's
# one line ("TOOL: ...") and say TEXT; expect_max_lines caps the lines said.
# The run's output and WHAT stay in last_output and last_what.
Expect() {
  local code=$1 text=$2 what=$3 output status
  shift 4
  if declare -F ExpectCommand >/dev/null; then
    output=$(ExpectCommand "$@" 2>&1)
  else
    output=$(eval "$*" 2>&1)
  fi
  status=$?
  last_output=$output last_what=$what
  local last
  last=$(tail -n 1 <<<"$output")
  if grep -qE 'Traceback \(most recent call last\)|unbound variable|line [0-9]+: .*(command not found|syntax error)' <<<"$output"; then
    Failed "$what: a shell or Python error" "$output"
  elif [ "$code" != 0 ] && [ -n "${expect_tool:-}" ] &&
       { [[ $last != "$expect_tool: "* ]] || [[ $last != *"$text"* ]]; }; then
    Failed "$what: the last line is not a $expect_tool line saying \"$text\"" "$output"
  else
    ExpectRun "$code" "$text" "$what" "$status" "$output" "${expect_max_lines:-}"
  fi
}

# Quietly COMMAND...: COMMAND without its output, for a Check.
Quietly() { "$@" >/dev/null 2>&1; }

# NotRun REASON: what this machine cannot run, said in the summary. A test
# that ran nothing else ends skipped: its Summary's status is 77.
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
  if [ "$passed" -eq 0 ] && [ "$failed" -eq 0 ] && [ ${#not_run[@]} -gt 0 ]; then
    return 77
  fi
  [ "$failed" -eq 0 ]
}
