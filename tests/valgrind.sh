#!/usr/bin/env bash
# Every command of the built helper under valgrind's memcheck, each in a fresh
# copy of the sample installation (with a read-only folder and one big enough
# for batched unlinks), plus the rejected command lines. Passes
# only with no memory error and no leak. (libstdc++'s exception pool, 71 KiB
# allocated when the program loads and kept for its lifetime, shows as "still
# reachable": not a leak.) Debian's valgrind does not know openat2 and warns
# once per run; the helper then opens directories through its statx
# fallback, which this run therefore checks.
#   valgrind.sh HELPER SAMPLE_DIR
set -uo pipefail
helper=$(realpath "$1") sample=$(realpath "$2")
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/fwmaint-valgrind-XXXXXX")
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
failed=0
check() {  # expected status, then the arguments
    local expected=$1 status
    shift
    rm -rf "$work/dir" && cp -a "$sample" "$work/dir" && chmod a-w "$work/dir/sa/ruleset"
    # Enough files in one folder for delsa to hand unlinks to its second thread.
    mkdir "$work/dir/sa/many" && (cd "$work/dir/sa/many" && touch f{1..300})
    (cd "$work/dir" && valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect,possible \
        --errors-for-leak-kinds=definite,indirect,possible --track-fds=no "$helper" "$@")
    status=$?
    if [ "$status" -ne "$expected" ]; then
        echo "FAILED: fwmaint ${*:1:2} under valgrind: status $status, expected $expected (99: memcheck found errors)" >&2
        failed=1
    else
        echo "ok: fwmaint ${*:1:2}" | cut -c1-60
    fi
}
for word in saveprefs delsa restoreprefs deltar renameservice DELSA; do check 0 "$word"; done
check 1
check 1 deltar delsa
check 1 nosuchword
check 1 ""
check 1 "$(printf 'x%.0s' {1..5000})"
exit $failed
