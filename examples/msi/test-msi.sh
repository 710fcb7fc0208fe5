#!/usr/bin/env bash
# Installs the sample product's Windows Installer packages under Wine's
# msiexec into folders whose path holds blanks and a non-ASCII character:
# a fresh 1.1; its major upgrade to 1.2 over tuned preferences, whole, cut
# short inside a fwmaint step (the test build's crash switch) or between
# steps (msiexec killed), then run again; 1.2 repaired; 1.2 removed; 1.1
# refused over 1.2. Each row checks the whole folder against what one clean
# run leaves, and the service.
#   test-msi.sh MSI_DIR HOOKED.msi SAMPLE RULES_1.2 WINE_RUN FWMAINT SERVICE_1.1 SERVICE_1.2
set -euo pipefail
msis=$(realpath "$1") hooked=$(realpath "$2") sample=$(realpath "$3") rules=$(realpath "$4")
wine_run=$(realpath "$5") helper=$(realpath "$6") service_old=$(realpath "$7") service_new=$(realpath "$8")
here=$(dirname "$(realpath "$0")")
work=$(mktemp -d "${TMPDIR:-/tmp}/fwmaint-msi-XXXXXX")
# A Wine prefix of the test's own: the products' registrations and the
# service live and die there.
export FW_WINEPREFIX=$work/prefix
wine=${FW_WINE:-/usr/lib/wine/wine64}
trap 'WINEPREFIX=$FW_WINEPREFIX "$(dirname "$wine")/wineserver" -k; rm -rf "$work"' EXIT
service_log="$FW_WINEPREFIX/drive_c/ProgramData/Sample Product/service.log"
win() { "$wine_run" "$@" >/dev/null 2>&1; }
# msiexec's Unix status is the Windows Installer code cut to 8 bits
# (1603, "fatal error", is 67).
msi() {  # action, package, folder number[, property...]
    local action=$1 package=$2 folder=$3
    shift 3
    "$wine_run" msiexec "$action" "Z:${package//\//\\}" /qn "INSTALLDIR=C:\\Program Files\\Sample Product Ω $folder" "$@"
}
folder_of() { echo "$FW_WINEPREFIX/drive_c/Program Files/Sample Product Ω $1"; }
service_state() { "$wine_run" sc query SampleProduct | sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }
running() {
    local i
    for i in $(seq 50); do
        [ "$(service_state)" = RUNNING ] && return 0
        sleep 0.1
    done
    return 1
}
registered() { "$wine_run" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s |
    tr -d '\r' | sed -n 's/.*DisplayVersion *REG_SZ *//p' | sort | tr '\n' ' '; }
# Every product removed (the row's own folder goes with the machine), the
# service gone. The prefix is the test's: every product there is the sample.
products() { "$wine_run" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' |
    tr -d '\r' | grep -o '{[-0-9A-F]*}$' || true; }
