#!/usr/bin/env bash
# The vendor's kit scripts, scripts/make_kit.sh and scripts/sign_kit.sh, and the build's key
# option (cmake/KitKey.cmake), on good and bad input.
# A good kit is a whole 7z archive that 7zz tests, followed by M (product and version), L, r, s
# and KITSIG02, and the signature verifies with openssl over all before r. Bad input is refused
# with a message, exit code 1, the input unchanged and no kit made.
set -uo pipefail
scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export UPDATER_KIT_PRODUCT=zolt UPDATER_KIT_VERSION=2.0.1
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

mkdir -p tree/sub empty link hidden keyed names
printf 'a\n' >tree/a.txt
printf 'b\n' >tree/sub/b.txt
for folder in link hidden keyed names; do cp tree/a.txt $folder/; done
ln -s /etc/hostname link/host
printf 'SECRET=1\n' >hidden/.env
touch names/x.
openssl ecparam -name prime256v1 -genkey -noout -out key.pem
openssl ec -in key.pem -pubout -out public.pem 2>/dev/null
openssl genrsa -out rsa.pem 2048 2>/dev/null
openssl ecparam -name secp384r1 -genkey -noout -out p384.pem
cp key.pem keyed/signing.pem
printf 'not a kit\n' >text.txt

# verifies KIT PUBLIC: M and L name zolt 2.0.1; r and s, put back into DER, verify over A M L.
verifies() {
  local size hex der="" part value
  size=$(wc -c <"$1")
  head -c $((size - 72)) "$1" >archive.bin
  [ "$(tail -c 8 "$1")" = KITSIG02 ] || return 1
  [ "$(tail -c 101 "$1" | head -c 29 | od -An -c -w32 | tr -s ' ')" = " p r o d u c t = z o l t \n v e r s i o n = 2 . 0 . 1 \n \0 033" ] || return 1
  hex=$(tail -c 72 "$1" | head -c 64 | od -An -tx1 -v | tr -d ' \n')
  for part in "${hex:0:64}" "${hex:64:64}"; do
    value=$(sed 's/^\(00\)*//' <<<"$part")
    [[ $value =~ ^[89a-f] ]] && value=00$value
    der+=02$(printf %02x $((${#value} / 2)))$value
  done
  der=30$(printf %02x $((${#der} / 2)))$der
  printf '%b' "$(sed 's/../\\x&/g' <<<"$der")" >signature.der
  openssl dgst -sha256 -verify "$2" -signature signature.der archive.bin >/dev/null
}

# Good input.
bash "$scripts/make_kit.sh" tree signed.rtp key.pem >/dev/null || fail "make_kit.sh with a key"
7zz t signed.rtp >/dev/null 2>&1 || fail "7zz does not test the signed kit"
verifies signed.rtp public.pem || fail "the signature of make_kit.sh does not verify"
env -u UPDATER_KIT_PRODUCT -u UPDATER_KIT_VERSION bash "$scripts/make_kit.sh" tree plain.7z >/dev/null || fail "make_kit.sh without a key"
[ "$(7zz l -ba plain.7z | wc -l)" -eq 3 ] || fail "the kit does not hold the tree's two files and folder"
cp plain.7z later.rtp
bash "$scripts/sign_kit.sh" key.pem later.rtp >/dev/null || fail "sign_kit.sh"
cmp -s -n "$(wc -c <plain.7z)" plain.7z later.rtp || fail "sign_kit.sh changed the archive"
[ $(($(wc -c <later.rtp) - $(wc -c <plain.7z))) -eq 101 ] || fail "sign_kit.sh did not append 27 + 74 bytes"
verifies later.rtp public.pem || fail "the signature of sign_kit.sh does not verify"
# Solid blocks are bounded: 150 MiB of three files makes more than one block.
mkdir big
for n in 1 2 3; do head -c 52428800 /dev/zero >big/$n.bin; done
bash "$scripts/make_kit.sh" big big.rtp >/dev/null || fail "make_kit.sh on a large tree"
blocks=$(7zz l -slt big.rtp | sed -n 's/^Blocks = //p')
[ "${blocks:-0}" -ge 2 ] || fail "one solid block for 150 MiB (blocks: ${blocks:-none})"

# Bad input: command, what the message says.
cp signed.rtp signed-copy.rtp
head -c 100 plain.7z >cut.7z
while IFS='|' read -r command message; do
  before=$(cat ./*.rtp ./*.7z ./*.pem | md5sum)
  output=$(env $command 2>&1)  # VARIABLE=VALUE ... SCRIPT ARGUMENTS...
  code=$?
  [ $code -eq 1 ] || fail "$command: exit code $code"
  [[ $output == *"$message"* ]] || fail "$command: said '$output', not '$message'"
  [ "$before" = "$(cat ./*.rtp ./*.7z ./*.pem | md5sum)" ] || fail "$command: changed its input"
  [ ! -e out.rtp ] || fail "$command: made a kit"
  ls -a | grep -q '^\.kit\.' && fail "$command: left a part behind"
done <<EOF_TABLE
$scripts/sign_kit.sh key.pem|usage: sign_kit.sh PRIVATE_KEY.pem KIT
$scripts/sign_kit.sh missing.pem later.rtp|no private key file: missing.pem
$scripts/sign_kit.sh public.pem plain.7z|public.pem is not a private key in PEM form
$scripts/sign_kit.sh rsa.pem plain.7z|rsa.pem is not an ECDSA P-256 (prime256v1) key
$scripts/sign_kit.sh p384.pem plain.7z|p384.pem is not an ECDSA P-256 (prime256v1) key
$scripts/sign_kit.sh key.pem text.txt|text.txt is not a 7z archive
$scripts/sign_kit.sh key.pem cut.7z|cut.7z is not a whole 7z archive
$scripts/sign_kit.sh key.pem signed-copy.rtp|signed-copy.rtp is signed already
$scripts/sign_kit.sh key.pem missing.7z|no such file: missing.7z
$scripts/make_kit.sh tree|usage: make_kit.sh [--since OLD_DIR] [--hidden NAME]... [--install-dir-length N] SOURCE_DIR
$scripts/make_kit.sh link out.rtp|link/host: a symbolic link
$scripts/make_kit.sh hidden out.rtp|hidden/.env: hidden; pass --hidden '.env' to take it
$scripts/make_kit.sh keyed out.rtp|keyed/signing.pem: a private key would go into the kit
$scripts/make_kit.sh tree tree/out.rtp|tree/out.rtp: the kit or its key would go into the kit
$scripts/make_kit.sh names out.rtp|names/x.: a name Windows cannot create
$scripts/make_kit.sh --install-dir-length 248 tree out.rtp|--install-dir-length takes a number of characters from 3 to 247
$scripts/make_kit.sh --since empty tree out.rtp|empty holds none of the files of tree
$scripts/make_kit.sh --since tree tree out.rtp|nothing changed since tree
$scripts/make_kit.sh missing out.rtp|no such folder: missing
$scripts/make_kit.sh empty out.rtp|empty is empty
$scripts/make_kit.sh tree out.rtp rsa.pem|rsa.pem is not an ECDSA P-256 (prime256v1) key
$scripts/make_kit.sh tree out.rtp public.pem|public.pem is not a private key in PEM form
$scripts/make_kit.sh tree missing-folder/out.rtp|no folder for missing-folder/out.rtp
UPDATER_KIT_PRODUCT= $scripts/sign_kit.sh key.pem plain.7z|UPDATER_KIT_PRODUCT is not set
UPDATER_KIT_VERSION= $scripts/make_kit.sh tree out.rtp key.pem|UPDATER_KIT_VERSION is not set
UPDATER_KIT_PRODUCT=zolt/pro $scripts/sign_kit.sh key.pem plain.7z|product 'zolt/pro' is not 1 to 64 characters
UPDATER_KIT_PRODUCT=zÃ¶lt $scripts/make_kit.sh tree out.rtp key.pem|product 'zÃ¶lt' is not
UPDATER_KIT_PRODUCT=$(printf %065d 0) $scripts/sign_kit.sh key.pem plain.7z|is not 1 to 64 characters
UPDATER_KIT_VERSION=1.2.3.4.5 $scripts/sign_kit.sh key.pem plain.7z|version '1.2.3.4.5' is not 1 to 4 numbers
UPDATER_KIT_VERSION=65536 $scripts/make_kit.sh tree out.rtp key.pem|version '65536' is not
UPDATER_KIT_VERSION=1..2 $scripts/sign_kit.sh key.pem plain.7z|version '1..2' is not
UPDATER_KIT_VERSION=v2 $scripts/sign_kit.sh key.pem plain.7z|version 'v2' is not
EOF_TABLE

bash "$scripts/make_kit.sh" --hidden .env hidden taken.7z >/dev/null && 7zz l -ba taken.7z | grep -q ' \.env$' ||
  fail "--hidden does not take .env"

# The shared table of entry names: the script's rules give the installer's verdicts.
export LC_ALL=C.UTF-8
. "$scripts/kit_names.sh"
while IFS= read -r line; do
  [[ $line != '#'* ]] || continue
  IFS=$'\t' read -r want kinds length _ <<<"$line"
  IFS=, read -ra kinds <<<"$kinds"
  line=${line#*$'\t'*$'\t'*$'\t'}
  IFS=$'\t' read -ra names <<<".${line//$'\t'/$'\t'.}"  # no field is empty, so none is lost
  listed=""
  for name in "${names[@]}"; do
    name=$(printf %b "${name#.}.") name=${name%.} kind=${kinds[0]}
    [ ${#kinds[@]} -eq 1 ] || kinds=("${kinds[@]:1}")
    name_verdict "$name" "$kind" "$length"
    listed+="$kind $name"$'\n'
    case $want in case | file-and-folder) want_one=ok ;; *) want_one=$want ;; esac
    [ "$verdict" = "$want_one" ] || fail "name [$name]: the script says $verdict, the installer $want_one"
  done
  [ "$want" = "$want_one" ] || [ "$(printf %s "$listed" | tree_clashes | sed -n '1s/ .*//p')" = "$want" ] ||
    fail "names [$listed]: no $want from the script"
done <"$scripts/../tests/install/entry_names.tsv"

# A signing stopped part-way (the disk full 30 bytes into the signature): the kit is as it was.
fill() { rm -f fill.7z; head -c "$1" /dev/urandom >fill.bin; 7zz a -bso0 -bsp0 -mx0 fill.7z fill.bin; }
fill 1000
fill $((1000 + 5 * 1024 - 30 - $(wc -c <fill.7z)))
cp fill.7z fill-copy.7z
(ulimit -f 5; bash "$scripts/sign_kit.sh" key.pem fill.7z) >/dev/null 2>&1 && fail "signing on a full disk succeeded"
cmp -s fill.7z fill-copy.7z || fail "a signing stopped part-way changed the kit"
ls -a | grep -q '^\.signed\.' && fail "a signing stopped part-way left a file behind"
bash "$scripts/sign_kit.sh" key.pem fill.7z >/dev/null || fail "no signing after one stopped part-way"

# The build's key and product options: the public key's point and the product go into the
# program; other keys, a key without a product and a product against the rule are refused.
printf 'include(%s)\nupdater_kit_key_source("${PEM}" "${PRODUCT}" key.cpp)\n' "$scripts/../cmake/KitKey.cmake" >key.cmake
openssl ec -in key.pem -pubout -conv_form compressed -out compressed.pem 2>/dev/null
openssl rsa -in rsa.pem -pubout -out rsa-public.pem 2>/dev/null
cmake -DPEM="$work/public.pem" -DPRODUCT=Zolt_2.x-64 -P key.cmake >/dev/null 2>&1 || fail "the build refuses a good public key"
grep -q '"Zolt_2.x-64"' key.cpp || fail "the product is not built in"
point=$(openssl ec -pubin -in public.pem -outform DER 2>/dev/null | tail -c 64 | od -An -tu1 -v | xargs printf '%d,')
[ "$(grep -o '0x[0-9a-f]*' key.cpp | xargs printf '%d,')" = "$point" ] || fail "the built-in key is not the public key's point"
for pem in key.pem compressed.pem rsa-public.pem p384.pem; do
  output=$(cmake -DPEM="$work/$pem" -DPRODUCT=zolt -P key.cmake 2>&1) && fail "the build takes $pem"
  [[ $output == *"kit key: $work/$pem"* ]] || fail "the build's refusal of $pem says: $output"
done
for product in "|needs the product" "zolt/pro|kit product: 'zolt/pro' is not" \
  "$(printf %065d 0)|kit product:"; do
  output=$(cmake -DPEM="$work/public.pem" -DPRODUCT="${product%%|*}" -P key.cmake 2>&1) && fail "the build takes '${product%%|*}'"
  [[ $output == *"${product#*|}"* ]] || fail "the build's refusal of '${product%%|*}' says: $output"
done

[ $failures -eq 0 ] || exit 1
echo "vendor scripts: all cases pass"
