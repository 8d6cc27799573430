#!/usr/bin/env bash
# Installs what the build and the tests need and builds the third-party libraries into a cache
# outside the clone. Safe to run again: what is already there is kept, so a second run takes
# seconds. Writes $UPDATER_DEPS_DIR/deps-cache.cmake, the initial CMake cache that points the
# project's build at the libraries.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
# shellcheck source=deps.env
. "$here/deps.env"

step=""
trap 'status=$?; if [ $status -ne 0 ]; then echo "setup: FAILED while: ${step:-starting} (exit $status)" >&2; fi' EXIT
say() { step="$*"; echo "setup: $*"; }

if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

apt_updated=0
apt_update() {
  if [ $apt_updated -eq 0 ]; then
    apt_updated=1
    $sudo apt-get update -qq || echo "setup: cannot refresh the package lists (offline?); going on with them as they are" >&2
  fi
}

say "checking Debian packages"
missing=""
for pkg in $BUILD_PACKAGES $TEST_PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $pkg"
  fi
done
if [ -n "$missing" ]; then
  say "installing Debian packages:$missing"
  apt_update
  # shellcheck disable=SC2086
  $sudo apt-get install -y -q --no-install-recommends $missing
fi

# Source entries are needed only to fetch the source packages; they are derived from the
# system's own binary entries so that the same mirror serves both.
have_deb_src() {
  grep -Eqs '^[[:space:]]*deb-src[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list ||
    grep -Eqs '^Types:.*deb-src' /etc/apt/sources.list.d/*.sources
}
add_deb_src() {
  local out=/etc/apt/sources.list.d/updater-deb-src.sources
  local tmp
  tmp=$(mktemp)
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    sed -e 's/^Types:.*/Types: deb-src/' "$f" >>"$tmp"
    echo >>"$tmp"
  done
  if [ ! -s "$tmp" ]; then
    # One-line format only: turn each "deb" line into a "deb-src" line.
    out=/etc/apt/sources.list.d/updater-deb-src.list
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
      sed -n -e 's/^[[:space:]]*deb[[:space:]]/deb-src /p' >"$tmp"
  fi
  [ -s "$tmp" ] || { echo "setup: no Debian package source found to derive a deb-src entry from" >&2; rm -f "$tmp"; exit 1; }
  $sudo install -m 0644 "$tmp" "$out"
  rm -f "$tmp"
  apt_updated=0
}

# shellcheck source=revisions.sh
. "$here/revisions.sh"

# choose NAME UPSTREAM VARIABLE: sets revision to the newest Debian revision of source package
# NAME for UPSTREAM (VARIABLE's value in deps.env). Lists that offer none are refreshed once;
# when they still offer none, stops and names the line to change.
choose() {
  local name=$1 upstream=$2 variable=$3 offered line
  offered=$(offered_versions "$name")
  if ! revision=$(printf '%s\n' "$offered" | newest_revision "$upstream") && [ $apt_updated -eq 0 ]; then
    apt_update
    offered=$(offered_versions "$name")
  fi
  if ! revision=$(printf '%s\n' "$offered" | newest_revision "$upstream"); then
    line=$(grep -n "^$variable=" "$here/deps.env" | cut -d: -f1 || true)
    offered=${offered//$'\n'/ }
    echo "setup: the package sources offer no $name $upstream (versions of $name offered: ${offered:-none})" >&2
    echo "setup: change $variable=$upstream in scripts/deps.env, line ${line:-?}, to an offered upstream version" >&2
    exit 1
  fi
}
choose_all() {
  choose curl "$CURL_VERSION" CURL_VERSION
  curl_revision=$revision
  choose 7zip "$SEVENZIP_VERSION" SEVENZIP_VERSION
  sevenzip_revision=$revision
  choose googletest "$GOOGLETEST_VERSION" GOOGLETEST_VERSION
  googletest_revision=$revision
}

src_dir="$UPDATER_DEPS_DIR/src"
mkdir -p "$src_dir"
fetched() { [ -f "$src_dir/$1-$2/.fetched" ]; }

say "choosing Debian revisions"
if ! have_deb_src; then add_deb_src; fi
choose_all
if ! { fetched curl "$curl_revision" && fetched 7zip "$sevenzip_revision" &&
       fetched googletest "$googletest_revision"; } && [ $apt_updated -eq 0 ]; then
  # Something is to be downloaded: from up-to-date lists, or the revision may be gone already.
  apt_update
  choose_all
fi
echo "setup: curl $CURL_VERSION: Debian revision $curl_revision"
echo "setup: 7-Zip $SEVENZIP_VERSION: Debian revision $sevenzip_revision"
echo "setup: GoogleTest $GOOGLETEST_VERSION: Debian revision $googletest_revision"

# fetch NAME REVISION: unpacks Debian's source package NAME=REVISION into $src_dir/NAME-REVISION,
# so that a new revision is fetched and built beside the old one. Returns 1 when it cannot be
# fetched.
fetch_source() {
  local name=$1 version=$2 dest="$src_dir/$1-$2"
  fetched "$name" "$version" && return 0
  say "fetching source package $name $version"
  local work
  work=$(mktemp -d "$src_dir/.fetch.XXXXXX")
  if ! (cd "$work" && apt-get source -q "$name=$version" >/dev/null); then
    rm -rf "$work"
    return 1
  fi
  local unpacked
  unpacked=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1)
  [ -n "$unpacked" ] || { echo "setup: apt-get source $name=$version unpacked nothing" >&2; exit 1; }
  rm -rf "$dest"
  mv "$unpacked" "$dest"
  rm -rf "$work"
  touch "$dest/.fetched"
}

