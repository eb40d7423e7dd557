#!/usr/bin/env bash
# The bash completion, driven as bash drives it: COMP_WORDS, COMP_CWORD and the function that
# `complete -p ferrule` names, in an interactive shell. Usage: completion_test.sh COMPLETION FERRULE
set -euo pipefail
completion=$1
ferrule=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }
export FERRULE_CONFIG_DIR=$work FERRULE_LOG_DIR=$work FERRULE_REGISTRY_DIR=$work FERRULE_JOURNAL_SOCKET= \
       FERRULE_SYSLOG_SOCKET=$work/no-log FERRULE_SPOOL_DIR=$work/spool
"$ferrule" set LogFile MaxSize=64 >/dev/null # a policy to complete from

# Completions of a command line whose last word is being completed, one per line.
complete_line() {
    bash --norc --noprofile -i -c '
        source "$1"; shift
        function=$(complete -p ferrule | sed -n "s/.*-F \([^ ]*\) ferrule$/\1/p")
        [ -n "$function" ] || { echo "(no completion for ferrule)"; exit 1; }
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMPREPLY=()
        "$function"
        printf "%s\n" "${COMPREPLY[@]}"' completion "$completion" "$ferrule" "$@" 2>/dev/null
}
expect() { # WORDS... -- EXPECTED-LINES (each must be among the completions)
    local words=() expected
    while [ "$1" != "--" ]; do words+=("$1"); shift; done
    shift
    local got
    got=$(complete_line "${words[@]}")
    for expected in "$@"; do
        grep -qxF -- "$expected" <<<"$got" || fail "completing '${words[*]}': '$expected' missing from: $got"
    done
}
refuse() { # WORDS... -- LINE that must not be offered
    local words=()
    while [ "$1" != "--" ]; do words+=("$1"); shift; done
    shift
    ! grep -qxF -- "$1" <<<"$(complete_line "${words[@]}")" || fail "completing '${words[*]}' offered '$1'"
}
expect "" -- notify handlers set test explain log
expect "se" -- set
refuse "se" -- notify
expect notify --ty -- --type
expect notify --type "" -- error warning info test
expect notify --priority m -- medium
expect set "" -- LogFile EventLog 'SNMP\ Trap' E-mail Webhook
expect set SN -- 'SNMP\ Trap'
expect set 'SNMP\ Trap' Tr -- TrapPort=
expect set 'SNMP\ Trap' "" -- Destination= CommunityString= SNMPTrapEnabled= TypeFilter=
expect set LogFile M -- MaxSize=
expect set E-mail Pa -- Password=
expect set LogFile TypeFilter=e -- TypeFilter=error
expect set Webhook F -- Format=
expect set Webhook Format=c -- Format=chat
expect set Webhook Format=a -- Format=alertmanager
expect "" -- flush outbox
expect outbox "" -- drop
expect outbox drop "" -- --all
expect set Out -- Outbox
expect set Outbox "" -- RetryMinutes=
expect set 'SNMP\ Trap' SNMPVersionV2= -- SNMPVersionV2=true SNMPVersionV2=false
expect set E-mail Em -- EmailAddress=
expect set LogFile Pa -- Path=
expect set E-mail Encryption= -- Encryption=0 Encryption=9999
expect explain 0xECE3006 -- 0xECE3006A 0xECE30067
refuse set LogFile "" -- Password=
# --config's names; a file name with a blank is one word.
expect --config "" -- locale= policy_read_only= direct_debug_file=
expect --config lo -- locale=
touch "$work/my log.txt"
expect log "$work/my" -- "$(printf '%q' "$work/my log.txt")"
refuse log "$work/my" -- "$work/my"
# Completing for a policy that does not exist makes none, nor its log folder.
before=$(find "$work" | sort)
expect set --app Partia "" -- LogFile EventLog
expect handlers --app Partia --policy "$work/sub/p.xml" "" -- --help
[ "$(find "$work" | sort)" = "$before" ] || fail "completion wrote: $(diff <(echo "$before") <(find "$work" | sort))"
echo "completion: all cases offered what they should"
