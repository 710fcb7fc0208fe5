#!/usr/bin/env bash
# Signs a copy of fwmaint.exe through cmake/sign.sh with a throw-away CA: it
# verifies, unsigns to the very build, and runs under Wine as the unsigned one.
#   release-sign.sh FWMAINT_EXE SIGN_SCRIPT WINE_RUN WINDRES
set -euo pipefail
helper=$(realpath "$1") sign=$(realpath "$2") wine_run=$(realpath "$3") windres=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/fwmaint-sign-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
failed=0
check() {  # description, command...
    if "${@:2}" >check.log 2>&1; then echo "ok: $1"; else echo "FAILED: $1" >&2; cat check.log >&2; failed=1; fi
}
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=fwmaint test CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -keyout signer.key -out signer.pem -days 1 -subj "/CN=fwmaint test signer" \
    -CA ca.pem -CAkey ca.key -addext basicConstraints=CA:FALSE -addext extendedKeyUsage=codeSigning 2>/dev/null
echo 'throw-away password' >password
openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -passout file:password -out signer.p12
export FW_SIGN_PKCS12=signer.p12 FW_SIGN_PASSWORD_FILE=password

cp "$helper" unsigned.exe && cp "$helper" signed.exe && cp "$helper" stamped.exe
sh "$sign" signed.exe
check "the signature verifies against the CA" osslsigncode verify -CAfile ca.pem -in signed.exe
osslsigncode remove-signature -in signed.exe -out stripped.exe >/dev/null
check "without its signature it is the unsigned build" cmp unsigned.exe stripped.exe
check "no answer from the time-stamp server: no signature, the file as it was" bash -c \
    '! FW_SIGN_TIMESTAMP_URL=http://127.0.0.1:9/ sh "$1" stamped.exe && cmp unsigned.exe stamped.exe' - "$sign"

for line in "" "nosuchword" "deltar" "deltar delsa"; do  # status and what is left, signed and unsigned
    for exe in unsigned signed; do
        rm -rf run && mkdir run && echo a >run/sa.tar
        # shellcheck disable=SC2086  # the words of the line
        (cd run && "$wine_run" "$work/$exe.exe" $line >/dev/null 2>&1) && status=0 || status=$?
        echo "$status $(ls run)" >"$exe.result"
    done
    check "exits as the unsigned build: '$line' ($(cat signed.result))" cmp unsigned.result signed.result
done
echo 'WScript.Echo(new ActiveXObject("Scripting.FileSystemObject").GetFileVersion("signed.exe"));' >version.js
check "the version resource reads back under Wine" bash -c '[ "$("$1" cscript //nologo version.js | tr -d "\r")" = 1.2.2.9 ]' - "$wine_run"
"$windres" -i unsigned.exe -O rc -o unsigned.rc && "$windres" -i signed.exe -O rc -o signed.rc
check "the resources, manifest included, are the unsigned build's" cmp unsigned.rc signed.rc
exit $failed
