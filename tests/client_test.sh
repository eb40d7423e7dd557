#!/usr/bin/env bash
# The C++ client API: a client of two lines sends a notification that lands in the log file, and a
# failing handler comes back as a Status with the HRESULT and the module's description.
# Usage: client_test.sh CLIENT FERRULE
set -euo pipefail
client=$1
ferrule=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }
cd "$work"
export FERRULE_REGISTRY_DIR=$work FERRULE_CONFIG_DIR=$work FERRULE_LOG_DIR=$work FERRULE_JOURNAL_SOCKET=
export FERRULE_SYSLOG_SOCKET=$work/no-syslog
"$ferrule" set --policy "$work/client.notify.xml" EventLog TypeFilter=none >/dev/null
out=$("$client" "$work/client.notify.xml") || fail "client: $out"
[ "$out" = "Notify: 0x00000000 " ] || fail "client said: $out"
grep -q "hello from a client" <<<"$("$ferrule" log client.log.txt)" || fail "no log line"
# With the event log on and no system log: the failure, its code and its text.
"$ferrule" set --policy "$work/client.notify.xml" EventLog TypeFilter=all >/dev/null
out=$("$client" "$work/client.notify.xml" || true)
grep -q "^Notify: 0x80070002 Result (0xece30067 " <<<"$out" || fail "the failure came back as: $out"
echo "client: $out"
