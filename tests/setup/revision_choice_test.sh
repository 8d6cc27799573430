#!/usr/bin/env bash
# The set-up's choice of Debian revision for each pinned upstream version: first the choice
# itself on lists of several revisions, then scripts/setup.sh against package lists made up
# here (fake apt-cache, apt-get and sudo first on PATH, a dependency cache of its own), so
# nothing is downloaded and the machine's own cache is not touched.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$root/scripts/revisions.sh"
. "$root/scripts/deps.env"
failures=0
check() {  # check WHAT CONDITION...: reports one case and carries on
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}

# upstream | offered versions | expected choice ("-": none, the set-up stops)
while IFS='|' read -r upstream offered expected; do
  [ -n "$upstream" ] || continue
  got=$(printf '%s\n' $offered | newest_revision "$upstream") || got=-
  check "newest $upstream of [$offered]: want $expected, got $got" [ "$got" = "$expected" ]
done <<'EOF'
7.88.1|7.88.1-10+deb12u5 7.88.1-10+deb12u15 7.88.1-10+deb12u8|7.88.1-10+deb12u15
7.88.1|7.88.1-10+deb12u15 7.88.1-10+deb12u15+b1 7.74.0-1.3+deb11u14|7.88.1-10+deb12u15+b1
7.88.1|7.88.1-10 7.88.1-10+deb12u1|7.88.1-10+deb12u1
7.88.1|8.14.1-2 7.74.0-1.3+deb11u14|-
7.88.1||-
7.88.1|7.88.10-1 17.88.1-1 7.88.1~rc1-1|-
26.02|22.01+really26.01+dfsg-0+deb12u1 22.01+really26.02+dfsg-0+deb12u1 22.01+really26.02+dfsg-0+deb12u2|22.01+really26.02+dfsg-0+deb12u2
26.02|22.01+dfsg-8 26.02+dfsg-1 22.01+really26.02+dfsg-0+deb12u1|26.02+dfsg-1
26.02|22.01+dfsg-8 22.01+really26.01+dfsg-0+deb12u1|-
1.12.1|1.12.1-0.2 1.12.1-0.10 1.11.0-3|1.12.1-0.10
1.12.1|1:1.12.1-1 1.12.1-0.2|1:1.12.1-1
EOF

# setup.sh against made-up package lists.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fake=$work/fake
mkdir -p "$fake/bin"
cat >"$fake/bin/apt-cache" <<'EOF'
#!/bin/sh
# showsrc --only-source NAME: one stanza for each line of lists/NAME
[ "$1" = showsrc ] && [ -f "$FAKE/lists/$3" ] || exit 100
while read -r v; do printf 'Package: %s\nVersion: %s\n\n' "$3" "$v"; done <"$FAKE/lists/$3"
EOF
cat >"$fake/bin/apt-get" <<'EOF'
#!/bin/sh
# Records every call; "update" puts the lists of updated/ in place; nothing is downloaded.
echo "$*" >>"$FAKE/apt-get.log"
case $1 in
update) [ ! -f "$FAKE/offline" ] || exit 100; [ ! -d "$FAKE/updated" ] || cp "$FAKE/updated/"* "$FAKE/lists/" ;;
*) echo "fake apt-get: no downloads here" >&2; exit 100 ;;
esac
EOF
printf '#!/bin/sh\nexec "$@"\n' >"$fake/bin/sudo"
chmod +x "$fake/bin/"*

curl_cached=$CURL_VERSION-10+deb12u15
sevenzip_cached=22.01+really$SEVENZIP_VERSION+dfsg-0+deb12u1
gtest_cached=$GOOGLETEST_VERSION-0.2
deps=$work/deps
mkdir -p "$deps/curl-$curl_cached" "$deps/src/curl-$curl_cached" "$deps/src/7zip-$sevenzip_cached/C" \
  "$deps/src/googletest-$gtest_cached"
touch "$deps/curl-$curl_cached/.built" "$deps/src/curl-$curl_cached/.fetched" \
  "$deps/src/7zip-$sevenzip_cached/.fetched" "$deps/src/7zip-$sevenzip_cached/C/7zDec.c" \
  "$deps/src/googletest-$gtest_cached/.fetched" "$deps/src/googletest-$gtest_cached/CMakeLists.txt"

