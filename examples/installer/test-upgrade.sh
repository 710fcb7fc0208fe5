#!/usr/bin/env bash
# Installs the sample product 1.1 silently under Wine into a folder whose path
# holds blanks and a non-ASCII character, tunes its preferences as an
# administrator would, and upgrades it with the 1.2 installer. Each row first
# does something to that upgrade (cuts it short at a fwmaint step or inside
# one, through the test build's crash switch; breaks it as an author's slip
# would; holds a file past fwmaint's wait, as another program would; or runs
# it whole), checks that the installer stopped with its own
# status and log line, with the service running again when it stopped before
# the old rule set went and stopped when it stopped after, and then runs the
# real upgrade. Every row must end in the same state: the whole folder (no
# saved copy or copy set aside left), the service running 1.2, and a log
# whose every line is stamped and whose last line says the run finished.
#   test-upgrade.sh INSTALLERS TEST_INSTALLERS SAMPLE NEWRULES WINE_RUN FWMAINT SERVICE_1.1 SERVICE_1.2 HOLDER
set -euo pipefail
installers=$(realpath "$1") tests=$(realpath "$2") sample=$(realpath "$3") newrules=$(realpath "$4")
wine_run=$(realpath "$5") helper=$(realpath "$6") service_old=$(realpath "$7") service_new=$(realpath "$8") holder=$(realpath "$9")
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

