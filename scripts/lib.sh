# Sourced by every shell script here, after it has set $usage from a
# heredoc (so that editing a script's comments cannot cut its --help short):
#
#   usage=$(cat <<'END'
#   usage: name.sh ARG...
#   END
#   )
#   . "$(dirname "$0")/../scripts/lib.sh" "$@"
#
# Given the script's arguments, it answers -h or --help as the first one with
# the usage and exit 0, before the script does anything (only the first: a
# wrapper's later arguments are its program's). Strict mode; a script that
# reads exit codes itself turns -e off after.
set -euo pipefail
script_name=$(basename "$0")

Usage() { printf '%s\n' "$usage"; }

# One line naming the script and the reason, then exit 1.
Die() {
  echo "$script_name: $*" >&2
  exit 1
}

# A line on stderr naming the script: what a step that takes more than a
# few seconds is about to do, or a note the caller should see.
Note() { echo "$script_name: $*" >&2; }

# The reason and the usage, then exit 2.
BadUsage() {
  echo "$script_name: $*" >&2
  Usage >&2
  exit 2
}

case ${1:-} in -h|--help) Usage; exit 0 ;; esac