# fetch_or_cached NAME UPSTREAM VARIABLE: fetches NAME at the revision in VARIABLE or, when that
# fails (offline, say), sets VARIABLE to the newest revision of UPSTREAM fetched before.
fetch_or_cached() {
  local name=$1 upstream=$2 variable=$3 cached
  fetch_source "$name" "${!variable}" && return 0
  cached=$(for f in "$src_dir/$name"-*/.fetched; do [ ! -f "$f" ] || basename "$(dirname "$f")"; done |
    sed "s/^$name-//" | newest_revision "$upstream") ||
    { echo "setup: cannot fetch $name ${!variable}, and the cache holds no $name $upstream" >&2; exit 1; }
  echo "setup: cannot fetch $name ${!variable}; taking $cached from the cache instead"
  printf -v "$variable" %s "$cached"
}
fetch_or_cached curl "$CURL_VERSION" curl_revision
fetch_or_cached 7zip "$SEVENZIP_VERSION" sevenzip_revision
fetch_or_cached googletest "$GOOGLETEST_VERSION" googletest_revision

curl_src="$src_dir/curl-$curl_revision"
curl_prefix="$UPDATER_DEPS_DIR/curl-$curl_revision"
if [ ! -f "$curl_prefix/.built" ]; then
  say "building libcurl $curl_revision for Windows x64 (Schannel, static)"
  rm -rf "$curl_prefix" "$curl_prefix.build"
  cmake -S "$curl_src" -B "$curl_prefix.build" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$curl_prefix" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF -DBUILD_CURL_EXE=ON \
    -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_DISABLE_LDAP=ON -DCURL_ZLIB=OFF \
    -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=OFF \
    -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBPSL=OFF -DENABLE_MANUAL=OFF \
    -DCMAKE_EXE_LINKER_FLAGS=-static >"$curl_prefix.log" 2>&1 ||
    { tail -n 40 "$curl_prefix.log" >&2; exit 1; }
  cmake --build "$curl_prefix.build" -j"$(nproc)" >>"$curl_prefix.log" 2>&1 ||
    { tail -n 40 "$curl_prefix.log" >&2; exit 1; }
  cmake --install "$curl_prefix.build" >>"$curl_prefix.log" 2>&1 ||
    { tail -n 40 "$curl_prefix.log" >&2; exit 1; }
  rm -rf "$curl_prefix.build"
  touch "$curl_prefix/.built"
fi

lzma_dir="$src_dir/7zip-$sevenzip_revision/C"
gtest_dir="$src_dir/googletest-$googletest_revision"
[ -f "$lzma_dir/7zDec.c" ] || { echo "setup: no 7z decoder sources in $lzma_dir" >&2; exit 1; }
[ -f "$gtest_dir/CMakeLists.txt" ] || { echo "setup: no GoogleTest sources in $gtest_dir" >&2; exit 1; }

step="writing the dependency cache file"
# FORCE: a build folder configured before keeps its cache entries otherwise, and with them the
# libraries of an older revision. Written aside and moved: other builds may be reading it.
cat >"$UPDATER_DEPS_DIR/deps-cache.cmake.$$" <<EOF
# Written by scripts/setup.sh: where the built dependencies are.
set(CURL_DIR "$curl_prefix/lib/cmake/CURL" CACHE PATH "libcurl's CMake package" FORCE)
set(LZMA_SDK_DIR "$lzma_dir" CACHE PATH "the LZMA SDK's C sources" FORCE)
set(GTEST_SOURCE_DIR "$gtest_dir" CACHE PATH "GoogleTest sources" FORCE)
set(UPDATER_CURL_EXE "$curl_prefix/bin/curl.exe" CACHE FILEPATH "curl.exe built from the same libcurl" FORCE)
EOF
mv -f "$UPDATER_DEPS_DIR/deps-cache.cmake.$$" "$UPDATER_DEPS_DIR/deps-cache.cmake"
step=""
echo "setup: ready ($UPDATER_DEPS_DIR)"
