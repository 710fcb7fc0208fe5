#!/usr/bin/env bash
# The Windows build against links planted in its tree. Wine cannot make a
# link from Windows code, so this lays Unix symbolic links from the Linux
# side. Wine shows a link to a folder as a reparse point but follows it even
# when asked for the link itself, and shows a link to a file as the file, so
# only folder links can be tried here (the Linux build's tests try the rest).
# Whatever the helper does, nothing outside its working directory may change,
# and a saved copy it could not put back stays.
#   wine-links.sh WINE_RUN FWMAINT
set -euo pipefail
wine_run=$(realpath "$1") helper=$(realpath "$2")
work=$(mktemp -d "${TMPDIR:-/tmp}/fwmaint-links-XXXXXX")
trap 'rm -rf "$work"' EXIT
d=$work/d o=$work/outside failed=0
lay() {
    rm -rf "$d" "$o"
    mkdir -p "$d/sa/ruleset" "$o/rs"
    printf victim >"$o/victim" && chmod 444 "$o/victim"
    printf secret >"$o/secret"
    printf rs >"$o/rs/local.cf"
    printf dL >"$d/local.cf" && printf dP >"$d/user_prefs" && printf tuned >"$d/t_local.cf"
}
outside() { (cd "$o" && find . -printf '%p %m %s\n' | sort && find . -type f -exec cat {} +); }
check() {  # name, command, what must still be in the working directory
    local before
    before=$(outside)
    (cd "$d" && "$wine_run" "$helper" "$2" >/dev/null 2>&1) || { echo "FAILED: $1: status $?"; failed=1; return; }
    [ "$(outside)" = "$before" ] || { echo "FAILED: $1: the outside changed"; failed=1; return; }
    [ -z "$3" ] || [ "$(cat "$d/$3" 2>/dev/null)" = tuned ] || { echo "FAILED: $1: $3 lost"; failed=1; return; }
    echo "ok: $1"
}
lay; rm -r "$d/sa/ruleset"; ln -s "$o/rs" "$d/sa/ruleset"
check "restoreprefs, sa\\ruleset a link outside" restoreprefs t_local.cf
lay; rm -r "$d/sa"; ln -s "$o" "$d/sa"
check "restoreprefs, sa a link outside" restoreprefs t_local.cf
lay; rm -r "$d/sa/ruleset"; ln -s "$o/rs" "$d/sa/ruleset"
check "saveprefs, sa\\ruleset a link outside" saveprefs t_local.cf
exit $failed
