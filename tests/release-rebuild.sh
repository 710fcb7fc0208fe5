#!/usr/bin/env bash
# Builds fwmaint.exe and the sample installers from two copies of the sources
# (fresh file times), in two folders, one after the other, and requires the
# same bytes from both: what a user who rebuilds a release must get.
#   release-rebuild.sh SOURCE_DIR BUILD_TYPE CMAKE
set -euo pipefail
source=$(realpath "$1") type=$2 cmake=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/fwmaint-rebuild-XXXXXX")
trap 'rm -rf "$work"' EXIT
build() {  # folder
    mkdir -p "$1/src"
    cp -r "$source/CMakeLists.txt" "$source/cmake" "$source/Fw" "$source/examples" "$1/src/"
    "$cmake" -S "$1/src" -B "$1/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$1/src/cmake/mingw-w64.cmake" \
        -DCMAKE_BUILD_TYPE="$type" -DBUILD_TESTING=OFF >/dev/null
    "$cmake" --build "$1/build" --target fwmaint installers >/dev/null
}
build "$work/one"
build "$work/two/in a deeper folder"
failed=0
for product in fwmaint.exe installer/sample-product-1.1.exe installer/sample-product-1.2.exe; do
    cmp "$work/one/build/$product" "$work/two/in a deeper folder/build/$product" && echo "ok: $product" || failed=1
done
exit $failed
