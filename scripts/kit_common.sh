# Checks shared by make_kit.sh and sign_kit.sh (sourced). The kit format: the 7z archive, a
# 64-byte ECDSA P-256 signature over the archive's SHA-256 (r then s, 32 bytes each,
# big-endian), then the 8 bytes KITSIG01.
KIT_MAGIC=KITSIG01

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

# The kit must be one whole 7z archive with nothing after it, so not signed yet.
check_unsigned_archive() {
  local kit=$1 size offset length
  [ -f "$kit" ] || die "no such file: $kit"
  [ "$(od -An -tx1 -N6 "$kit" | tr -d ' \n')" = 377abcaf271c ] || die "$kit is not a 7z archive"
  ! tail -c ${#KIT_MAGIC} "$kit" | cmp -s - <(printf %s "$KIT_MAGIC") || die "$kit is signed already"
  # The start header gives where the archive's last header lies and how long it is.
  size=$(wc -c <"$kit")
  offset=$(od -An -tu8 --endian=little -j12 -N8 "$kit" | tr -d ' ')
  length=$(od -An -tu8 --endian=little -j20 -N8 "$kit" | tr -d ' ')
  [ -n "$offset" ] && [ -n "$length" ] && [ "$size" -eq $((32 + offset + length)) ] ||
    die "$kit is not a whole 7z archive: it is $size bytes long, its headers want $((32 + ${offset:-0} + ${length:-0}))"
}
