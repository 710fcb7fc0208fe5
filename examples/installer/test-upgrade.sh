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

upgrade() {  # case name, folder, fwmaint steps an earlier upgrade got through
    local name=$1 folder=$2 word
    shift 2
    install sample-product-1.1.exe "$folder" && tune "$folder" || { echo "FAILED: $name: the 1.1 install" >&2; failed=1; return; }
    for word in "$@"; do fwmaint "$folder" "$word"; done
    if install sample-product-1.2.exe "$folder" && diff -r "$expected" "$folder" >&2; then
        echo "ok: $name"
    else
        echo "FAILED: $name" >&2
        failed=1
    fi
}

upgrade "upgrade over a tuned 1.1" "$work/Program Files/Sample Product"
upgrade "upgrade run again after one stopped past saveprefs and delsa" "$work/Program Files/Sample Product Again" saveprefs delsa
[ "$failed" -eq 0 ] && echo "2 passed, 0 failed" || echo "0 passed, 1 failed"
exit $failed
