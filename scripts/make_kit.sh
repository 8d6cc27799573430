#!/usr/bin/env bash
# make_kit.sh [OPTIONS] SOURCE_DIR OUT.rtp [PRIVATE_KEY.pem]: makes a full update kit of
# everything in SOURCE_DIR (paths relative to it, as they go into the install directory) and
# signs it with the key when one is given, as version UPDATER_KIT_VERSION of product
# UPDATER_KIT_PRODUCT (sign_kit.sh). OUT.rtp is replaced only by a finished kit.
#   --since OLD_DIR          a kit of only the files that are new or differ from OLD_DIR, the
#                            version it updates (the installer never deletes: applied over
#                            OLD_DIR, it gives SOURCE_DIR, less the files that SOURCE_DIR dropped)
#   --hidden NAME            takes the hidden file or folder NAME (relative to SOURCE_DIR)
#   --install-dir-length N   the longest install folder path to allow for (default 100)
# Refuses, naming each offender and making nothing: links and other entries that are no
# regular file or folder, the kit, the key or any private key inside SOURCE_DIR, hidden names
# not taken with --hidden, and names that the installer would refuse (scripts/kit_names.sh).
set -euo pipefail
export LC_ALL=C.UTF-8  # names are taken as UTF-8 and measured in characters
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/kit_common.sh"
. "$here/kit_names.sh"

# The installer holds a whole solid block in memory while it unpacks it: blocks of at most
# 64 MiB keep it near 64 MiB for a kit of any size (a single larger file is still a block of
# its own). Against one block for everything, the benchmark's 300 MB kit did not grow and a
# tree of real program files grew by about 3 % (README).
SOLID_BLOCK=64m
USAGE="usage: make_kit.sh [--since OLD_DIR] [--hidden NAME]... [--install-dir-length N] SOURCE_DIR OUT.rtp [PRIVATE_KEY.pem]"

since=""
hidden=()
dir_length=$DEFAULT_INSTALL_DIR_LENGTH
while [ $# -gt 0 ]; do
  case $1 in
  --since) [ $# -ge 2 ] || die "$USAGE"; since=$2; shift 2 ;;
  --hidden) [ $# -ge 2 ] || die "$USAGE"; hidden+=("${2%/}"); shift 2 ;;
  --install-dir-length)
    [[ ${2:-} =~ ^[0-9]{1,3}$ ]] && [ "$2" -ge 3 ] && [ "$2" -le $FOLDER_PATH_LIMIT ] ||
      die "--install-dir-length takes a number of characters from 3 to $FOLDER_PATH_LIMIT"
    dir_length=$2
    shift 2
    ;;
  --) shift; break ;;
  -*) die "$USAGE" ;;
  *) break ;;
  esac
