#!/usr/bin/env bash
# make_test_kits.sh KEY_DIR OUTDIR: the kits of the signature tests, made with the vendor
# scripts from a small tree (OUTDIR/tree): signed with KEY_DIR/private.pem (the key the tests'
# programs are built with), unsigned, signed with another key made here, signed kits
# damaged in the archive, the signature, the magic, or cut inside the trailer, and a kit of
# what changed between two versions of a tree (OUTDIR/old, OUTDIR/new).
set -euo pipefail
key_dir=$1
out=$2
scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)

rm -rf "$out"
mkdir -p "$out/tree/sub"
printf 'signed kit\n' >"$out/tree/a.txt"
printf 'second file\n' >"$out/tree/sub/b.txt"
openssl ecparam -name prime256v1 -genkey -noout -out "$out/other.pem"

bash "$scripts/make_kit.sh" "$out/tree" "$out/signed.rtp" "$key_dir/private.pem" >/dev/null
bash "$scripts/make_kit.sh" "$out/tree" "$out/unsigned.rtp" >/dev/null
bash "$scripts/make_kit.sh" "$out/tree" "$out/other_key.rtp" "$out/other.pem" >/dev/null

# flip FILE OFFSET: changes one byte.
flip() {
  local byte
  byte=$(od -An -tu1 -j"$2" -N1 "$1" | tr -d ' ')
  printf "\\x$(printf %02x $((byte ^ 0x5a)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
size=$(wc -c <"$out/signed.rtp")
for name in archive_changed signature_changed other_magic trailer_cut; do
  cp "$out/signed.rtp" "$out/$name.rtp"
done
flip "$out/archive_changed.rtp" 40
flip "$out/signature_changed.rtp" $((size - 72 + 10))
flip "$out/other_magic.rtp" $((size - 1))
truncate -s $((size - 30)) "$out/trailer_cut.rtp"

# Two versions of a tree and the kit of what changed between them.
mkdir -p "$out/old/sub" "$out/new/sub" "$out/new/added/empty"
printf 'version 1\n' >"$out/old/a.txt"
printf 'version 2\n' >"$out/new/a.txt"
printf 'same\n' | tee "$out/old/sub/same.txt" >"$out/new/sub/same.txt"
printf 'added\n' >"$out/new/added/c.txt"
bash "$scripts/make_kit.sh" --since "$out/old" "$out/new" "$out/since.rtp" >/dev/null
