#!/usr/bin/env bash
# The event-log handler's entries as the real readers of the system log take them: journald, started in
# a private mount namespace (tmpfs over /run and the journal's and catalog's folders, so nothing of the
# machine changes), and rsyslogd with a private configuration on a socket in the test's folder.
# Usage: system_log_test.sh BUILD-FOLDER SOURCE-FOLDER. Exit 77 (skipped) when a reader cannot start.
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*"; exit 1; }
ferrule=$build/bin/ferrule
export FERRULE_CONFIG_DIR=$work FERRULE_LOG_DIR=$work FERRULE_REGISTRY_DIR=$work FERRULE_PIPE_DIR=$work LC_ALL=C
unset FERRULE_JOURNAL_SOCKET FERRULE_SYSLOG_SOCKET
cd "$work"
"$ferrule" register >/dev/null || fail "register"

# ---- rsyslog: the tag parsed whole, one line without escapes.
cat >rsyslog.conf <<EOF
global(workDirectory="$work")
module(load="imuxsock" SysSock.Use="off")
input(type="imuxsock" Socket="$work/rsyslog.sock")
template(name="fields" type="string" string="%programname%|%syslogseverity-text%|%msg%\n")
action(type="omfile" file="$work/rsyslog.out" template="fields")
EOF
if ! command -v rsyslogd >/dev/null && [ ! -x /usr/sbin/rsyslogd ]; then
  echo "SKIPPED: rsyslogd is not installed"; exit 77
fi
PATH=$PATH:/usr/sbin rsyslogd -n -f "$work/rsyslog.conf" -i "$work/rsyslog.pid" 2>rsyslog.err &
pids+=($!)
for _ in $(seq 200); do [ -S rsyslog.sock ] && break; sleep 0.05; done
[ -S rsyslog.sock ] || { cat rsyslog.err; echo "SKIPPED: rsyslogd did not start"; exit 77; }
FERRULE_JOURNAL_SOCKET= FERRULE_SYSLOG_SOCKET=$work/rsyslog.sock "$ferrule" notify --app "Backup & Restore" \
  --type error --priority high --source nightly $'Backup job Nightly failed: disk full\r\nDisk /srv is full' ||
  fail "notify to rsyslog"
FERRULE_JOURNAL_SOCKET= FERRULE_SYSLOG_SOCKET=$work/rsyslog.sock "$ferrule" notify --app Ardentis \
  --type warning --priority medium --source nightly $'two\tfields' || fail "notify to rsyslog"
for _ in $(seq 100); do [ "$(wc -l <rsyslog.out 2>/dev/null || echo 0)" -ge 2 ] && break; sleep 0.05; done
out=$(cat rsyslog.out 2>/dev/null || true)
expected="Backup_and_Restore|err| Backup and Restore: Backup job Nightly failed: disk full | Disk /srv is full | Details:  | Source: nightly"
grep -qxF "$expected" <<<"$out" || fail "rsyslog line: $out"
grep -qxF "Ardentis|warning| [Medium Priority] two^Ifields | Details:  | Source: nightly" <<<"$out" ||
  fail "rsyslog line of a registered source: $out"
grep -q '#0' <<<"$out" && fail "escapes in the rsyslog lines: $out"
echo "rsyslog: $out"

# ---- journald in a private mount namespace.
if ! unshare -m --propagation private true 2>/dev/null; then
  echo "SKIPPED: no privilege for a private mount namespace (unshare -m)"; exit 77
fi
[ -x /lib/systemd/systemd-journald ] || { echo "SKIPPED: systemd-journald is not installed"; exit 77; }
catalog_dir=/usr/lib/systemd/catalog
export work ferrule source catalog_dir
unshare -m --propagation private bash -euo pipefail -c '
fail() { echo "FAILED: $*"; exit 1; }
mount -t tmpfs tmpfs /run
mkdir -p /run/systemd/journal /run/log
# Only folders that exist are covered: making one would change the machine.
for d in /var/lib/systemd/catalog "$catalog_dir"; do
  [ -d "$d" ] || { echo "SKIPPED: $d is missing"; exit 77; }
  mount -t tmpfs tmpfs "$d"
