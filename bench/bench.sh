#!/usr/bin/env bash
# Times `fwmaint delsa` against `rm -rf` on identical fresh trees of 100,000
# files in 100 directories, alternating which goes first, and prints both
# medians and the median of the per-pair ratios (fwmaint / rm; below 1 is
# faster). Runs on a tmpfs mount when it can make one (the removers' own cost),
# otherwise on disk under $TMPDIR.
#   bench/bench.sh [pairs]      (default 9; BENCH_ON=disk skips the tmpfs)
set -euo pipefail
cd "$(dirname "$0")/.."
pairs=${1:-9}

cmake --preset default >/dev/null
cmake --build --preset default --target fwmaint >/dev/null
helper=$PWD/build/fwmaint

root=$(mktemp -d "${TMPDIR:-/tmp}/fwmaint-bench-XXXXXX")
where="disk ($(df -T "$root" | awk 'NR==2 {print $2}'))"
if [ "${BENCH_ON:-}" != disk ] && mount -t tmpfs -o size=2g fwbench "$root" 2>/dev/null; then where=tmpfs; fi
cleanup() { cd /; umount "$root" 2>/dev/null || true; rm -rf "$root"; }
trap cleanup EXIT

# The template is built once; every timed run gets a fresh copy of it.
mkdir "$root/template"
for d in $(seq -w 0 99); do
    mkdir "$root/template/rules$d"
    (cd "$root/template/rules$d" && touch $(printf 'r%04d.cf ' $(seq 0 999)))
done

now() { date +%s%N; }
# Times one removal of a fresh copy: $1 is "fwmaint" or "rm".
timed() {
    local work="$root/work"
    mkdir "$work"
    cp -a "$root/template" "$work/sa"
    sync
    local start end
    start=$(now)
    if [ "$1" = fwmaint ]; then (cd "$work" && "$helper" delsa); else rm -rf "$work/sa"; fi
    end=$(now)
    [ ! -e "$work/sa" ] || { echo "$1 left the tree behind" >&2; exit 1; }
    rmdir "$work"
    echo $(( (end - start) / 1000 ))
}

fw=() rm=() ratios=()
for i in $(seq 1 "$pairs"); do
    if (( i % 2 )); then a=$(timed fwmaint); b=$(timed rm); else b=$(timed rm); a=$(timed fwmaint); fi
    fw+=("$a") rm+=("$b") ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN {printf "%.3f", a / b}')")
done

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
echo "100,000 files in 100 directories on $where, $pairs pairs"
printf 'fwmaint delsa  median %8.1f ms\n' "$(awk -v u="$(median "${fw[@]}")" 'BEGIN {print u / 1000}')"
printf 'rm -rf         median %8.1f ms\n' "$(awk -v u="$(median "${rm[@]}")" 'BEGIN {print u / 1000}')"
echo "median ratio fwmaint/rm: $(median "${ratios[@]}")"