done
[ $# -eq 2 ] || [ $# -eq 3 ] || die "$USAGE"
source_dir=${1%/}
out=$2
key=${3:-}
command -v 7zz >/dev/null || die "7zz is missing (Debian package 7zip)"
[ -d "$source_dir" ] || die "no such folder: $source_dir"
[ -n "$(ls -A "$source_dir")" ] || die "$source_dir is empty"
[ -z "$since" ] || [ -d "$since" ] || die "no such folder: $since"
if [ -n "$key" ]; then
  command -v openssl >/dev/null || die "openssl is missing (Debian package openssl)"
  check_private_key "$key"
  check_kit_identity
fi
out_dir=$(cd "$(dirname "$out")" 2>/dev/null && pwd -P) || die "no folder for $out"

# What the kit would hold, checked whole before anything is made.
problems=()
refuse() { problems+=("$source_dir/${1//[$'\x01'-$'\x1f']/?}: $2"); }
source_real=$(cd "$source_dir" && pwd -P)
key_real=${key:+$(realpath -m -- "$key")}
for file in "$out_dir/$(basename "$out")" ${key:+"$key_real"}; do
  [[ $file != "$source_real"/* ]] || refuse "${file#"$source_real"/}" "the kit or its key would go into the kit"
done
while IFS= read -r -d '' file; do
  [ "$(realpath -m -- "$file")" = "$key_real" ] ||  # named above
    refuse "${file#"$source_dir"/}" "a private key would go into the kit"
done < <(grep -rlIZ -e '-----BEGIN [A-Z ]*PRIVATE KEY-----' "$source_dir" 2>/dev/null || true)
entries=()  # "KIND SIZE NAME" of every file and folder
skipped=""  # a refused hidden folder: what it holds is not looked at
taken=""    # a hidden folder taken with --hidden: what it holds is taken too
while IFS= read -r -d '' entry; do
  type=${entry%% *} entry=${entry#* }
  size=${entry%% *} name=${entry#* }
  [ -z "$skipped" ] || [[ $name != "$skipped"/* ]] || continue
  case $type in
  d) kind=folder ;;
  f) kind=file ;;
  l) refuse "$name" "a symbolic link: the kit would hold what it points to; copy that in"; continue ;;
  *) refuse "$name" "neither a regular file nor a folder"; continue ;;
  esac
  if [[ ${name##*/} == .* && ( -z $taken || $name != "$taken"/* ) ]]; then
    named=""
    for one in "${hidden[@]}"; do [ "$one" != "$name" ] || named=1; done
    if [ -z "$named" ]; then
      refuse "$name" "hidden; pass --hidden '$name' to take it"
      [ "$kind" = file ] || skipped=$name
      continue
    fi
    [ "$kind" = file ] || taken=$name
  fi
  name_verdict "$name" "$kind" "$dir_length"
  case $verdict in
  ok) entries+=("$kind $size $name") ;;
  unsafe) refuse "$name" "a name that would leave the install folder or name a device (a part of dots and blanks, a \":\", CON, PRN, AUX, NUL, COM1-9, LPT1-9)" ;;
  uncreatable) refuse "$name" "a name Windows cannot create (a control character, one of < > \" | ? *, or a part ending in a dot or a blank)" ;;
  too-long) refuse "$name" "too long for Windows under an install folder of $dir_length characters (--install-dir-length)" ;;
  backslash) refuse "$name" "holds \\, which Windows takes for a folder separator" ;;
  esac
done < <(find "$source_dir" -mindepth 1 -printf '%y %s %P\0')
while read -r verdict name; do
  case $verdict in
  case) refuse "$name" "differs from another name only by case: one name to Windows" ;;
  file-and-folder) refuse "$name" "a file and a folder of one name to Windows, which ignores case" ;;
  esac
done < <(printf '%s\n' "${entries[@]}" | sed 's/ [0-9]* / /' | tree_clashes)

# The files of a kit of what changed: those that are new or differ from the old version's.
kept=0
kept_bytes=0
common=0
listed=()
if [ -n "$since" ]; then
  for entry in "${entries[@]}"; do
    kind=${entry%% *} entry=${entry#* }
    size=${entry%% *} name=${entry#* }
    old=$since/$name
    if [ "$kind" = folder ]; then
      [ -f "$old" ] && refuse "$name" "a folder here, a file in $since: the installer cannot turn one into the other"
      [ -e "$old" ] || [ -n "$(ls -A "$source_dir/$name")" ] || listed+=("$name")  # a new empty folder
    elif [ -d "$old" ]; then
      refuse "$name" "a file here, a folder in $since: the installer cannot turn one into the other"
    elif [ -f "$old" ] && [ ! -L "$old" ] && common=$((common + 1)) && cmp -s "$old" "$source_dir/$name"; then
      kept=$((kept + 1)) kept_bytes=$((kept_bytes + size))
    else
      listed+=("$name")
    fi
  done
fi
if [ ${#problems[@]} -gt 0 ]; then
  printf '%s\n' "${problems[@]}" | sed 's/^/make_kit.sh: /' >&2
  die "nothing made: ${#problems[@]} entries of $source_dir cannot go into a kit"
fi
if [ -n "$since" ]; then
  [ $common -gt 0 ] || die "$since holds none of the files of $source_dir: it is no older version of this tree"
  [ ${#listed[@]} -gt 0 ] || die "nothing changed since $since: no kit to make"
fi

part=$(mktemp "$out_dir/.kit.XXXXXX")
full=$part.full.7z
rm -f "$part"
part+=.7z  # 7zz goes by the ending
trap 'rm -f "$part" "$full" "$part.list"' EXIT
pack() {  # pack ARCHIVE [@LIST]
  (cd "$source_dir" && 7zz a -t7z -bso0 -bsp0 -m0=LZMA2 -mx5 -ms=$SOLID_BLOCK -spd -scsUTF-8 "$1" "${2:-.}") ||
    die "7zz failed"
}
if [ -n "$since" ]; then
  printf '%s\n' "${listed[@]}" >"$part.list"
  pack "$part" "@$part.list"
  pack "$full"
else
  pack "$part"
fi
archive_size=$(wc -c <"$part")
if [ -n "$key" ]; then
  bash "$here/sign_kit.sh" "$key" "$part" >/dev/null
fi
mv -f "$part" "$out"
echo "made $out ($(wc -c <"$out") bytes${key:+, signed as $UPDATER_KIT_PRODUCT $UPDATER_KIT_VERSION})"
if [ -n "$since" ]; then
  echo "  of what changed since $since: ${#listed[@]} new or changed files and folders;" \
    "left out $kept unchanged files of $kept_bytes bytes; the archive is $archive_size bytes," \
    "a full kit's $(wc -c <"$full")"
fi