done
if [ -d /var/log/journal ]; then mount -t tmpfs tmpfs /var/log/journal; fi
cp "$source/packaging/ferrule.catalog" "$catalog_dir/"
/lib/systemd/systemd-journald 2>"$work/journald.err" &
journald=$!
trap "kill $journald 2>/dev/null; wait $journald 2>/dev/null || true" EXIT
for _ in $(seq 200); do [ -S /run/systemd/journal/socket ] && break; sleep 0.05; done
[ -S /run/systemd/journal/socket ] || { cat "$work/journald.err"; echo "SKIPPED: journald did not start"; exit 77; }

handlers=$("$ferrule" handlers)
grep -qF "delivers to the journal (/run/systemd/journal/socket)" <<<"$handlers" || fail "handlers: $handlers"
"$ferrule" notify --app "Backup & Restore" --type error --priority high --code 0x1F --source nightly \
  $'"'"'Backup job Nightly failed: disk full\r\nsecond line'"'"' || fail "notify to the journal"
"$ferrule" notify --app "Backup & Restore" --type warning --code 0xECE3006A "mail refused" || fail "notify"
"$ferrule" notify --app Ardentis --type warning --priority medium --source nightly "registered" || fail "notify"
json=
for _ in $(seq 100); do
  json=$(journalctl -o json --no-pager -t "Backup and Restore" FERRULE_TYPE=error 2>/dev/null || true)
  [ -n "$json" ] && break; sleep 0.05
done
[ -n "$json" ] || fail "no journal entry with the identifier \"Backup and Restore\""
/usr/bin/python3 - "$json" <<"PY" || exit 1
import json, os, sys
entries = [json.loads(line) for line in sys.argv[1].splitlines()]
assert len(entries) == 1, entries
e = entries[0]
expected = {
    "SYSLOG_IDENTIFIER": "Backup and Restore", "PRIORITY": "3", "SYSLOG_FACILITY": "1",
    "MESSAGE": "Backup job Nightly failed: disk full\nsecond line\nDetails: \nSource: nightly",
    "MESSAGE_ID": "b821000f79d64b2899cc233d1cdfb414", "FERRULE_CODE": "0x0000001F",
    "FERRULE_TYPE": "error", "FERRULE_PRIORITY": "high", "FERRULE_SOURCE": "nightly",
    "FERRULE_APPLICATION": "Backup & Restore", "FERRULE_CATEGORY": "1", "FERRULE_EVENT_ID": "100",
    "_TRANSPORT": "journal",
}
for name, value in expected.items():
    if e.get(name) != value:
        sys.exit("FAILED: journal field %s is %r, not %r" % (name, e.get(name), value))
print("journal: " + json.dumps({k: e[k] for k in expected}))
PY
coded=$(journalctl -o json --no-pager -t "Backup and Restore" FERRULE_CODE=0xECE3006A 2>/dev/null || true)
grep -qF "Unable to send notification e-mail." <<<"$coded" || fail "no entry for FERRULE_CODE=0xECE3006A: $coded"
registered=$(journalctl -o json --no-pager -t Ardentis FERRULE_CATEGORY_NAME="Medium Priority" 2>/dev/null || true)
[ -n "$registered" ] || fail "no FERRULE_CATEGORY_NAME for the registered source"

journalctl --update-catalog 2>"$work/catalog.err" || { cat "$work/catalog.err"; fail "update-catalog"; }
explained=$(journalctl -x --no-pager -t "Backup and Restore" 2>/dev/null || true)
grep -qF "ferrule explain 0x0000001F" <<<"$explained" || fail "journalctl -x does not explain the entry: $explained"
grep -qF "ferrule explain 0xECE3006A" <<<"$explained" || fail "journalctl -x does not explain the entry: $explained"
for subject in "Backup and Restore sent an error notification" "Backup and Restore sent a warning notification"; do
  grep -qF "$subject" <<<"$explained" || fail "catalog subject \"$subject\": $explained"
done
'
echo "journald: entries, fields and catalog as expected"