install_log() { cat "$FW_WINEPREFIX"/drive_c/users/*/Temp/"Sample Product install.log" 2>/dev/null; }
note() { why=${why:-$1}; }
report() {  # name
    if [ -z "$why" ]; then echo "ok: $1"; passed=$((passed + 1)); else
        echo "FAILED: $1: $why; the installers' log:" >&2
        install_log >&2 || true
        failed=$((failed + 1))
    fi
}
# Every line stamped with the time and the installer's version; the last one
# says the run finished.
log_tells_the_story() {
    ! install_log | grep -qvE '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} installer [0-9.]+: ' ||
        note "an unstamped log line: $(install_log | grep -vE '^[0-9-]{10} [0-9:]{8} installer ' | head -1)"
    install_log | tail -1 | grep -q 'finished' || note "the log's last line: $(install_log | tail -1)"
}
# The service's life as its log tells it: started and stopped once for each
# version named, then started on 1.2.
service_lives() { local v; for v in "$@"; do started "$v"; stopped "$v"; done; started 1.2; }

row() {  # name, installer run first, its status, its log line[, kill point]
    # Set for one row: before (a command run on the folder first), restarts
    # (1: the first run stops before the old rule set goes and starts the
    # service again), lives (the versions the service ran before the last
    # start, when not what the status and restarts say), mend (a command run
    # on the folder between the two runs, as the stop's message asks).
    local name=$1 first=$2 status=$3 line=$4 folder="$work/Program Files/Sample Product Ω $((passed + failed))"
    local got=0
    why=""
    fresh_machine
    install "$installers/sample-product-1.1.exe" "$folder" && tune "$folder" || note "the 1.1 install"
    [[ $first != */nohelper.exe ]] || rm "$folder/fwmaint.exe"
    [ -z "${before:-}" ] || $before "$folder" || note "$before"
    # held(): an upgrade killed first, then a file held through the first run.
    [ -z "${killed_at:-}" ] || FWMAINT_TEST_CRASH=$killed_at install "$tests/hooked.exe" "$folder" || true
    [ -z "${hold:-}" ] || start_holder "$folder/$hold" || note "the holder did not hold $hold"
    FWMAINT_TEST_CRASH=${5:-} install "$first" "$folder" || got=$?
    stop_holder
    [ "$got" = "$status" ] || note "the first run's status is $got, not $status"
    [ "$got" != 0 ] || diff -r "$expected" "$folder" >&2 || note "the folder differs after the first run"
    [ -z "$line" ] || install_log | grep -qF "$line" || note "no log line '$line'"
    if [ "$status" = 0 ] || [ -n "${restarts:-}" ]; then
        running || note "the service is $(service_state) after the first run"
    elif [ -z "${lives:-}" ]; then
        [ "$(service_state)" = STOPPED ] || note "the service is $(service_state) after the first run, not STOPPED"
    fi
    [ -z "${mend:-}" ] || $mend "$folder" || note "$mend"
    install "$installers/sample-product-1.2.exe" "$folder" || note "the upgrade's status is $?"
    diff -r "$expected" "$folder" >&2 || note "the folder differs"
    local log
    if [ -n "${lives:-}" ]; then log=$(service_lives $lives)
    elif [ "$status" = 0 ]; then log=$(service_lives 1.1 1.2)
    elif [ -n "${restarts:-}" ]; then log=$(service_lives 1.1 1.1)
    else log=$(service_lives 1.1); fi
    [ "$(cat "$service_log")" = "$log" ] || note "the service's log reads: $(cat "$service_log")"
    running || note "the service is $(service_state)"
    log_tells_the_story
    report "$name"
}
# Another Windows program holds a file without sharing it, until stop_holder.
start_holder() {
    local i
    "$wine_run" "$holder" "Z:${1//\//\\}" - 600000 "@Z:${work//\//\\}\\held" &
    holding=$!
    for i in $(seq 300); do [ -e "$work/held" ] && return 0; sleep 0.1; done
    return 1
}
stop_holder() {
    [ -n "${holding:-}" ] || return 0
    rm -f "$work/held"
    wait "$holding" || true
    holding=""
}
held() {  # what is held, during which step, its path, the first run's log line[, kill point of a run before]
    hold=$3 killed_at=${5:-} row "upgrade with $1 held past fwmaint's wait during $2, then run again" \
        "$installers/sample-product-1.2.exe" 2 "$4"
}
cut() {  # where, kill point
    row "upgrade killed $1, then run again" "$tests/hooked.exe" 2 "was cut short (exit status 86)" "$2"
}
# What an upgrade by an installer that keeps no record leaves when it is cut
# short: the helper's steps run by hand in the folder, the service stopped.
by_hand() {  # folder, command words
    local folder=$1 word
    shift
    win sc stop SampleProduct || return 1
    while [ "$(service_state)" != STOPPED ]; do sleep 0.1; done
    for word in "$@"; do (cd "$folder" && win "$folder/fwmaint.exe" "$word") || return 1; done
}
saved_by_hand() { by_hand "$1" saveprefs; }
# An earlier run saved local.cf, and the site tuned it again since.
saved_before_tuning() {
    printf 'score-threshold = 9.9\n# tuned before\n' >"$1/sa/ruleset/local.cf"
    by_hand "$1" saveprefs && tune "$1"
}
saved_and_removed_by_hand() { by_hand "$1" saveprefs delsa && [ ! -e "$1/sa" ]; }
# Both layouts, local.cf tuned long before the older layout's last changed,
# and a delsa cut short once sa\ruleset had gone.
both_layouts_cut() {
    touch -d 2020-01-01 "$1/sa/ruleset/local.cf"
    mkdir "$1/sa/spamassassin" && printf 'score-threshold = 5.0\n' >"$1/sa/spamassassin/local.cf"
    by_hand "$1" saveprefs && rm -r "$1/sa/ruleset"
}
# What an older fwmaint left where it could not put t_local.cf back: the
# default in the tree beside the tuned saved copy.
default_beside_saved() { by_hand "$1" saveprefs && cp "$1/local.cf" "$1/sa/ruleset/local.cf"; }
drop_older_layout() { rm "$1/sa/spamassassin/local.cf"; }
old_rule() { printf 'score OLD_RULE 1.0\n' >"$1/sa/ruleset/20_old.cf"; }
upgraded() { install "$installers/sample-product-1.2.exe" "$1"; }

row "upgrade over a tuned 1.1, then run again" "$installers/sample-product-1.2.exe" 0 ""
restarts=1 cut "before saveprefs" 'CopyFileOver:sa\ruleset\local.cf'
restarts=1 cut "inside saveprefs, a copy written but not in place" 'ReplaceWithCopy:t_local.cf'
restarts=1 cut "inside saveprefs, after t_local.cf" 'CopyFileOver:sa\ruleset\user_prefs'
cut "after saveprefs" 'IsLinkPath:sa'
cut "inside delsa" 'DeleteTreeEntry#3'
cut "after delsa and the new rule set" 'CopyFileOver:t_local.cf'
cut "inside restoreprefs, after local.cf" 'CopyFileOver:t_user_prefs'
cut "inside restoreprefs, before the saved copies go" 'DeleteConsumedCopy:t_local.cf'
cut "inside restoreprefs, between the saved copies' deletions" 'DeleteConsumedCopy:t_user_prefs'
cut "after restoreprefs" 'DeleteUnlessReadOnly:sa.tar'
cut "after deltar" 'IsRegularFile:RadaroziZiz.exe'
cut "inside renameservice, between its renames" 'MoveFileNoReplace:RadaroziZiz.exe'
restarts=1 row "upgrade with a misspelled step, then mended" "$tests/misspelled.exe" 2 \
    "fwmaint.exe did not accept the command 'saveprefz' (exit status 1)"
