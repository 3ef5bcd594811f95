#!/usr/bin/env bash
# Unpacks the supervisors that qev is tested under from Debian's own
# packages into DIR, one directory a package: never installed, so none is
# started as a system service. What is there already is kept.
# Usage: unpack_supervisors.sh DIR
set -euo pipefail
dir=$(mkdir -p "$1" && cd "$1" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
for package in openbsd-inetd xinetd inetutils-inetd ucspi-tcp monitoring-plugins-basic \
  monitoring-plugins-common; do
  [[ -d $dir/$package ]] && continue
  # A package list that is stale (or missing) is refreshed once.
  apt-get download "$package" >/dev/null 2>&1 ||
    { apt-get update >/dev/null && apt-get download "$package"; }
  rm -rf "$dir/$package.new"
  dpkg-deb -x "$package"_*.deb "$dir/$package.new"
  mv "$dir/$package.new" "$dir/$package"
  echo "unpacked $(basename "$package"_*.deb)"
done
