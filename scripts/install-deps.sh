#!/usr/bin/env bash
# Installs the Debian packages fwmaint needs, so that the README's two
# commands work on a fresh Debian 12 machine:
#   demo  what examples/demo.sh needs: the Linux build and its test tables;
#   all   every check the four presets run (what .ci/run installs).
# Packages already there are left alone; apt-get runs only for missing ones.
set -euo pipefail
# cmake/ninja/g++ build it; libgtest-dev tests it.
demo=(cmake ninja-build g++ libgtest-dev)
# e2fsprogs's chattr gives the tests a real undeletable file; valgrind checks
# every command. The Windows build needs MinGW-w64, GoogleTest's sources
# (googletest) to cross-build the tests, Wine to run them, NSIS (nsis) to
# build the sample product's installers and wixl with msitools (msibuild,
# msiinfo) to build its Windows Installer packages; the release tests sign with
# osslsigncode under a throw-away CA made with openssl. The fuzz targets need
# clang and its libFuzzer/sanitizer runtimes (libclang-rt-14-dev). Only the
# benchmark's io_uring designs need liburing-dev (bench/bench.py says so).
all=("${demo[@]}" e2fsprogs valgrind g++-mingw-w64-x86-64 googletest wine64 wine nsis wixl
     msitools osslsigncode openssl clang libclang-rt-14-dev)
case "${1:-}" in
demo) wanted=("${demo[@]}") ;;
all) wanted=("${all[@]}") ;;
*) echo "usage: $0 demo|all" >&2; exit 2 ;;
esac
missing=()
for package in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update
"${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
