#!/usr/bin/env bash
# Installs the sample product 1.1 silently under Wine into a folder whose path
# holds blanks, tunes its preferences as an administrator would, upgrades it
# silently with the 1.2 installer, and compares the whole folder with what the
# upgrade must leave. A second case stops an upgrade right after saveprefs
# and delsa, as a cancelled installer would, and runs the upgrade again.
#   test-upgrade.sh INSTALLERS_DIR SAMPLE_DIR NEWRULES_DIR WINE_RUN FWMAINT_EXE
set -euo pipefail
installers=$(realpath "$1") sample=$(realpath "$2") newrules=$(realpath "$3") wine_run=$(realpath "$4") helper=$(realpath "$5")
work=$(mktemp -d "${TMPDIR:-/tmp}/fwmaint-installer-XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0

# Runs a Windows program under Wine. The installer's /D= must reach it last
# and unquoted, blanks and all. Wine rebuilds the Windows command line from
# the Unix arguments and quotes any argument that holds a blank, which NSIS
# then does not take for /D=. So /D= is passed as separate words (the shell
# splits it at its blanks), and Wine joins them with single blanks: the very
# line NSIS wants. (A path with runs of blanks cannot go this way.)
install() {  # installer, Linux folder
    local windows="Z:${2//\//\\}"
    # shellcheck disable=SC2086  # the split is the point
    "$wine_run" "$installers/$1" /S /D=$windows
}
fwmaint() {  # folder, command word
    (cd "$1" && "$wine_run" ./fwmaint.exe "$2")
}
tune() {
    printf 'score-threshold = 3.3\n# tuned on site\n' >"$1/sa/ruleset/local.cf"
    printf 'whitelist_from *@partner.example\n' >"$1/sa/ruleset/user_prefs"
}
# What the upgrade must leave: the new executable under the main name and
# the old one as the backup, the new rule set with the tuned preferences and
# the default as local.cf.sample, no archive, no saved copy, nothing else.
expected=$work/expected
mkdir -p "$expected/sa/ruleset"
cp "$helper" "$sample/local.cf" "$sample/user_prefs" "$expected/"
cp "$sample/RadaroziZiz.exe" "$expected/Zovazozu.exe"
cp "$sample/Zovazozu.exe" "$expected/Zovazozu.exe~"
cp -r "$newrules/sa/." "$expected/sa/"
tune "$expected"
cp "$sample/local.cf" "$expected/sa/ruleset/local.cf.sample"

check() {  # case name, folder
    if diff -r "$expected" "$2" >"$work/diff" 2>&1; then
        echo "ok: $1"
    else
        echo "FAILED: $1" >&2
        cat "$work/diff" >&2
        failed=1
    fi
}

target="$work/Program Files/Sample Product"
install sample-product-1.1.exe "$target" || { echo "FAILED: the 1.1 install exited $?" >&2; exit 1; }
[ -f "$target/fwmaint.exe" ] && [ -f "$target/sa/ruleset/local.cf" ] || { echo "FAILED: 1.1 not installed" >&2; exit 1; }
tune "$target"
install sample-product-1.2.exe "$target" || { echo "FAILED: the upgrade exited $?" >&2; failed=1; }
check "upgrade over a tuned 1.1" "$target"

resumed="$work/Program Files/Sample Product Again"
install sample-product-1.1.exe "$resumed"
tune "$resumed"
fwmaint "$resumed" saveprefs
fwmaint "$resumed" delsa
install sample-product-1.2.exe "$resumed" || { echo "FAILED: the resumed upgrade exited $?" >&2; failed=1; }
check "upgrade run again after one stopped past saveprefs and delsa" "$resumed"
[ "$failed" -eq 0 ] && echo "2 passed, 0 failed" || echo "0 passed, 1 failed"
exit $failed
