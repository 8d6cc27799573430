#!/usr/bin/env bash
# UPDATER_KIT_PRODUCT=P UPDATER_KIT_VERSION=V sign_kit.sh PRIVATE_KEY.pem KIT: signs the 7z
# archive KIT in place as version V of product P, for an updater built with the matching public
# key and product (UPDATER_KIT_PUBLIC_KEY, UPDATER_KIT_PRODUCT). Appends the product and
# version, the signature and KITSIG02.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/kit_common.sh"

[ $# -eq 2 ] || die "usage: sign_kit.sh PRIVATE_KEY.pem KIT"
key=$1
kit=$2
command -v openssl >/dev/null || die "openssl is missing (Debian package openssl)"
check_private_key "$key"
check_kit_identity
check_unsigned_archive "$kit"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
kit_identity "$work/identity"
cat "$kit" "$work/identity" | openssl dgst -sha256 -sign "$key" -out "$work/signature.der" || die "cannot sign $kit"
# openssl writes the signature in DER, SEQUENCE { INTEGER r, INTEGER s }; the kit holds r and s
# as 32 bytes each.
raw=""
for value in $(openssl asn1parse -inform DER -in "$work/signature.der" | sed -n 's/.*prim: INTEGER *://p'); do
  [ ${#value} -le 64 ] || die "unexpected signature from openssl"
  raw+=$(printf '%64s' "$value" | tr ' ' 0)
done
[ ${#raw} -eq 128 ] || die "unexpected signature from openssl"
cp "$work/identity" "$work/trailer"
printf '%b' "$(sed 's/../\\x&/g' <<<"$raw")$KIT_MAGIC" >>"$work/trailer"
[ "$(wc -c <"$work/trailer")" -eq $(($(wc -c <"$work/identity") + 72)) ] || die "cannot write the signature"
# Written beside the kit and renamed into place, so that a failure part-way (a full disk)
# leaves the kit as it was.
signed=$(mktemp "$(dirname "$kit")/.signed.XXXXXX") || die "cannot write beside $kit"
trap 'rm -rf "$work" "$signed"' EXIT
chmod --reference="$kit" "$signed"
cat "$kit" "$work/trailer" >"$signed" 2>/dev/null && mv -f "$signed" "$kit" ||
  die "cannot write the signed kit beside $kit (is the disk full?); $kit is as it was"
echo "signed $kit as $UPDATER_KIT_PRODUCT $UPDATER_KIT_VERSION"
