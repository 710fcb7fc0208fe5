#!/bin/sh
# Signs Windows executables in place with Authenticode (Debian: osslsigncode).
#   FW_SIGN_PKCS12=cert.p12 [FW_SIGN_PASSWORD_FILE=f] [FW_SIGN_TIMESTAMP_URL=u] sign.sh FILE...
# The PKCS#12 file holds the code-signing certificate, its chain and its key.
# Its password is read from a file, never taken on the command line, where
# any user's ps would show it. Without a time-stamp server the signature
# carries no time stamp (a build without network); with one, the server must
# answer, or the file stays unsigned and this fails: a release signature
# that dies with its certificate should not pass unnoticed. An existing
# signature is replaced. Quiet unless something fails.
set -eu
pkcs12=${FW_SIGN_PKCS12:?no PKCS#12 file} password_file=${FW_SIGN_PASSWORD_FILE:-}
timestamp_url=${FW_SIGN_TIMESTAMP_URL:-}
for file; do
    signed="$file.signed"
    if ! log=$(osslsigncode sign -pkcs12 "$pkcs12" ${password_file:+-readpass "$password_file"} -h sha256 \
            ${timestamp_url:+-ts "$timestamp_url"} -in "$file" -out "$signed" 2>&1); then
        rm -f "$signed"
        printf 'sign.sh: cannot sign %s:\n%s\n' "$file" "$log" >&2
        exit 1
    fi
    mv -f "$signed" "$file"
done
