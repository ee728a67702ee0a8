#!/usr/bin/env bash
# Makes, from the host side, the symbolic links that the folder-removal tests must walk
# past, inside a Wine prefix's drive C. A Windows program cannot make them under Wine 8
# (CreateSymbolicLink reports success and makes nothing, junctions are not supported),
# but Wine reports a Unix symbolic link to a folder as a reparse point. Every target is
# relative and inside drive C.
#
#   make_links.sh DRIVE_C          make C:\hvlinks afresh
#   make_links.sh DRIVE_C --remove remove it
set -euo pipefail

c=${1:?usage: make_links.sh DRIVE_C [--remove]}
[ -d "$c/windows" ] || { echo "make_links: $c is not the drive C of a Wine prefix" >&2; exit 2; }
links=$c/hvlinks
rm -rf "$links"   # never follows a link
[ "${2:-}" = "--remove" ] && exit 0

mkdir -p "$links/tree/a/b" "$links/target" "$links/target2"
ln -s ../../../target "$links/tree/a/b/dirlink"
ln -s ../target/file.txt "$links/tree/filelink.txt"
ln -s target2 "$links/entry"
ln -s .. "$links/toroot"
