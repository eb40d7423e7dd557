#!/usr/bin/env bash
# The desktop notice of ferrule tray as a real notification daemon receives it: Xvfb on a display of its
# own, a private session bus, the notification daemon on it, and dbus-monitor recording each Notify call
# (icon, summary, body, urgency). With a second argument, a screenshot of the notices as the daemon drew
# them is saved there (PNG).
# Usage: desktop_notice_test.sh FERRULE [SCREENSHOT.png]
set -euo pipefail
fail() { echo "FAILED: $*"; echo "--- what the daemon was asked:"; cat "$work/monitor.txt" 2>/dev/null || true; exit 1; }

if [ "${1:-}" != "--on-bus" ]; then
  ferrule=$1
  shot=${2:-}
  work=$(mktemp -d)
  xvfb=
  trap '[ -n "$xvfb" ] && kill $xvfb 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
  # A display of its own: the first free number.
  display=90
  while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
  Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  xvfb=$!
  for _ in $(seq 200); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.05; done
  [ -e "/tmp/.X11-unix/X$display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
  export NO_AT_BRIDGE=1 # no accessibility bus for the daemon
  DISPLAY=":$display" dbus-run-session -- bash "$0" --on-bus "$ferrule" "$work" "$shot" 2>"$work/bus.log" ||
    { cat "$work/bus.log"; exit 1; }
  exit
fi

# ---- On the private session bus.
ferrule=$2
work=$3
shot=$4
pids=()
trap 'for p in "${pids[@]}"; do kill $p 2>/dev/null; done; wait 2>/dev/null' EXIT
export FERRULE_CONFIG_DIR=$work FERRULE_LOG_DIR=$work FERRULE_REGISTRY_DIR=$work FERRULE_PIPE_DIR=$work/pipes LC_ALL=C
mkdir -m 700 "$work/pipes"
cd "$work"

/usr/lib/notification-daemon/notification-daemon >daemon.log 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
    string:org.freedesktop.Notifications 2>/dev/null | grep -q "boolean true" && break
  sleep 0.05
done
dbus-monitor --session "type='method_call',interface='org.freedesktop.Notifications',member='Notify'" >monitor.txt 2>&1 &
pids+=($!)
"$ferrule" tray >tray.txt 2>tray.err &
pids+=($!)
sleep 0.5

"$ferrule" set AppNotifier TypeFilter=all PriorityFilter=all >/dev/null
unset FERRULE_SYSLOG_SOCKET
send() { "$ferrule" notify --tray-clients 1 "$@" >/dev/null 2>&1 || true; }
send --type error --priority high --code 0xECE3006A "mail refused"
send --type warning --code 0x80070005 "share locked"
send --type info $'Backup finished\nall 3 volumes, 12 GB'
send --type info "Backup started"

# Each call's icon, summary, body and urgency, one call a line, fields split by "|".
calls() {
  awk '/member=Notify/ { if (n) print line; n = 1; line = ""; s = 0; next }
       n && /^   string / { s++; v = $0; sub(/^   string "/, "", v); sub(/"$/, "", v);
                            if (s >= 2 && s <= 4) line = line v "|" }
       n && /byte/ { line = line "urgency=" $NF }
       END { if (n) print line }' monitor.txt
}
for _ in $(seq 200); do [ "$(calls | wc -l)" -ge 4 ] && break; sleep 0.05; done
mapfile -t got < <(calls)
[ "${#got[@]}" -eq 4 ] || fail "4 notices expected, got ${#got[@]}"
# A system error code reaches the handler wrapped in the module's result for it.
expect=(
  'dialog-error|Error ECE3006A|Unable to send notification e-mail.|urgency=2'
  "dialog-error|Error EBAB03F1|Following Operating System error occurred while performing requested operation: 'Access is denied.'|urgency=2"
  '|Backup finished|all 3 volumes, 12 GB|urgency=1'
  '|Backup started||urgency=1'
)
for i in 0 1 2 3; do
  [ "${got[$i]}" = "${expect[$i]}" ] || fail "notice $((i + 1)): got '${got[$i]}', expected '${expect[$i]}'"
done

if [ -n "$shot" ]; then
  sleep 1 # drawn
  xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng >"$shot" 2>/dev/null
  echo "screenshot: $shot"
fi
echo "desktop notices: 4 as expected"
