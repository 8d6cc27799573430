#!/usr/bin/env bash
# make_kit.sh SOURCE_DIR OUT.rtp [PRIVATE_KEY.pem]: makes a full update kit of everything in
# SOURCE_DIR (paths relative to it, as they go into the install directory) and signs it with
# the key when one is given, as version UPDATER_KIT_VERSION of product UPDATER_KIT_PRODUCT
# (sign_kit.sh). OUT.rtp is replaced only by a finished kit.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/kit_common.sh"

# The installer holds a whole solid block in memory while it unpacks it: blocks of at most
# 64 MiB keep it near 64 MiB for a kit of any size (a single larger file is still a block of
# its own). Against one block for everything, the benchmark's 300 MB kit did not grow and a
# tree of real program files grew by about 3 % (README).
SOLID_BLOCK=64m

[ $# -eq 2 ] || [ $# -eq 3 ] || die "usage: make_kit.sh SOURCE_DIR OUT.rtp [PRIVATE_KEY.pem]"
source_dir=$1
out=$2
key=${3:-}
command -v 7zz >/dev/null || die "7zz is missing (Debian package 7zip)"
[ -d "$source_dir" ] || die "no such folder: $source_dir"
[ -n "$(ls -A "$source_dir")" ] || die "$source_dir is empty"
if [ -n "$key" ]; then
  command -v openssl >/dev/null || die "openssl is missing (Debian package openssl)"
  check_private_key "$key"
  check_kit_identity
fi

out_dir=$(cd "$(dirname "$out")" 2>/dev/null && pwd) || die "no folder for $out"
part=$(mktemp "$out_dir/.kit.XXXXXX")
rm -f "$part"
part+=.7z  # 7zz goes by the ending
trap 'rm -f "$part"' EXIT
(cd "$source_dir" && 7zz a -t7z -bso0 -bsp0 -m0=LZMA2 -mx5 -ms=$SOLID_BLOCK "$part" .) || die "7zz failed"
if [ -n "$key" ]; then
  bash "$here/sign_kit.sh" "$key" "$part" >/dev/null
fi
mv -f "$part" "$out"
trap - EXIT
echo "made $out ($(wc -c <"$out") bytes${key:+, signed as $UPDATER_KIT_PRODUCT $UPDATER_KIT_VERSION})"
