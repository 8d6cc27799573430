# Checks shared by make_kit.sh and sign_kit.sh (sourced). The kit format: the 7z archive A;
# M, the lines "product=P\n" and "version=V\n"; L, the length of M in 2 bytes, big-endian; a
# 64-byte ECDSA P-256 signature over the SHA-256 of A M L (r then s, 32 bytes each,
# big-endian); then the 8 bytes KITSIG02. The program reads it in install/kit_signature.h.
KIT_MAGIC=KITSIG02

die() {
  echo "${0##*/}: $*" >&2
  exit 1
}

# The private key must be an ECDSA P-256 key in PEM, as openssl ecparam -genkey writes it.
check_private_key() {
  local key=$1 text
  [ -f "$key" ] || die "no private key file: $key"
  text=$(openssl pkey -in "$key" -noout -text 2>/dev/null) ||
    die "$key is not a private key in PEM form (make one with: openssl ecparam -name prime256v1 -genkey -noout -out KEY.pem)"
  grep -q 'ASN1 OID: prime256v1' <<<"$text" || die "$key is not an ECDSA P-256 (prime256v1) key"
}

# A product: 1 to 64 characters of A-Z a-z 0-9 . _ -, the same as the program's build option.
check_kit_product() {
  local LC_ALL=C  # ranges of ASCII only
  [[ $1 =~ ^[-._0-9A-Za-z]{1,64}$ ]] || die "product '$1' is not 1 to 64 characters of A-Z a-z 0-9 . _ -"
}

# A version: 1 to 4 decimal numbers from 0 to 65535 joined by ".".
check_kit_version() {
  local LC_ALL=C number
  [[ $1 =~ ^[0-9]{1,5}(\.[0-9]{1,5}){0,3}$ ]] || die "version '$1' is not 1 to 4 numbers from 0 to 65535 joined by '.'"
  for number in ${1//./ }; do
    [ $((10#$number)) -le 65535 ] || die "version '$1' is not 1 to 4 numbers from 0 to 65535 joined by '.'"
  done
}

# A signed kit names its product and version, taken from UPDATER_KIT_PRODUCT (the product the
# program is built for) and UPDATER_KIT_VERSION.
check_kit_identity() {
  [ -n "${UPDATER_KIT_PRODUCT:-}" ] || die "UPDATER_KIT_PRODUCT is not set: the product the kit is for, as the program is built with it"
  [ -n "${UPDATER_KIT_VERSION:-}" ] || die "UPDATER_KIT_VERSION is not set: the version of the kit"
  check_kit_product "$UPDATER_KIT_PRODUCT"
  check_kit_version "$UPDATER_KIT_VERSION"
}

# kit_identity FILE: writes M, then L (M stays far below the program's limit of 1024 bytes).
kit_identity() {
  local length
  printf 'product=%s\nversion=%s\n' "$UPDATER_KIT_PRODUCT" "$UPDATER_KIT_VERSION" >"$1"
  length=$(wc -c <"$1")
  printf "$(printf '\\x%02x\\x%02x' $((length >> 8)) $((length & 255)))" >>"$1"
}

# The kit must be one whole 7z archive with nothing after it, so not signed yet.
check_unsigned_archive() {
  local kit=$1 size offset length
  [ -f "$kit" ] || die "no such file: $kit"
  [ "$(od -An -tx1 -N6 "$kit" | tr -d ' \n')" = 377abcaf271c ] || die "$kit is not a 7z archive"
  ! tail -c ${#KIT_MAGIC} "$kit" | grep -qx 'KITSIG0[12]' || die "$kit is signed already"
  # The start header gives where the archive's last header lies and how long it is.
  size=$(wc -c <"$kit")
  offset=$(od -An -tu8 --endian=little -j12 -N8 "$kit" | tr -d ' ')
  length=$(od -An -tu8 --endian=little -j20 -N8 "$kit" | tr -d ' ')
  [ -n "$offset" ] && [ -n "$length" ] && [ "$size" -eq $((32 + offset + length)) ] ||
    die "$kit is not a whole 7z archive: it is $size bytes long, its headers want $((32 + ${offset:-0} + ${length:-0}))"
}
