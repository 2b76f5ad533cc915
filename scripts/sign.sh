#!/usr/bin/env bash
# Signs Windows programs and installers in place (Authenticode, SHA-256) with
# osslsigncode (Debian's osslsigncode package), when a certificate is given
# through the environment:
#   PENMORA_SIGN_PFX        the code-signing certificate with its private key,
#                           as a PKCS#12 file (.pfx or .p12)
#   PENMORA_SIGN_PASSWORD   its password (empty when unset)
#   PENMORA_SIGN_TIMESTAMP  optional: the URL of an RFC 3161 timestamp server,
#                           so the signatures stay valid after the
#                           certificate expires
# Without PENMORA_SIGN_PFX it leaves the files as they are. A file already
# signed gets the new signature in place of its old one. Any failure (a wrong
# password, a timestamp server that does not answer) ends the script with an
# error and leaves that file as it was: nothing is shipped half-signed.
# Usage: scripts/sign.sh FILE...
set -euo pipefail

[ $# -gt 0 ] || { echo "usage: $0 FILE..." >&2; exit 2; }
if [ -z "${PENMORA_SIGN_PFX:-}" ]; then
  exit 0
fi
[ -f "$PENMORA_SIGN_PFX" ] || { echo "$0: no certificate file $PENMORA_SIGN_PFX" >&2; exit 1; }
command -v osslsigncode >/dev/null || {
  echo "$0: osslsigncode is missing (Debian package osslsigncode)" >&2
  exit 1
}

options=(-pkcs12 "$PENMORA_SIGN_PFX" -readpass - -h sha256 -n Penmora)
if [ -n "${PENMORA_SIGN_TIMESTAMP:-}" ]; then
  options+=(-ts "$PENMORA_SIGN_TIMESTAMP")
fi

scratch=""
trap 'rm -rf "$scratch"' EXIT
for file in "$@"; do
  [ -f "$file" ] || { echo "$0: no file $file" >&2; exit 1; }
  # osslsigncode writes a new file; it replaces the old one only once it is
  # complete, from the same folder.
  scratch=$(mktemp -d "$(dirname "$file")/.signing.XXXXXX")
  # The password goes through a pipe, not the command line, where any
  # user of the machine could read it.
  if ! printf '%s' "${PENMORA_SIGN_PASSWORD:-}" |
    osslsigncode sign "${options[@]}" -in "$file" -out "$scratch/signed" >"$scratch/log" 2>&1; then
    cat "$scratch/log" >&2
    echo "$0: could not sign $file" >&2
    exit 1
  fi
  chmod --reference="$file" "$scratch/signed"
  mv -f "$scratch/signed" "$file"
  rm -rf "$scratch"
done
