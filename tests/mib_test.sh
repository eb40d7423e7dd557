#!/usr/bin/env bash
# The trap's MIB module through smilint, as far as it can go without the IETF base modules (Debian's main
# archive ships none): every complaint must be one that their absence explains (the modules themselves,
# the names imported from them, and the SMIv1 checks smilint falls back to without SNMPv2-SMI). A module
# with a fault of its own is caught: a broken copy must draw another complaint.
# Usage: mib_test.sh MIB-FILE
set -euo pipefail
mib=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

explained='failed to locate MIB module `SNMPv2-(SMI|TC|CONF)'"'"'|in SMIv1 MIB|is SMIv2 style|unknown object identifier label `enterprises'"'"'|unknown type `DisplayString'"'"'|of node `notifyComputerName'"'"' does not resolve to a known base type'
others() { smilint -l 6 "$1" 2>&1 | grep -Ev "$explained" || true; }

left=$(others "$mib")
[ -z "$left" ] || fail "smilint: $left"
grep -q 'DISPLAY-HINT "65535t"' "$mib" || fail "no UTF-8 display hint"
[ "$(grep -c 'SYNTAX      NotifyUtf8String' "$mib")" -eq 2 ] || fail "notifyApplication and notifyMessage are not NotifyUtf8String"

# The check can fail: a convention misspelt, and a clause broken.
sed 's/SYNTAX      NotifyUtf8String/SYNTAX      NotifyUtf8Strin/' "$mib" >"$work/QUELLON-NOTIFY-MIB.txt"
[ -n "$(others "$work/QUELLON-NOTIFY-MIB.txt")" ] || fail "a misspelt type went unnoticed"
sed 's/DISPLAY-HINT "65535t"/DISPLAY-HINT 65535t/' "$mib" >"$work/QUELLON-NOTIFY-MIB.txt"
[ -n "$(others "$work/QUELLON-NOTIFY-MIB.txt")" ] || fail "a broken DISPLAY-HINT went unnoticed"
echo "MIB module: smilint finds nothing beyond the missing base modules"