# lists DIR CURL-VERSIONS: the package lists in DIR, the other two packages as cached
lists() {
  mkdir -p "$1"
  printf '%s\n' $2 >"$1/curl"
  printf '%s\n' "22.01+really26.01+dfsg-0+deb12u1" "$sevenzip_cached" >"$1/7zip"
  printf '%s\n' "$gtest_cached" >"$1/googletest"
}
# run_setup: runs setup.sh, output in $work/out, apt-get's calls in $work/calls, status in $status
run_setup() {
  rm -f "$fake/apt-get.log"
  touch "$fake/apt-get.log"
  FAKE=$fake PATH="$fake/bin:$PATH" UPDATER_DEPS_DIR=$deps bash "$root/scripts/setup.sh" >"$work/out" 2>&1
  status=$?
  cp "$fake/apt-get.log" "$work/calls"
  rm -rf "$fake/lists" "$fake/updated" "$fake/offline"
}
said() { grep -qF -- "$1" "$work/out"; }
called() { grep -qxF -- "$1" "$work/calls"; }
no_calls() { [ ! -s "$work/calls" ]; }

# The newest revision offered is the cached one: nothing is fetched or built, nothing refreshed.
lists "$fake/lists" "$CURL_VERSION-10+deb12u5 $curl_cached"
run_setup
check "cached revision: setup succeeds" [ "$status" -eq 0 ]
check "cached revision: says which was taken" said "curl $CURL_VERSION: Debian revision $curl_cached"
check "cached revision: no apt-get call" no_calls
check "cached revision: the build is pointed at it" grep -qF "curl-$curl_cached/lib/cmake/CURL" "$deps/deps-cache.cmake"

# A newer revision is offered: the lists are refreshed, it is taken and fetched beside the old one;
# offline, the cached one is taken.
lists "$fake/lists" "$CURL_VERSION-10+deb12u5 $curl_cached $CURL_VERSION-10+deb12u16"
touch "$fake/offline"
run_setup
check "newer revision offline: setup succeeds" [ "$status" -eq 0 ]
check "newer revision offline: says it takes the cached one" \
  said "cannot fetch curl $CURL_VERSION-10+deb12u16; taking $curl_cached from the cache instead"
check "newer revision offline: the build is pointed at it" grep -qF "curl-$curl_cached/lib/" "$deps/deps-cache.cmake"
check "newer revision: says which was taken" said "curl $CURL_VERSION: Debian revision $CURL_VERSION-10+deb12u16"
check "newer revision: lists refreshed first" called "update -qq"
check "newer revision: its source is fetched" called "source -q curl=$CURL_VERSION-10+deb12u16"
check "newer revision: the cached one is kept" [ -f "$deps/curl-$curl_cached/.built" ]

# A fresh machine: the lists know no sources until refreshed.
mkdir -p "$fake/lists"
lists "$fake/updated" "$curl_cached"
run_setup
check "lists refreshed once: setup succeeds" [ "$status" -eq 0 ]
check "lists refreshed once: one update" [ "$(grep -c '^update' "$work/calls")" -eq 1 ]
check "lists refreshed once: says which was taken" said "curl $CURL_VERSION: Debian revision $curl_cached"

# The pinned upstream version is not offered at all: stop, naming the line of deps.env to change.
line=$(grep -n '^CURL_VERSION=' "$root/scripts/deps.env" | cut -d: -f1)
lists "$fake/lists" "8.14.1-2 7.74.0-1.3+deb11u14"
run_setup
check "upstream not offered: setup fails" [ "$status" -ne 0 ]
check "upstream not offered: names the file and line" \
  said "change CURL_VERSION=$CURL_VERSION in scripts/deps.env, line $line,"
check "upstream not offered: lists what is offered" said "versions of curl offered: 8.14.1-2 7.74.0-1.3+deb11u14"
check "upstream not offered: nothing fetched" [ "$(grep -c '^source' "$work/calls")" -eq 0 ]

if [ $failures -ne 0 ] || [ -n "${SHOW_OUTPUT:-}" ]; then
  echo "setup.sh's last output:"
  cat "$work/out"
  exit 1
fi