fresh_machine() {
    local product
    for product in $(products); do win msiexec /x "$product" /qn || true; done
    if win sc query SampleProduct; then
        win sc stop SampleProduct || true
        win sc delete SampleProduct || true
    fi
    rm -f "$service_log"
}
tune() {
    printf 'score-threshold = 3.3\n# tuned on site\n' >"$1/sa/ruleset/local.cf"
    printf 'whitelist_from *@partner.example\n' >"$1/sa/ruleset/user_prefs"
}
# What one clean run leaves: the files Windows Installer lays (fwmaint, its
# steps, the defaults, the release folder) and those the steps put in
# place (the service executables, the rule set with the preferences).
lay_release() {  # folder, service, rule files
    local folder=$1 service=$2
    shift 2
    mkdir -p "$folder/release/sa/ruleset" "$folder/sa/ruleset"
    cp "$helper" "$here/fwmaint-steps.cmd" "$sample/local.cf" "$sample/user_prefs" "$folder/"
    cp "$service" "$folder/release/Zovazozu.exe"
    cp "$service" "$folder/Zovazozu.exe"
    cp "$@" "$folder/release/sa/ruleset/"
    cp "$@" "$folder/sa/ruleset/"
    cp "$sample/local.cf" "$folder/sa/ruleset/local.cf.sample"
}
expected11=$work/expected-1.1 expected12=$work/expected-1.2
lay_release "$expected11" "$service_old" "$sample/sa/ruleset/10_default_rules.cf" "$sample/sa/ruleset/20_body_tests.cf"
cp "$sample/local.cf" "$sample/user_prefs" "$expected11/sa/ruleset/"
lay_release "$expected12" "$service_new" "$rules"/*.cf
cp "$service_old" "$expected12/Zovazozu.exe~"
tune "$expected12"

failed=0 passed=0 row_number=0
start_row() { row_number=$((row_number + 1)) why=""; fresh_machine; }
note() { why=${why:-$1}; }
end_row() {
    if [ -z "$why" ]; then echo "ok: $1"; passed=$((passed + 1)); else
        echo "FAILED: $1: $why" >&2
        failed=$((failed + 1))
    fi
}
# 1.1 laid down and tuned, as the upgrade rows start.
tuned_11() {
    msi /i "$msis/sample-product-1.1.msi" "$row_number" && tune "$(folder_of "$row_number")" || note "the 1.1 install"
}
# The upgrade run again to its end: the folder as one clean upgrade leaves
# it, and the service running 1.2.
upgraded() {
    local folder
    folder=$(folder_of "$row_number")
    msi /i "$msis/sample-product-1.2.msi" "$row_number" || note "the upgrade's status is $?"
    diff -r "$expected12" "$folder" >&2 || note "the folder differs"
    running || note "the service is $(service_state)"
    [ "$(tail -n 1 "$service_log")" = $'Sample Product service 1.2 started\r' ] ||
        note "the service's last log line reads: $(tail -n 1 "$service_log")"
}

start_row
msi /i "$msis/sample-product-1.1.msi" "$row_number" || note "the status is $?"
diff -r "$expected11" "$(folder_of "$row_number")" >&2 || note "the folder differs"
running || note "the service is $(service_state)"
[ "$(registered)" = "1.1.0.0 " ] || note "registered: $(registered)"
end_row "fresh install of 1.1"

start_row
tuned_11
upgraded
[ "$(cat "$service_log")" = "$(printf 'Sample Product service %s\r\n' '1.1 started' '1.1 stopped' '1.2 started')" ] ||
    note "the service's log reads: $(cat "$service_log")"
[ "$(registered)" = "1.2.0.0 " ] || note "registered: $(registered)"
end_row "major upgrade of a tuned 1.1 to 1.2"

# Cut short inside a step: the test build's crash switch ends fwmaint on the
# spot, the step fails, and Windows Installer ends the upgrade with an error.
for cut in 'CopyFileOver:sa\ruleset\local.cf|inside saveprefs' 'DeleteTreeEntry#3|inside delsa' \
           'CopyFileOver:t_local.cf|inside restoreprefs' \
           "DeleteConsumedCopy:t_user_prefs|between restoreprefs' deletions" \
           "MoveFileNoReplace:RadaroziZiz.exe|between renameservice's renames"; do
    start_row
    tuned_11
    status=0
    FWMAINT_TEST_CRASH=${cut%%|*} msi /i "$hooked" "$row_number" || status=$?
    [ "$status" != 0 ] || note "the cut-short upgrade reported success"
    upgraded
    end_row "upgrade cut short ${cut#*|}, then run again"
done

# Cut short between steps: msiexec killed the moment the folder shows a
# step done (the next one may have begun). Wine's launcher waits for the
# real msiexec.exe, a process of this test's prefix, found through /proc
# (procps may be missing) and killed by its number.
installers() {
    local cmdline pid
    for cmdline in $(grep -lsa 'msiexec\.exe' /proc/[0-9]*/cmdline); do
        pid=${cmdline#/proc/} && pid=${pid%/cmdline}
        ! grep -qsa "WINEPREFIX=$FW_WINEPREFIX" "/proc/$pid/environ" || echo "$pid"
    done
}
for kill in '-e t_local.cf|after saveprefs' '! -e sa|after delsa' '-e Zovazozu.exe~|after renameservice'; do
    start_row
    tuned_11
    folder=$(folder_of "$row_number")
    WINEPREFIX=$FW_WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" msiexec /i \
        "Z:${msis//\//\\}\\sample-product-1.2.msi" /qn "INSTALLDIR=C:\\Program Files\\Sample Product Ω $row_number" \
        >/dev/null 2>&1 &
    launcher=$!
    seen="" installer=""
    for i in $(seq 3000); do
        # shellcheck disable=SC2086  # the condition's words
        if (cd "$folder" && test ${kill%%|*}); then seen=1; break; fi
        sleep 0.01
    done
    installer=$(installers)
    # shellcheck disable=SC2086
    [ -z "$installer" ] || kill -9 $installer 2>/dev/null || true
    wait "$launcher" || true
    [ -n "$installer" ] || note "no msiexec.exe to kill"
    [ -n "$seen" ] || note "the folder never showed the step done"
    # The older product is removed last: still there, the upgrade was cut short.
    [ "$(registered)" = "1.1.0.0 " ] || note "after the kill, registered: $(registered)"
    upgraded
    end_row "upgrade with msiexec killed ${kill#*|}, then run again"
done

start_row
tuned_11
upgraded
folder=$(folder_of "$row_number")
rm "$folder/fwmaint.exe" "$folder/release/sa/ruleset/30_new_checks.cf" "$folder/sa/ruleset/20_body_tests.cf"
# The package run again with every file laid again (msiexec /fa does the
# same on Windows; Wine's /f takes only a product code).
msi /i "$msis/sample-product-1.2.msi" "$row_number" REINSTALL=ALL REINSTALLMODE=amus || note "the repair's status is $?"
diff -r "$expected12" "$folder" >&2 || note "the folder differs after the repair"
running || note "the service is $(service_state) after the repair"
end_row "1.2 run again as a repair"

# cmd reads an "&" in the folder's name as the end of a command.
start_row
msi /i "$msis/sample-product-1.2.msi" "$row_number & Co" || note "the status is $?"
running || note "the service is $(service_state)"
end_row "fresh install of 1.2 into a folder named with &"

# Removal keeps the site's preferences as the saved copies, and nothing else.
start_row
tuned_11
upgraded
folder=$(folder_of "$row_number")
msi /x "$msis/sample-product-1.2.msi" "$row_number" || note "the removal's status is $?"
kept=$work/kept
rm -rf "$kept" && mkdir -p "$kept"
cp "$expected12/sa/ruleset/local.cf" "$kept/t_local.cf"
cp "$expected12/sa/ruleset/user_prefs" "$kept/t_user_prefs"
diff -r "$kept" "$folder" >&2 || note "the folder holds more or less than the saved preferences"
! win sc query SampleProduct || note "the service is still registered"
[ -z "$(registered)" ] || note "registered: $(registered)"
end_row "removal keeps only the tuned preferences"

start_row
msi /i "$msis/sample-product-1.2.msi" "$row_number" || note "the 1.2 install"
folder=$(folder_of "$row_number")
tune "$folder"
cp -r "$folder" "$work/before"
status=0
msi /i "$msis/sample-product-1.1.msi" "$row_number" || status=$?
[ "$status" = 67 ] || note "the status is $status, not 1603 & 255"
diff -r "$work/before" "$folder" >&2 || note "the folder changed"
running || note "the service is $(service_state)"
[ "$(registered)" = "1.2.0.0 " ] || note "registered: $(registered)"
end_row "1.1 refused over 1.2"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
