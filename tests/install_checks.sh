#!/usr/bin/env bash
# Checks what `cmake --install` and `cpack -G DEB` make of a build tree.
# Usage: install_checks.sh BUILD_DIR layout|man|verify|security|deb|lintian
set -euo pipefail
build=$1
check=$2
recipes=$(cd "$(dirname "$0")/../dist/recipes" && pwd)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
# shellcheck source=tests/live_lib.sh
source "$(dirname "$0")/live_lib.sh"

prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
DESTDIR=$root cmake --install "$build" >/dev/null
installed=$root$prefix
units=$installed/lib/systemd/system
unit=$units/qev.service
files=(bin/qev bin/qev-client share/man/man8/qev.8.gz
  share/man/man1/qev-client.1.gz lib/systemd/system/qev.service
  lib/systemd/system/qev.socket lib/systemd/system/qev-concurrent.socket
  lib/systemd/system/qev-concurrent@.service lib/sysusers.d/qev.conf
  lib/systemd/system/qev-metrics.service lib/systemd/system/qev-metrics.timer
  lib/systemd/system/qev-relisten.service lib/systemd/system/qev-check.socket
  lib/systemd/system/qev-check@.service
  lib/systemd/journald@qev.conf.d/qev.conf
  share/doc/qev/copyright share/doc/qev/changelog.gz
  share/lintian/overrides/qev)
# A static qev runs under systemd in a root of its own, a copy of it there.
static=$(sed -n 's/^QEV_STATIC:BOOL=//p' "$build/CMakeCache.txt")
sanitized=$(sed -n 's/^QEV_SANITIZE:BOOL=//p' "$build/CMakeCache.txt")
[[ $static == ON && $sanitized != ON ]] && files+=("lib/qev/root$prefix/bin/qev")

case $check in
layout)
  for file in "${files[@]}"; do
    [[ -f $installed/$file ]] || fail "not installed: $prefix/$file"
  done
  for service in "$unit" "$units/qev-concurrent@.service"; do
    grep -qx "ExecStart=$prefix/bin/qev" "$service" || fail "ExecStart in $service"
  done
  zgrep -q "$prefix/lib/systemd/system" "$installed/share/man/man8/qev.8.gz" ||
    fail "unit path in qev(8)"
  ;;
man)
  for page in "$installed"/share/man/man*/*; do
    warnings=$(zcat "$page" | groff -ww -man -z 2>&1)
    [[ -z $warnings ]] || fail "$page: $warnings"
  done
  # qev(8) gives the recipes in dist/recipes, which the supervisor test runs.
  page=$(zcat "$installed/share/man/man8/qev.8.gz" | groff -man -Tutf8 -P -cbou 2>/dev/null |
    sed 's/^ *//; s/[‐−]/-/g')
  for recipe in "$recipes"/*; do
    while IFS= read -r line; do
      line=${line#"${line%%[! ]*}"}
      line=${line//\/usr\/bin\/qev/$prefix\/bin\/qev}
      grep -qF -- "$line" <<<"$page" || fail "qev(8) lacks $(basename "$recipe")'s line: $line"
    done <"$recipe"
  done
  ;;
verify)
  # The root needs the targets that every service depends on by default,
  # and the journal namespace's units that the services log through.
  mkdir -p "$root/usr/lib/systemd/system"
  cp -n /lib/systemd/system/*.target /lib/systemd/system/systemd-journald@* \
    /lib/systemd/system/systemd-journald-varlink@* "$root/usr/lib/systemd/system/"
  # qev-relisten.service runs sleep and systemctl.
  mkdir -p "$root/bin" && cp -n /bin/sleep /bin/systemctl "$root/bin/"
  # A template is verified as one of its instances.
  cp "$units/qev-concurrent@.service" "$root/usr/lib/systemd/system/qev-concurrent@0.service"
  cp "$units/qev-check@.service" "$root/usr/lib/systemd/system/qev-check@0.service"
  report=$(MANPATH=$installed/share/man systemd-analyze verify \
    --root="$root" "$units/qev.socket" "$unit" "$units/qev-concurrent.socket" \
    "$root/usr/lib/systemd/system/qev-concurrent@0.service" \
    "$units/qev-metrics.service" "$units/qev-metrics.timer" \
    "$units/qev-relisten.service" "$units/qev-check.socket" \
    "$root/usr/lib/systemd/system/qev-check@0.service" 2>&1) ||
    fail "systemd-analyze verify: $report"
  [[ -z $report ]] || fail "systemd-analyze verify: $report"
  ;;
security)
  for service in qev.service qev-concurrent@0.service; do
    [[ $service == qev.service ]] ||
      cp "$units/qev-concurrent@.service" "$units/$service"
    report=$(systemd-analyze security --offline=true --root="$root" \
      "$units/$service" 2>&1)
    score=$(sed -n "s/.*Overall exposure level for $service: \([0-9.]*\).*/\1/p" \
      <<<"$report")
    [[ -n $score ]] || fail "no score: $report"
    echo "exposure score of $service: $score"
    # 0.3 as it ships; a dynamic build's units have no root of their own.
    limit=0.4
    [[ $static == ON && $sanitized != ON ]] && limit=0.3
    awk -v s="$score" -v l="$limit" 'BEGIN { exit !(s <= l) }' ||
      fail "$service: score $score > $limit"
  done
  ;;
