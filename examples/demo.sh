#!/usr/bin/env bash
# Builds fwmaint and walks the installer's upgrade sequence on a temporary copy
# of the sample installation directory examples/install:
#   saveprefs, delsa, unpack the new rule set from sa.tar, restoreprefs,
#   deltar, renameservice.
# The helper itself prints nothing; this script shows what it did, and fails
# loudly if the administrator's tuned preferences did not survive.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
cmake --build --preset default --target fwmaint >/dev/null
helper=$PWD/build/fwmaint

work=$(mktemp -d "${TMPDIR:-/tmp}/fwmaint-demo-XXXXXX")
trap 'rm -rf "$work"' EXIT
cp -a examples/install/. "$work/"
cd "$work"
# A read-only rule file and folder, as some unpackers leave them: delsa must
# remove them all the same.
chmod a-w sa/ruleset/10_default_rules.cf sa/ruleset

show() {
    echo "--- $1"
    find . -mindepth 1 -printf '%M %5s  %P\n' | sort -k3
}
step() {
    echo "\$ $*"
    "$@"
}
run_fwmaint() {
    local status=0
    "$helper" "$1" || status=$?
    echo "\$ fwmaint $1    -> exit status $status"
    [ "$status" -eq 0 ] || { echo "FAILED: fwmaint $1 returned $status" >&2; exit 1; }
}

show "installation directory before the upgrade"
echo "--- the upgrade"
run_fwmaint saveprefs
run_fwmaint delsa
step tar -xf sa.tar
run_fwmaint restoreprefs
run_fwmaint deltar
run_fwmaint renameservice
show "installation directory after the upgrade"
for f in sa/ruleset/local.cf sa/ruleset/user_prefs; do
    echo "--- $f"
    cat "$f"
done

fail() { echo "FAILED: $*" >&2; exit 1; }
cmp -s sa/ruleset/local.cf "$OLDPWD/examples/install/sa/ruleset/local.cf" || fail "the tuned local.cf did not survive"
cmp -s sa/ruleset/user_prefs "$OLDPWD/examples/install/sa/ruleset/user_prefs" || fail "the tuned user_prefs did not survive"
cmp -s sa/ruleset/local.cf.sample local.cf || fail "local.cf.sample is not the default local.cf"
[ -f sa/ruleset/30_new_checks.cf ] || fail "the new rule set is not in place"
[ ! -e t_local.cf ] && [ ! -e t_user_prefs ] || fail "the saved copies were not consumed"
[ ! -e sa.tar ] && [ ! -e db.tar ] && [ ! -e addrules.tar ] || fail "the archives are still there"
grep -q "build 1.2" Zovazozu.exe || fail "the new service executable is not in place"
grep -q "build 1.1" Zovazozu.exe~ || fail "the old service executable was not kept as the backup"
[ ! -e RadaroziZiz.exe ] || fail "the new executable is still under its delivery name"
echo "--- OK: tuned preferences survived, new rule set and service executable in place"
