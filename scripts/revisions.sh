# shellcheck shell=bash
# Sourced by scripts/setup.sh (and by its test): picks the Debian revision of a source package for
# a pinned upstream version. Debian's archives keep only the newest revision of a package, so a
# recorded revision disappears with the next update; the upstream version is what stays fixed.

# upstream_of VERSION: the upstream part of a Debian version: no epoch, no Debian revision, no
# repack suffix; "OLD+reallyNEW" (a version number kept from before a change of upstream) is NEW.
#   1:7.88.1-10+deb12u15 -> 7.88.1    22.01+really26.02+dfsg-0+deb12u1 -> 26.02
upstream_of() {
  local v=$1
  case $v in *:*) v=${v#*:} ;; esac
  case $v in *-*) v=${v%-*} ;; esac
  v=${v##*+really}
  v=${v%%+dfsg*}
  v=${v%%+ds*}
  v=${v%%+repack*}
  printf '%s\n' "$v"
}

# newest_revision UPSTREAM: reads Debian versions, one a line, and prints the newest (by dpkg's
# ordering) whose upstream part is UPSTREAM. Returns 1 when none is.
newest_revision() {
  local want=$1 best="" v
  while IFS= read -r v; do
    [ -n "$v" ] || continue
    [ "$(upstream_of "$v")" = "$want" ] || continue
    if [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best"; then best=$v; fi
  done
  [ -n "$best" ] || return 1
  printf '%s\n' "$best"
}

# offered_versions NAME: every version of Debian's source package NAME that the machine's
# package lists hold (deb-src entries), one a line; nothing when they hold none.
offered_versions() {
  apt-cache showsrc --only-source "$1" 2>/dev/null | sed -n 's/^Version: //p' || true
}
