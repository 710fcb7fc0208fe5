#!/usr/bin/env bash
# The Windows build against links planted in its tree. Wine cannot make a
# link from Windows code, so this lays Unix symbolic links from the Linux
# side, as a Wine user or an administrator may. Wine follows them even when
# asked for the link itself, lists a link to a file as the file, and deletes
# the target when asked to delete the link. Whatever the helper does, nothing
# outside its working directory may change, nothing from outside may be
# copied in, and a saved copy it could not put back stays.
#   wine-links.sh WINE_RUN FWMAINT
set -euo pipefail
wine_run=$(realpath "$1") helper=$(realpath "$2")
work=$(mktemp -d "${TMPDIR:-/tmp}/fwmaint-links-XXXXXX")
trap 'umount "$work/d/sa/m" 2>/dev/null || true; rm -rf "$work"' EXIT
d=$work/d o=$work/outside failed=0
lay() {
    rm -rf "$d" "$o"
    mkdir -p "$d/sa/ruleset" "$o/rs" "$o/empty"
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
    [ -z "$(find "$d" -type f -exec grep -l secret {} +)" ] || { echo "FAILED: $1: copied from outside"; failed=1; return; }
    [ -z "$3" ] || [ "$(cat "$d/$3" 2>/dev/null)" = tuned ] || { echo "FAILED: $1: $3 lost"; failed=1; return; }
    echo "ok: $1"
}
lay; rm -r "$d/sa/ruleset"; ln -s "$o/rs" "$d/sa/ruleset"
check "restoreprefs, sa\\ruleset a link outside" restoreprefs t_local.cf
lay; rm -r "$d/sa"; ln -s "$o" "$d/sa"
check "restoreprefs, sa a link outside" restoreprefs t_local.cf
lay; rm -r "$d/sa/ruleset"; ln -s "$o/rs" "$d/sa/ruleset"
check "saveprefs, sa\\ruleset a link outside" saveprefs t_local.cf
# Links to a file outside, under every name a command deletes, copies from
# or sweeps.
file_links=(
    "delsa sa/ruleset/a"
    "deltar sa.tar"
    "restoreprefs t_local.cf"
    "saveprefs sa/ruleset/local.cf"
    "saveprefs t_local.cf.fwmaint-123-0.tmp"
    "saveprefs .t_local.cf.fwmaint-123-0"
    "restoreprefs sa/ruleset/local.cf.fwmaint-123-0.tmp"
    "renameservice Zovazozu.exe~.3.old"
    "renameservice Zovazozu.exe~"
    "saveprefs sa/spamassassin/local.cf"
    "delsa sa/ruleset/deeper/a"
)
for row in "${file_links[@]}"; do
    set -- $row
    lay; rm -f "$d/t_local.cf"; mkdir -p "$d/sa/spamassassin" "$d/sa/ruleset/deeper"
    printf v1 >"$d/Zovazozu.exe" && printf v2 >"$d/RadaroziZiz.exe" && printf v0 >"$d/Zovazozu.exe~"
    rm -f "$d/$2" && ln -s "$o/secret" "$d/$2"
    check "$1, $2 a link to a file outside" "$1" ""
done
# Links to an empty folder outside, as the tree and inside it.
for name in sa sa/x; do
    lay; rm -rf "${d:?}/$name"; ln -s "$o/empty" "$d/$name"
    check "delsa, $name a link to an empty folder outside" delsa ""
done
# A folder spelled like the working folder but for its case is another
# folder on a Linux disk.
for twin in D; do
    lay; mkdir -p "$work/$twin"; printf twin >"$work/$twin/sa.tar"; ln -s "$work/$twin/sa.tar" "$d/sa.tar"
    check "deltar, sa.tar a link into $twin" deltar ""
    [ "$(cat "$work/$twin/sa.tar" 2>/dev/null)" = twin ] || { echo "FAILED: deltar, sa.tar a link into $twin: deleted"; failed=1; }
    rm -rf "${work:?}/$twin"
done
# Links to a file beside them, under names with a "~", the mark of the
# short names Wine lists for Unix names Windows cannot hold.
for name in Zovazozu.exe~ Zovazozu.exe~.3.old; do
    lay; printf v1 >"$d/Zovazozu.exe" && printf v2 >"$d/RadaroziZiz.exe"; ln -s t_local.cf "$d/$name"
    check "renameservice, $name a link to t_local.cf beside it" renameservice t_local.cf
done
# A bind mount inside the tree, of a folder on the same disk, is not the
# tree's: the Linux build never enters it, nor may Wine's (skipped where
# mounts are not allowed).
lay; mkdir -p "$o/mounted/deeper" "$d/sa/m"; printf m >"$o/mounted/deeper/keep"
if mount --bind "$o/mounted" "$d/sa/m" 2>/dev/null; then
    check "delsa, a bind mount of a folder outside inside sa" delsa ""
    umount "$d/sa/m"
else
    echo "skipped: delsa, a bind mount inside sa (no mounts here)"
fi
# Two main executables whose names differ only in case (made on the Linux
# side): Wine takes the name for either, and no run may lose the previous
# version.
lay; printf v1 >"$d/Zovazozu.exe" && printf twin >"$d/ZOVAZOZU.EXE" && printf v2 >"$d/RadaroziZiz.exe"
check "renameservice, Zovazozu.exe beside ZOVAZOZU.EXE" renameservice ""
check "renameservice again, Zovazozu.exe beside ZOVAZOZU.EXE" renameservice ""
for version in v1 twin v2; do
    grep -qx "$version" "$d"/Zovazozu* "$d"/ZOVAZOZU* "$d"/RadaroziZiz* 2>/dev/null ||
        { echo "FAILED: renameservice with a case twin: $version lost"; failed=1; }
done
exit $failed
