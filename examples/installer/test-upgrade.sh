#!/usr/bin/env bash
# Installs the sample product 1.1 silently under Wine into a folder whose path
# holds blanks and a non-ASCII character, tunes its preferences as an
# administrator would, and upgrades it with the 1.2 installer. Each row first
# does something to that upgrade (cuts it short at a fwmaint step or inside
# one, through the test build's crash switch; breaks it as an author's slip
# would; or runs it whole), checks that the installer stopped with its own
# status and log line, and then runs the real upgrade. Every row must end in
# the same state: the whole folder, the service running 1.2 after 1.1 was
# stopped once, and no progress marker left.
#   test-upgrade.sh INSTALLERS TEST_INSTALLERS SAMPLE NEWRULES WINE_RUN FWMAINT SERVICE_1.1 SERVICE_1.2
set -euo pipefail
installers=$(realpath "$1") tests=$(realpath "$2") sample=$(realpath "$3") newrules=$(realpath "$4")
wine_run=$(realpath "$5") helper=$(realpath "$6") service_old=$(realpath "$7") service_new=$(realpath "$8")
work=$(mktemp -d "${TMPDIR:-/tmp}/fwmaint-installer-XXXXXX")
# One Wine prefix of the test's own for all rows (a fresh one costs ~10 s):
# the service and the installer's registry key live and die there.
export FW_WINEPREFIX=$work/prefix
trap 'WINEPREFIX=$FW_WINEPREFIX "$(dirname "${FW_WINE:-/usr/lib/wine/wine64}")/wineserver" -k; rm -rf "$work"' EXIT
service_log="$FW_WINEPREFIX/drive_c/ProgramData/Sample Product/service.log"
failed=0 passed=0

