#!/usr/bin/env bash
# install-deps.sh against stand-ins for apt-get, dpkg and dpkg-query early on
# PATH: no network, no package touched.
# usage: install_deps_test.sh WORK_DIR
. "$NERIM_ROOT/tests/lib.sh"
work=$1
script=$root/scripts/install-deps.sh
rm -rf "$work"
mkdir -p "$work/bin"

# The stand-ins keep their state in $work: installed (one package a line),
# arches, calls (one line per apt-get call). APT_UPDATE_FAILS=1 fails every
# update; APT_UNAVAILABLE names packages that no install can get.
cat > "$work/bin/apt-get" <<'EOF'
#!/bin/bash
echo "apt-get $*" >> "$STANDIN/calls"
[ "$1" = update ] && { [ "${APT_UPDATE_FAILS:-0}" = 0 ]; exit; }
for p in "$@"; do
  case $p in -*|install) ;; *) [[ " $APT_UNAVAILABLE " = *" $p "* ]] && exit 100 ;; esac
done
for p in "$@"; do case $p in -*|install) ;; *) echo "$p" >> "$STANDIN/installed" ;; esac; done
EOF
cat > "$work/bin/dpkg-query" <<'EOF'
#!/bin/bash
grep -qxF "${!#}" "$STANDIN/installed" 2>/dev/null && echo 'install ok installed'
EOF
cat > "$work/bin/dpkg" <<'EOF'
#!/bin/bash
case $1 in
  --print-foreign-architectures) cat "$STANDIN/arches" 2>/dev/null ;;
  --add-architecture) echo "$2" >> "$STANDIN/arches" ;;
  --remove-architecture) sed -i "/^$2\$/d" "$STANDIN/arches" ;;
esac
EOF
chmod +x "$work/bin/"*

# The script's own list of what it requires, so that the two cannot drift.
read -r -a all <<<"$(sed -n '/^required=(/,/)/p' "$script" | tr -d '()' | sed 's/^required=//' | tr '\n' ' ')"
[ ${#all[@]} -gt 10 ] || { echo "cannot read the required packages from $script"; exit 1; }

# Run NAME INSTALLED... : a machine with these packages; then runs the script
# with the environment given by the caller, leaving $out, $code and $calls.
Fresh() { export STANDIN=$work/$1; rm -rf "$STANDIN"; mkdir -p "$STANDIN"; shift;
          printf '%s\n' "$@" > "$STANDIN/installed"; }
Run() { out=$(PATH="$work/bin:$PATH" NERIM_DEPS_STATE=$STANDIN/state bash "$script" "$@" 2>&1)
        code=$?; calls=$(grep -c . "$STANDIN/calls" 2>/dev/null); calls=${calls:-0}; }
FailureDetails() { printf 'exit %s, %s apt-get calls, said:\n%s\n' "$code" "$calls" "$out"; }
Said() { grep -qF -- "$1" <<<"$out"; }

export NERIM_DEPS_OPTIONAL=wine32:i386 NERIM_DEPS_TREE=
Fresh present "${all[@]}" wine32:i386
Run
Check "everything present: exit 0 and no apt-get call" test "$code/$calls" = 0/0

Fresh broken-index "${all[@]:1}"
APT_UPDATE_FAILS=1 Run
Check "a failing index: update tried twice, then the install goes on" test "$code" = 0
Check "a failing index: g++ installed all the same" grep -qx g++ "$STANDIN/installed"

Fresh optional-unavailable "${all[@]}"
APT_UNAVAILABLE=wine32:i386 Run
Check "optional unavailable: exit 0, said in a line" \
  eval '[ "$code" = 0 ] && Said "optional wine32:i386 cannot be installed"'
Check "optional unavailable: the i386 architecture added for it is removed" \
  test ! -s "$STANDIN/arches"
before=$calls
APT_UNAVAILABLE=wine32:i386 Run
Check "optional unavailable: the next run calls apt no more" test "$code/$calls" = "0/$before"
APT_UNAVAILABLE=wine32:i386 Run --retry-optional
Check "optional unavailable: --retry-optional tries again" test "$calls" -gt "$before"

Fresh required-unavailable "${all[@]:2}"
APT_UNAVAILABLE=cmake Run
Check "required unavailable: exit 1 naming it, the rest installed" \
  test "$code" = 1 -a "$(grep -cx g++ "$STANDIN/installed")" = 1
Check "required unavailable: named" Said "cannot install required package(s): cmake"

Fresh check "${all[@]:1}"
Run --check
Check "--check: exit 1, lists both, installs nothing" test "$code/$calls" = 1/0
Check "--check: names the missing packages" Said "missing, required: g++"
NERIM_DEPS_OPTIONAL= Run --check
Check "--check: no optional package where no 32-bit run would use it" test "$(grep -c optional <<<"$out")" = 0

Fresh tree "${all[@]}"
NERIM_DEPS_OPTIONAL= NERIM_DEPS_TREE="mmdebstrap qemu-user-static" Run --check
Check "--check: the 32-bit tree's packages are required" Said "missing, required: mmdebstrap qemu-user-static"
NERIM_DEPS_OPTIONAL= NERIM_DEPS_TREE="mmdebstrap qemu-user-static" Run
Check "the 32-bit tree's packages installed" test "$code/$(grep -c -x -e mmdebstrap -e qemu-user-static "$STANDIN/installed")" = 0/2

Summary install-deps
