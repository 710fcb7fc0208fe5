#!/usr/bin/env bash
# Builds the sample product's Windows Installer package on Debian, with wixl
# and msitools (msibuild, msiinfo), from sample-product.wxs:
#   build-msi.sh VERSION OUT.msi FWMAINT.exe SERVICE.exe DEFAULTS_DIR RULES_DIR
# wixl 0.101 falls short of WiX in three ways this script mends after it:
# - it drops a custom action that runs a program in a folder (type 34:
#   Directory + ExeCommand) with only a warning; the .wxs is compiled with
#   those actions written against fwmaint.exe's file key (type 18), and the
#   rows are then turned back into type 34 run in INSTALLDIR;
# - it mis-orders Before/After, so the .wxs gives every action a number, and
#   the numbers are written again here, whatever wixl made of them; it also
#   has no MajorUpgrade/@Schedule and leaves RemoveExistingProducts at 1401,
#   so the older product's removal is moved after InstallFinalize (6601);
# - it cannot write the package's codepage: UTF-8 is imported, so that names
#   outside ASCII (patched in by an author) read the same on every system.
# Every mend is checked in the built package; a package that does not hold
# exactly the actions the .wxs names is not written.
set -euo pipefail
here=$(dirname "$(realpath "$0")")
wxs=$here/sample-product.wxs
[ $# -eq 6 ] || { echo "usage: $0 VERSION OUT.msi FWMAINT.exe SERVICE.exe DEFAULTS_DIR RULES_DIR" >&2; exit 2; }
version=$1 out=$2 fwmaint=$(realpath "$3") service=$(realpath "$4") defaults=$(realpath "$5") rules=$(realpath "$6")
work=$(mktemp -d "${TMPDIR:-/tmp}/fwmaint-msi-XXXXXX")
trap 'rm -rf "$work"' EXIT

# The type-34 actions, as the .wxs spells them, and where they must run.
mapfile -t actions < <(sed -n 's/.*<CustomAction Id="\([^"]*\)" Directory="INSTALLDIR".*/\1/p' "$wxs")
mapfile -t sequence < <(sed -n 's/.*<Custom Action="\([^"]*\)" Sequence="\([0-9]*\)">.*/\1 \2/p' "$wxs")
grep -q 'Schedule="afterInstallFinalize"' "$wxs" || { echo "$wxs: the major upgrade is not scheduled after InstallFinalize" >&2; exit 1; }
[ ${#actions[@]} -gt 0 ] && [ ${#actions[@]} -eq ${#sequence[@]} ] || {
    echo "$wxs: ${#actions[@]} actions in INSTALLDIR, ${#sequence[@]} sequenced" >&2; exit 1; }

# The copy wixl compiles: type-34 actions as type 18; "$Component" (a
# component's action, in a condition) as "$$Component", since wixl's
# preprocessor drops a lone "$"; no Schedule, which it does not know.
sed -e 's/<CustomAction Id="\([^"]*\)" Directory="INSTALLDIR"/<CustomAction Id="\1" FileKey="fwmaint.exe"/' \
    -e 's/\$\([A-Za-z_]\)/$$\1/g' -e 's/ Schedule="afterInstallFinalize"//' "$wxs" >"$work/product.wxs"
# wixl takes sources relative to the folder it runs in (an absolute Source
# fails to resolve): each input is linked in under a plain name.
ln -s "$here/fwmaint-steps.cmd" "$work/fwmaint-steps.cmd"
ln -s "$fwmaint" "$work/fwmaint.exe"
ln -s "$service" "$work/Zovazozu.exe"
ln -s "$defaults" "$work/defaults"
ln -s "$rules" "$work/rules"
(cd "$work" && wixl -a x64 -D Version="$version" -D Fwmaint=fwmaint.exe -D Steps=fwmaint-steps.cmd \
    -D Service=Zovazozu.exe -D Defaults=defaults -D Rules=rules -o product.msi product.wxs)

# Deferred (1024), without impersonation (2048), checked: 18 is wixl's, 34 ours.
queries=(-q "UPDATE CustomAction SET Type=3106, Source='INSTALLDIR' WHERE Type=3090")
sequence+=("RemoveExistingProducts 6601")
for entry in "${sequence[@]}"; do
    queries+=(-q "UPDATE InstallExecuteSequence SET Sequence=${entry#* } WHERE Action='${entry% *}'")
done
msibuild "$work/product.msi" "${queries[@]}"
printf '\r\n\r\n65001\t_ForceCodepage\r\n' >"$work/_ForceCodepage.idt"
msibuild "$work/product.msi" -i "$work/_ForceCodepage.idt"

# The checks: every action is type 34 in INSTALLDIR at its number, and no
# other custom action is there.
msiinfo export "$work/product.msi" CustomAction | tr -d '\r' | tail -n +4 >"$work/actions"
msiinfo export "$work/product.msi" InstallExecuteSequence | tr -d '\r' | tail -n +4 >"$work/sequence"
[ "$(wc -l <"$work/actions")" -eq ${#actions[@]} ] || { echo "wixl wrote other custom actions:" >&2; cat "$work/actions" >&2; exit 1; }
for action in "${actions[@]}"; do
    awk -F'\t' -v a="$action" '$1 == a && $2 == 3106 && $3 == "INSTALLDIR" { found = 1 } END { exit !found }' \
        "$work/actions" || { echo "$action is not a deferred type-34 action in INSTALLDIR" >&2; exit 1; }
done
for entry in "${sequence[@]}"; do
    awk -F'\t' -v a="${entry% *}" -v n="${entry#* }" '$1 == a && $3 == n { found = 1 } END { exit !found }' \
        "$work/sequence" || { echo "${entry% *} is not at ${entry#* }" >&2; exit 1; }
done
mkdir -p "$(dirname "$out")"
mv "$work/product.msi" "$out"
