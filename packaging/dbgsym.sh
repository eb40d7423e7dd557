#!/bin/sh
# Makes the debug-symbols package CPack builds a well-formed one: its md5sums name the files by their
# place in the package (CPack writes its staging folder's absolute paths), and its documentation folder
# is a link to the ferrule package's (copyright and changelog), as Debian's own debug-symbols packages
# have it. Usage: dbgsym.sh DDEB
set -eu
ddeb=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -R "$ddeb" "$work/root"
(cd "$work/root" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$work/root/DEBIAN/md5sums"
mkdir -p "$work/root/usr/share/doc"
ln -s ferrule "$work/root/usr/share/doc/ferrule-dbgsym"
dpkg-deb --root-owner-group -b "$work/root" "$ddeb" >/dev/null