# NSIS takes /D= only last and unquoted, blanks and all. Wine rebuilds the
# Windows command line from the Unix arguments and quotes one that holds a
# blank, which NSIS then ignores; so /D= goes as separate words (split here at
# its blanks), and Wine joins them with single blanks: the line NSIS wants.
install() {  # installer, Linux folder
    # shellcheck disable=SC2086  # the split is the point
    "$wine_run" "$1" /S /D=Z:${2//\//\\}
}
win() { "$wine_run" "$@" >/dev/null 2>&1; }
service_state() { "$wine_run" sc query SampleProduct | sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }
# The service manager may still be settling right after the installer saw
# the service start (and Wine's sc may answer nothing for a moment): ask for
# up to 5 s.
running() {
    local i
    for i in $(seq 50); do
        [ "$(service_state)" = RUNNING ] && return 0
        sleep 0.1
    done
    return 1
}
fresh_machine() {
    win sc stop SampleProduct || true
    while [ "$(service_state)" = STOP_PENDING ]; do sleep 0.1; done
    win sc delete SampleProduct || true
    win reg delete 'HKLM\Software\Sample Product' /f || true
    rm -f "$service_log" "$FW_WINEPREFIX"/drive_c/users/*/Temp/"Sample Product install.log"
}
tune() {
    printf 'score-threshold = 3.3\n# tuned on site\n' >"$1/sa/ruleset/local.cf"
    printf 'whitelist_from *@partner.example\n' >"$1/sa/ruleset/user_prefs"
}
# What the upgrade must leave: the new service executable under the main
# name and 1.1's as the backup, the new rule set with the tuned preferences
# and the default as local.cf.sample, no archive, no saved copy, nothing else.
expected=$work/expected
mkdir -p "$expected/sa/ruleset"
cp "$helper" "$sample/local.cf" "$sample/user_prefs" "$expected/"
cp "$service_new" "$expected/Zovazozu.exe"
cp "$service_old" "$expected/Zovazozu.exe~"
cp -r "$newrules/sa/." "$expected/sa/"
tune "$expected"
cp "$sample/local.cf" "$expected/sa/ruleset/local.cf.sample"
started() { printf 'Sample Product service %s started\r\n' "$@"; }
stopped() { printf 'Sample Product service %s stopped\r\n' "$@"; }

row() {  # name, installer run first, its status, its log line[, kill point[, "marker"]]
    local name=$1 first=$2 status=$3 line=$4 folder="$work/Program Files/Sample Product Ω $((passed + failed))"
    local got=0 why=""
    note() { why=${why:-$1}; }
    fresh_machine
    install "$installers/sample-product-1.1.exe" "$folder" && tune "$folder" || note "the 1.1 install"
    [[ $first != */nohelper.exe ]] || rm "$folder/fwmaint.exe"
    FWMAINT_TEST_CRASH=${5:-} install "$first" "$folder" || got=$?
    [ "$got" = "$status" ] || note "the first run's status is $got, not $status"
    [ -z "${6:-}" ] || win reg add 'HKLM\Software\Sample Product' /v PrefsSaved /d 1 /f || note "reg add"
    [ "$got" != 0 ] || diff -r "$expected" "$folder" >&2 || note "the folder differs after the first run"
    [ -z "$line" ] || grep -qF "$line" "$FW_WINEPREFIX"/drive_c/users/*/Temp/"Sample Product install.log" || note "no log line '$line'"
    install "$installers/sample-product-1.2.exe" "$folder" || note "the upgrade's status is $?"
    diff -r "$expected" "$folder" >&2 || note "the folder differs"
    local log
    log=$(started 1.1; stopped 1.1; [ "$status" != 0 ] || { started 1.2; stopped 1.2; }; started 1.2)
    [ "$(cat "$service_log")" = "$log" ] || note "the service's log reads: $(cat "$service_log")"
    running || note "the service is $(service_state)"
    ! win reg query 'HKLM\Software\Sample Product' /v PrefsSaved || note "the marker is still set"
    if [ -z "$why" ]; then echo "ok: $name"; passed=$((passed + 1)); else
        echo "FAILED: $name: $why; the installers' log:" >&2
        cat "$FW_WINEPREFIX"/drive_c/users/*/Temp/"Sample Product install.log" >&2 2>/dev/null || true
        failed=$((failed + 1))
    fi
}
cut() {  # where, kill point[, "marker": killed before the marker was cleared]
    row "upgrade killed $1, then run again" "$tests/hooked.exe" 2 "was cut short (exit status 86)" "$2" "${3:-}"
}

row "upgrade over a tuned 1.1, then run again" "$installers/sample-product-1.2.exe" 0 ""
cut "before saveprefs" 'CopyFileOver:sa\ruleset\local.cf'
cut "inside saveprefs, a copy written but not in place" 'ReplaceWithCopy:t_local.cf'
cut "inside saveprefs, after t_local.cf" 'CopyFileOver:sa\ruleset\user_prefs'
cut "after saveprefs" 'IsLinkPath:sa'
cut "inside delsa" 'DeleteTreeEntry#3'
cut "after delsa and the new rule set" 'CopyFileOver:t_local.cf'
cut "inside restoreprefs, after local.cf" 'CopyFileOver:t_user_prefs'
cut "inside restoreprefs, before the saved copies go" 'DeleteOwnFile:t_local.cf'
cut "after restoreprefs" 'DeleteOneFile:sa.tar'
cut "after restoreprefs, before the marker went" 'DeleteOneFile:sa.tar' marker
cut "after deltar" 'IsRegularFile:RadaroziZiz.exe'
cut "inside renameservice, between its renames" 'MoveFileNoReplace:RadaroziZiz.exe'
row "upgrade with a misspelled step, then mended" "$tests/misspelled.exe" 2 \
    "fwmaint.exe did not accept the command 'saveprefz' (exit status 1)"
row "upgrade without fwmaint.exe, then mended" "$tests/nohelper.exe" 2 "Could not start fwmaint.exe for the step saveprefs"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
