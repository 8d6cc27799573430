#!/usr/bin/env bash
# make_test_kits.sh KEY_DIR PRODUCT OUTDIR: the kits of the signature tests, made with the
# vendor scripts from a small tree (OUTDIR/tree): version 2.0 of PRODUCT signed with
# KEY_DIR/private.pem (the key and product the tests' programs are built with), unsigned,
# signed with another key made here, version 1.9 (of OUTDIR/older), for another product, in the
# first format (KITSIG01: the signature over the archive alone), and signed kits damaged in the
# archive, the signature, the magic, the product and version or their length, or cut inside the
# trailer, and a kit of what changed between two versions of a tree (OUTDIR/old, OUTDIR/new).
# The tree holds a record of its own saying version 0.1, which the program's must beat.
set -euo pipefail
key_dir=$1
export UPDATER_KIT_PRODUCT=$2 UPDATER_KIT_VERSION=2.0
out=$3
scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)

rm -rf "$out"
mkdir -p "$out/tree/sub"
printf 'signed kit\n' >"$out/tree/a.txt"
printf 'second file\n' >"$out/tree/sub/b.txt"
printf 'product=%s\nversion=0.1\n' "$UPDATER_KIT_PRODUCT" >"$out/tree/installed_version.txt"
mkdir -p "$out/older"
printf 'older kit\n' >"$out/older/a.txt"
openssl ecparam -name prime256v1 -genkey -noout -out "$out/other.pem"

bash "$scripts/make_kit.sh" "$out/tree" "$out/signed.rtp" "$key_dir/private.pem" >/dev/null
bash "$scripts/make_kit.sh" "$out/tree" "$out/unsigned.rtp" >/dev/null
bash "$scripts/make_kit.sh" "$out/tree" "$out/other_key.rtp" "$out/other.pem" >/dev/null
UPDATER_KIT_VERSION=1.9 bash "$scripts/make_kit.sh" "$out/older" "$out/older.rtp" "$key_dir/private.pem" >/dev/null
UPDATER_KIT_PRODUCT=$UPDATER_KIT_PRODUCT-lite bash "$scripts/make_kit.sh" "$out/tree" "$out/other_product.rtp" \
  "$key_dir/private.pem" >/dev/null
cp "$out/unsigned.rtp" "$out/kitsig01.rtp"
printf '%b' "$(openssl dgst -sha256 -sign "$key_dir/private.pem" "$out/unsigned.rtp" | openssl asn1parse -inform DER |
  sed -n 's/.*INTEGER *://p' | xargs printf '%64s' | tr ' ' 0 | sed 's/../\\x&/g')" >>"$out/kitsig01.rtp"
printf KITSIG01 >>"$out/kitsig01.rtp"

# flip FILE OFFSET: changes one byte.
flip() {
  local byte
  byte=$(od -An -tu1 -j"$2" -N1 "$1" | tr -d ' ')
  printf "\\x$(printf %02x $((byte ^ 0x5a)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
size=$(wc -c <"$out/signed.rtp")
for name in archive_changed signature_changed other_magic trailer_cut identity_changed length_changed; do
  cp "$out/signed.rtp" "$out/$name.rtp"
done
flip "$out/archive_changed.rtp" 40
flip "$out/signature_changed.rtp" $((size - 72 + 10))
flip "$out/other_magic.rtp" $((size - 1))
truncate -s $((size - 30)) "$out/trailer_cut.rtp"
flip "$out/identity_changed.rtp" $((size - 76))  # the 0 of version=2.0
flip "$out/length_changed.rtp" $((size - 73))

# Two versions of a tree and the kit of what changed between them.
mkdir -p "$out/old/sub" "$out/new/sub" "$out/new/added/empty"
printf 'version 1\n' >"$out/old/a.txt"
printf 'version 2\n' >"$out/new/a.txt"
printf 'same\n' | tee "$out/old/sub/same.txt" >"$out/new/sub/same.txt"
printf 'added\n' >"$out/new/added/c.txt"
bash "$scripts/make_kit.sh" --since "$out/old" "$out/new" "$out/since.rtp" >/dev/null
