#!/bin/sh
# Runs a Windows program under Wine, quietly, in a throw-away prefix that is
# created once (under a lock: CTest starts tests in parallel) and reused by
# every later run. FW_WINEPREFIX overrides where the prefix lives.
set -e
WINE=${FW_WINE:-/usr/lib/wine/wine64}
export WINEPREFIX="${FW_WINEPREFIX:-${TMPDIR:-/tmp}/fwmaint-wineprefix-$(id -u)}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/.fwmaint-ready" ]; then
    mkdir -p "$WINEPREFIX"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/.fwmaint-ready" ]; then
            "$WINE" wineboot -i >/dev/null 2>&1 || true
            "$(dirname "$WINE")/wineserver" -w
            touch "$WINEPREFIX/.fwmaint-ready"
        fi
    ) 9>"$WINEPREFIX.lock"
fi
# Keep the server up between the many short runs of a test session (each
# would otherwise pay its start-up); it leaves 10 s after the last one.
"$(dirname "$WINE")/wineserver" -p10 </dev/null >/dev/null 2>&1 || true
# The first program of a server starts Wine's own services, which inherit its
# output and outlive it: through a pipe, CTest would wait for them. So the
# program writes to a file, and only this script holds the caller's output.
output=$(mktemp)
status=0
"$WINE" "$@" </dev/null >"$output" 2>&1 || status=$?
cat "$output"
rm -f "$output"
exit $status
