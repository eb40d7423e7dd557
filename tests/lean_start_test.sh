#!/usr/bin/env bash
# What a one-shot ferrule maps, from the loader's own report (LD_DEBUG=files, dlopen included): a run
# that sends no mail, no trap and handles no stored password maps none of libcurl, libssl, libcrypto,
# libnetsnmp and the ICU libraries; one that sends mail does open libcurl; and a libcurl that cannot be
# opened (hidden in a private mount namespace) is the e-mail transport's failure, naming it.
# Usage: lean_start_test.sh BUILD-FOLDER
set -euo pipefail
build=$1
peers=$(cd "$(dirname "$0")" && pwd)/peers
work=$(mktemp -d)
trap 'kill $drain 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }
ferrule=$build/bin/ferrule
export FERRULE_CONFIG_DIR=$work FERRULE_LOG_DIR=$work FERRULE_REGISTRY_DIR=$work FERRULE_PIPE_DIR=$work LC_ALL=C
export FERRULE_JOURNAL_SOCKET=$work/journal FERRULE_SPOOL_DIR=$work/spool
/usr/bin/python3 "$peers/datagram_sink.py" "$FERRULE_JOURNAL_SOCKET" &
drain=$!
for _ in $(seq 100); do [ -S "$FERRULE_JOURNAL_SOCKET" ] && break; sleep 0.05; done
cd "$work"
forbidden='libcurl|libssl|libcrypto|libnetsnmp|libicu'

# The libraries a command loads, one per line (whether the command itself succeeds or not).
loaded() { { LD_DEBUG=files "$@" 2>&1 >/dev/null || true; } | sed -n 's/.*file=\([^ ]*\) .*/\1/p' | sort -u; }

for run in first second; do # the second reads the policy the first wrote, with its empty password form
  libraries=$(loaded "$ferrule" notify "lean start, $run run")
  grep -q 'libFerrule.so' <<<"$libraries" || fail "the module was not loaded: $libraries"
  grep -q 'libPlover.so' <<<"$libraries" || fail "the mail library was not loaded: $libraries"
  if grep -E "$forbidden" <<<"$libraries"; then fail "the $run notify maps the libraries above"; fi
done
grep -q '<AESAdvancedPwd256ICFIPS vt="8"/>' ferrule.notify.xml || fail "the policy has no empty password form"
libraries=$(loaded "$ferrule" --help)
if grep -E "$forbidden|libboost" <<<"$libraries"; then fail "ferrule --help maps the libraries above"; fi

# A run that sends mail opens libcurl (so the check above can see it).
"$ferrule" set E-mail SMTPServer=127.0.0.1 ServerPort=1 Address=ops@example.org TypeFilter=all PriorityFilter=all >/dev/null
libraries=$(loaded "$ferrule" notify --type error "mail")
grep -q 'libcurl.so.4' <<<"$libraries" || fail "a notify that sends mail did not open libcurl: $libraries"

# Without libcurl the e-mail and webhook handlers fail, naming it; the other handlers deliver.
"$ferrule" set Webhook URL=- <<<"https://127.0.0.1:1/hook" >/dev/null
rm -rf "$work/spool" # the run above found the server down, and a down server is not tried for a minute
if unshare -m --propagation private true 2>/dev/null; then
  path=$(ldconfig -p | sed -n 's/.*libcurl.so.4 (libc6,x86-64) => //p' | head -1)
  [ -n "$path" ] || fail "libcurl.so.4 not found by ldconfig"
  out=$(unshare -m --propagation private sh -c "mount --bind /dev/null '$path' && '$ferrule' test;
         '$ferrule' notify --type error --priority high 'no libcurl'" 2>&1 || true)
  grep -q 'E-mail       FAILED' <<<"$out" || fail "without libcurl: $out"
  grep -q 'LogFile      delivered' <<<"$out" || fail "without libcurl the log file was not written: $out"
  log=$("$ferrule" log --raw ferrule.log.txt)
  grep -q 'High Priority Error: no libcurl' <<<"$log" || fail "the notification was not logged: $log"
  grep -q 'NOTIFY_ERROR_EMAIL_SEND .*libcurl.so.4' <<<"$log" || fail "the log's warning does not name libcurl.so.4: $log"
  grep -q 'NOTIFY_ERROR_WEBHOOK_FAILED .*libcurl.so.4' <<<"$log" || fail "the webhook's warning does not name libcurl.so.4: $log"
else
  echo "note: no private mount namespace here; the missing-libcurl case was not run"
fi
echo "lean start: no outside library a run does not use is mapped"