deb)
  (cd "$build" && cpack -G DEB -B "$root/pkg" >/dev/null)
  deb=$(echo "$root"/pkg/qev_*_amd64.deb)
  [[ -f $deb ]] || fail "no package made"
  dpkg-deb -x "$deb" "$root/x"
  listed=$(cd "$root/x" && find . -type f | sed 's|^\./||' | sort)
  # The package's prefix is /usr, whatever the build tree's.
  expected=$(printf 'usr/%s\n' "${files[@]}" | sed "s|/qev/root$prefix/|/qev/root/usr/|" | sort)
  [[ $listed == "$expected" ]] || fail "package files:
$listed"
  grep -qx "ExecStart=/usr/bin/qev" "$root/x/usr/lib/systemd/system/qev.service" ||
    fail "ExecStart in the packaged unit"
  depends=$(dpkg-deb -f "$deb" Depends)
  # As they ship, qev is static and qev-client needs the C library only:
  # the one named for the other architectures, which dpkg-shlibdeps finds here.
  if file "$root/x/usr/bin/qev" | grep -q 'static-pie linked'; then
    libc=$(sed -n 's/^QEV_LIBC_DEPENDS:INTERNAL=//p' "$build/CMakeCache.txt")
    [[ $depends == "systemd, $libc" ]] ||
      fail "Depends of the static build: $depends, not systemd, $libc"
  else
    for library in libc6 libstdc++6 systemd; do
      [[ $depends == *"$library"* ]] || fail "Depends lacks $library: $depends"
    done
  fi
  [[ -n $(dpkg-deb -f "$deb" Maintainer) ]] || fail "no Maintainer"
  [[ $(dpkg-deb -f "$deb" Description | wc -l) -gt 2 ]] || fail "no description"
  dpkg-deb -e "$deb" "$root/control"
  for script in postinst prerm postrm; do
    [[ -x $root/control/$script ]] || fail "$script missing"
    sh -n "$root/control/$script" || fail "$script does not parse"
  done
  echo "package: $(basename "$deb"), Depends: $depends"
  # Its removal disables the inetd lines that run qev, the Debian way:
  # tried on the README's lines in a private overlay of /etc.
  if [[ $(id -u) -eq 0 ]] && command -v update-inetd >/dev/null; then
    probe=$(unshare -m true 2>&1) ||
      skip "the removal under inetd wants a mount namespace, and none can be made here: $probe"
    lines=$(cat "$recipes"/inetd-*.conf)
    [[ $(wc -l <<<"$lines") -eq 2 ]] || fail "dist/recipes has no inetd lines"
    mkdir -p "$root/etc-upper" "$root/etc-work"
    inetd=$(unshare -m sh -c 'mount -t overlay overlay \
      -o "lowerdir=/etc,upperdir=$1/etc-upper,workdir=$1/etc-work" /etc &&
      printf "%s\ndaytime stream tcp nowait root internal\n" "$2" >/etc/inetd.conf &&
      "$1/control/prerm" remove >/dev/null 2>&1 && cat /etc/inetd.conf' \
      sh "$root" "$lines") || fail "the maintainer scripts under inetd: $inetd"
    expected=$(sed 's/^/#<off># /' <<<"$lines")
    expected+=$'\ndaytime stream tcp nowait root internal'
    [[ $inetd == "$expected" ]] || fail "inetd.conf after removal:
$inetd"
    echo "removal disables the inetd recipes' lines"
  fi
  ;;
lintian)
  # No error and no warning; and, among the informational tags, none about
  # hardening.
  (cd "$build" && cpack -G DEB -B "$root/pkg" >/dev/null)
  report=$(lintian -I --fail-on error,warning "$root"/pkg/qev_*_amd64.deb 2>&1 |
    grep -v '^running with root privileges') || fail "lintian: $report"
  echo "lintian -I: ${report:-nothing}"
  [[ $report != *hardening* ]] || fail "lintian: $report"
  ;;
*)
  fail "unknown check '$check'"
  ;;
esac
