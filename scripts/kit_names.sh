# shellcheck shell=bash
# The installer's rules for the names in a kit (install/archive_installer.cpp), sourced by
# make_kit.sh and its test: a kit that breaks one is refused on every user's machine. Lengths
# are in UTF-16 units, as Windows counts them; the caller sets a UTF-8 locale.

# Without long-path support Windows takes file paths below 260 characters, and folder paths
# that leave room for an 8.3 name (12 characters) within it.
FILE_PATH_LIMIT=259
FOLDER_PATH_LIMIT=247
DEFAULT_INSTALL_DIR_LENGTH=100

# utf16_length TEXT: sets units to TEXT's length in UTF-16 units.
utf16_length() {
  local narrow=${1//[$'\U00010000'-$'\U0010FFFF']/}  # each of these takes two units
  units=$((${#1} + ${#1} - ${#narrow}))
}

# name_verdict NAME KIND DIR_LENGTH: sets verdict to what the installer makes of entry NAME (KIND file or
# folder, "/" or "\" as separators) under an install folder path of DIR_LENGTH characters:
# ok, unsafe (it would leave the install folder), uncreatable (Windows cannot make it),
# too-long, or backslash (a "\" in a name from this side, where it is no separator).
name_verdict() {
  local name=$1 kind=$2 dir_length=$3 rest part base path="" parent="" length parent_length units
  case $name in [/\\]* | *:*) verdict=unsafe; return ;; esac  # absolute, drive, stream
  rest=${name//\\//}/
  while [ -n "$rest" ]; do
    part=${rest%%/*} rest=${rest#*/}
    if [[ $part != . && -n $part && $part != *[!.\ ]* ]]; then verdict=unsafe; return; fi  # climbs or vanishes
    base=${part%%.*}
    while [[ $base == *' ' ]]; do base=${base% }; done
    if [[ ${base^^} =~ ^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])$ ]]; then verdict=unsafe; return; fi
  done
  if [[ $name == *[$'\x01'-$'\x1f'\<\>\"\|\?\*]* ]]; then verdict=uncreatable; return; fi
  rest=${name//\\//}/
  while [ -n "$rest" ]; do
    part=${rest%%/*} rest=${rest#*/}
    [ "$part" = . ] && [ -n "$rest" ] && continue  # names the folder it is in
    if [[ -z $part || $part == . || $part == *[.\ ] ]]; then verdict=uncreatable; return; fi
    parent=$path
    path+=${path:+\\}$part
  done
  utf16_length "$path"
  length=$((dir_length + 1 + units))
  [ "$kind" = folder ] && parent=$path
  utf16_length "$parent"
  parent_length=$((dir_length + ${parent:+1 +} units))
  if [ $parent_length -gt $FOLDER_PATH_LIMIT ] || { [ "$kind" = file ] && [ $length -gt $FILE_PATH_LIMIT ]; }; then
    verdict=too-long
    return
  fi
  case $name in *\\*) verdict=backslash ;; *) verdict=ok ;; esac
}

# tree_clashes: reads entries "KIND NAME", one a line, and prints "case NAME" for a name that
# differs from an earlier one only by case and "file-and-folder NAME" for one used as a file
# and as a folder: Windows' names ignore case, so both would be one file.
tree_clashes() {
  local kind name key
  local -A seen=()
  while IFS= read -r name; do
    kind=${name%% *} name=${name#* }
    key=${name^^}
    if [ -z "${seen[$key]:-}" ]; then
      seen[$key]="$kind $name"
    elif [ "${seen[$key]%% *}" = "$kind" ]; then
      echo "case $name"
    else
      echo "file-and-folder $name"
    fi
  done
}