restarts=1 row "upgrade without fwmaint.exe, then mended" "$tests/nohelper.exe" 2 "Could not start fwmaint.exe for the step saveprefs"
restarts=1 held "the current local.cf" saveprefs 'sa/ruleset/local.cf' "fwmaint saveprefs could not save local.cf"
held t_local.cf restoreprefs t_local.cf "fwmaint restoreprefs could not put the saved preferences back" \
    'CopyFileOver:t_local.cf'
# The saved copies are the only ones once the tree has gone: no run may take
# them for an earlier run's leftovers.
before=saved_by_hand row "upgrade over saveprefs run by hand" "$installers/sample-product-1.2.exe" 0 ""
# An earlier copy never passes for this run's: the newer file would go with delsa.
before=saved_before_tuning hold=sa/ruleset/local.cf row "upgrade over an earlier saveprefs, the current local.cf held, then run again" \
    "$installers/sample-product-1.2.exe" 2 "fwmaint saveprefs could not save local.cf"
before=saved_and_removed_by_hand row "upgrade over saveprefs and delsa run by hand" "$installers/sample-product-1.2.exe" 0 ""
before=old_rule held "an old rule file" delsa 'sa/ruleset/20_old.cf' 'fwmaint delsa could not remove'
restarts=1 hold=fwmaint.exe row "upgrade with fwmaint.exe held, then run again" "$installers/sample-product-1.2.exe" 2 \
    "Could not write fwmaint.exe"
before=upgraded restarts=1 lives="1.1 1.2" row "downgrade refused, then 1.2 run again" "$tests/downgrade.exe" 2 \
    "older than the installed Sample Product service 1.2.0.0; nothing was changed"
before=both_layouts_cut mend=drop_older_layout row "upgrade over both layouts after a delsa cut short, an older saved copy" \
    "$installers/sample-product-1.2.exe" 2 "either may hold the site's preferences; nothing was removed"
before=default_beside_saved row "upgrade over an older fwmaint's default laid beside the saved copy" \
    "$installers/sample-product-1.2.exe" 0 ""
# A newer executable an upgrade delivered before it was cut short.
killed_at='CopyFileOver:sa\ruleset\local.cf' restarts=1 row "repair by an older installer over a cut-short upgrade refused" \
    "$tests/downgrade.exe" 2 "older than the installed Sample Product service 1.2.0.0; nothing was changed"

# The uninstall steps, on a folder with a leftover of each name fwmaint writes,
# after a 1.1 install over a service registered for another folder.
uninstall_row() {
    local folder="$work/Program Files/Sample Product Ω $((passed + failed))" kept
    why=""
    fresh_machine
    win sc create SampleProduct binPath= 'Z:\elsewhere\Zovazozu.exe' || note "sc create"
    install "$installers/sample-product-1.1.exe" "$folder" && tune "$folder" || note "the 1.1 install over another folder's service"
    install "$installers/sample-product-1.2.exe" "$folder" || note "the upgrade"
    cp "$service_old" "$folder/Zovazozu.exe~.3.old"
    echo part >"$folder/t_local.cf.fwmaint-7-0.tmp"
    echo tuned >"$folder/t_user_prefs.0.old"
    mkdir "$folder/kept preferences" && echo kept >"$folder/kept preferences/local.cf"  # an earlier uninstall's
    install "$tests/uninstall.exe" "$folder" || note "the uninstall's status is $?"
    kept=$(cd "$folder" && find . -type f | sort | tr '\n' ' ')
    [ "$kept" = "./kept preferences/local.cf ./kept preferences/local.cf.0.old ./kept preferences/user_prefs " ] || note "left: $kept"
    grep -qx kept "$folder/kept preferences/local.cf.0.old" || note "an earlier uninstall's local.cf was not kept"
    cmp -s "$folder/kept preferences/local.cf" "$expected/sa/ruleset/local.cf" || note "local.cf was not kept"
    cmp -s "$folder/kept preferences/user_prefs" "$expected/sa/ruleset/user_prefs" || note "user_prefs was not kept"
    ! win sc query SampleProduct || note "the service is still registered"
    install_log | grep -qF "the service ran" || note "the service was not pointed at the folder"
    install_log | grep -qF "preferences are kept in Z:" || note "no log line naming the kept preferences"
    log_tells_the_story
    report "uninstall keeps the tuned preferences and removes the rest"
}
uninstall_row
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
