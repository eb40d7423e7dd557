#!/usr/bin/env bash
# No binary of the build tree or of an install searches a relative or empty library path: every
# RUNPATH/RPATH entry of every ELF file is absolute or starts with $ORIGIN (an empty entry means the
# current folder, where anyone may have put a library). Usage: runpath_test.sh BUILD-FOLDER
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
checked=0 bad=0
while IFS= read -r -d '' file; do
  [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
  checked=$((checked + 1))
  while IFS= read -r paths; do
    while IFS= read -r entry; do
      case $entry in
        '$ORIGIN' | '$ORIGIN/'* | /*) ;;
        *) echo "FAILED: $file has the library path entry '$entry' in [$paths]"; bad=$((bad + 1)) ;;
      esac
    done < <(printf '%s\n' "$paths" | tr ':' '\n')
  done < <(readelf -d "$file" 2>/dev/null | sed -n 's/.*(R\(UN\)\?PATH).*\[\(.*\)\]$/\2/p')
done < <(find "$build/bin" "$build/Shared" "$work/prefix" -type f -print0)
[ "$checked" -gt 5 ] || { echo "FAILED: only $checked ELF files found"; exit 1; }
[ "$bad" -eq 0 ] || exit 1
echo "$checked ELF files, no relative or empty library path"
