#!/usr/bin/env bash
# The version is written once, in CMakeLists.txt: a copy of this tree given
# another version builds a setup.exe of that version, and the sample medium,
# the medium check and run-sample.sh's report follow it with no other edit.
# run-sample.sh's report of a failing main package is checked on the copy too.
# usage: version_change_test.sh WORK_DIR
. "$NERIM_ROOT/tests/lib.sh"
work=$1 other=2.0.3.70001
copy=$work/tree

rm -rf "$work" && mkdir -p "$copy"
# The copy's wine prefixes come from this tree's template.
NERIM_WINEPREFIX_TEMPLATE=$("$root/scripts/make-wineprefix.sh" --template) || exit 1
export NERIM_WINEPREFIX_TEMPLATE
# The tree as it stands, committed or not, without its builds.
(cd "$root" && git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$copy")
sed -i "s/^project(NerimSetup VERSION [0-9.]* /project(NerimSetup VERSION $other /" "$copy/CMakeLists.txt"
cd "$copy" || exit 1
Check "the copy's CMakeLists.txt names $other" grep -q "^project(NerimSetup VERSION $other " CMakeLists.txt
if ! { cmake --preset i686 -DNERIM_TESTS=OFF && cmake --build --preset i686; } >"$work/build.log" 2>&1; then
  Failed "the copy builds" "$(tail -n 20 "$work/build.log")"
  Summary "version change"
  exit
fi
medium=build/i686/sample-medium
Check "setup.exe's version resource says $other" \
  test "$(release/setup-version build/i686/setup.exe)" = "$other"
Check "the sample main package puts its markers in the $other folder" \
  eval 'msiinfo export "$medium/NerimInstaller.msi_" Directory >"$work/directories.txt" && grep -q "$other" "$work/directories.txt"'
report=$(release/check-medium "$medium" 2>&1)
Check "the medium check passes the sample medium" eval 'grep -q "ready to ship" <<<"$report"'
report=$(scripts/run-sample.sh 2>&1)
FailureDetails() { tail -n 15 <<<"$report"; }
Check "run-sample.sh finds the markers in the $other folder" \
  eval 'grep -qF "markers: optDD optLS (in Program Files (x86)\\Brenk\\Installers\\Nerim\\$other)" <<<"$report"'
# A failed main package leaves nothing listed and no markers: the report
# still goes to its end and says how msiexec ended.
report=$(scripts/run-sample.sh --fail 2>&1)
Check "run-sample.sh --fail: ends with exit 0" test $? = 0
Check "run-sample.sh --fail: the main package's failure and exit code" \
  eval 'grep -q "^main package: failed, exit code [1-9][0-9]* " <<<"$report"'
Check "run-sample.sh --fail: the whole report, down to the driver's runs" \
  eval 'grep -A1 "^driver installer runs:" <<<"$report" | grep -q "^  none"'
RemoveWhenPassed "$work"
Summary "version change"
