#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses it as an administrator and a C++ developer would:
# the installed ferrule (Shared folder found), a client built outside the tree with find_package and
# with pkg-config, and the Debian package's file list. Usage: install_test.sh BUILD-FOLDER SOURCE-FOLDER
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cd "$work"
fail() { echo "FAILED: $*"; exit 1; }
# Each check reads a whole output (grep -q after a pipe would stop its writer with SIGPIPE, which
# pipefail counts as a failure).

cmake --install "$build" --prefix "$prefix" >/dev/null
export FERRULE_CONFIG_DIR=$work/config FERRULE_LOG_DIR=$work/logs FERRULE_REGISTRY_DIR=$work FERRULE_PIPE_DIR=$work
# A system log of our own, drained while the test runs.
export FERRULE_SYSLOG_SOCKET=$work/log FERRULE_JOURNAL_SOCKET=
/usr/bin/python3 "$source/tests/peers/datagram_sink.py" "$FERRULE_SYSLOG_SOCKET" &
drain=$!
trap 'kill $drain 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -S "$FERRULE_SYSLOG_SOCKET" ] && break; sleep 0.05; done
ferrule=$prefix/bin/ferrule
[ -L "$ferrule" ] || fail "bin/ferrule is not a link"

# The installed tool: a policy in the configuration folder, the log in the log folder.
"$ferrule" set EventLog TypeFilter=none >/dev/null
"$ferrule" notify "installed ferrule works" || fail "notify"
grep -q "installed ferrule works" <<<"$("$ferrule" log "$work/logs/ferrule.log.txt")" || fail "log line"
# The trap library in Shared is found: an enabled handler without a destination fails in it.
"$ferrule" set 'SNMP Trap' SNMPTrapEnabled=true TypeFilter=all >/dev/null
out=$("$ferrule" test || true)
grep -q "SNMP Trap    FAILED 0x8000FFFF" <<<"$out" || fail "the trap library was not found: $out"
# One version: the tool's, and both manual pages' footers.
version=$("$ferrule" --version)
[[ "$version" =~ ^ferrule\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "--version printed: $version"
for page in man1/ferrule.1.gz man5/ferrule.notify.xml.5.gz; do
  grep -q "^\.TH .* \"$version\" " <<<"$(zcat "$prefix/share/man/$page")" || fail "$page does not carry $version"
done
grep -q -- "--tray-clients" <<<"$("$ferrule" --help)" || fail "--help does not list --tray-clients"
# The man page describes every command and environment variable that --help names.
help=$("$ferrule" --help)
manual=$(zcat "$prefix/share/man/man1/ferrule.1.gz")
for command in $(echo "$help" | sed -n 's/^  \([a-z]\+\) .*/\1/p' | grep -v '^ferrule$'); do
  grep -q "fB$command" <<<"$manual" || fail "the man page lacks $command"
done
for variable in $(echo "$help" | grep -o 'FERRULE_[A-Z_]*'); do
  grep -q "$variable" <<<"$manual" || fail "the man page lacks $variable"
done

# A client built outside the tree with find_package(Ferrule).
cmake -S "$source/tests/client" -B "$work/client" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/client" >/dev/null
grep -q "Notify: 0x00000000" <<<"$("$work/client/client" "$work/client.notify.xml")" || fail "find_package client"
grep -q . "$work/client.notify.xml" || fail "client policy"

# The same client with pkg-config, as C++20: no -std of ours, plain paths, the versioned library.
flags=$(PKG_CONFIG_PATH=$(dirname "$(find "$prefix/lib" -name ferrule.pc)") pkg-config --cflags --libs ferrule)
grep -q -- "-std=" <<<"$flags" && fail "pkg-config gives a language standard: $flags"
grep -q -- "/\.\./\|/\./" <<<"$flags" && fail "pkg-config's paths are not plain: $flags"
# shellcheck disable=SC2086
g++ -std=c++20 "$source/tests/client/client.cpp" $flags -o "$work/client-pc" || fail "a C++20 client does not build"
grep -q "Notify: 0x00000000" <<<"$("$work/client-pc" "$work/client2.notify.xml")" || fail "pkg-config client"
dynamic=$(readelf -d "$work/client-pc")
grep -q "NEEDED.*\[libFerruleNotifier.so.1\]" <<<"$dynamic" || fail "the client does not need libFerruleNotifier.so.1: $dynamic"
grep -q "NEEDED.*\[libPlatform.so\]" <<<"$dynamic" && fail "the client needs an unversioned library: $dynamic"
grep -q "RUNPATH.*\[$prefix/lib/ferrule/bin\]" <<<"$dynamic" || fail "the client's RUNPATH: $dynamic"
# <ferrule/NotifierCom.h> gives the manager underneath with the same flags.
cat >"$work/com.cpp" <<'CPP'
#include <ferrule/NotifierCom.h>
int main(int, char** argv)
{
    ferrule::Notifier notifier("com", argv[1]);
    INotify* manager = ferrule::manager(notifier);
    Bstr application;
    return manager && SUCCEEDED(manager->get_Application(application.Out())) && application.Str() == u"com" ? 0 : 1;
}
CPP
# shellcheck disable=SC2086
g++ "$work/com.cpp" $flags -o "$work/com" || fail "a NotifierCom.h client does not build"
"$work/com" "$work/com.notify.xml" || fail "the manager under a Notifier"

# The Debian package and its files.
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/ferrule_*.deb | head -1)
files=$(dpkg -c "$deb")
for f in ./usr/lib/ferrule/bin/ferrule ./usr/lib/ferrule/bin/libFerrule.so ./usr/lib/ferrule/Shared/libWicket.so \
         ./usr/share/man/man1/ferrule.1.gz ./usr/share/man/man5/ferrule.notify.xml.5.gz \
         ./usr/include/ferrule/Ferrule/Interfaces.h ./usr/include/ferrule/Notifier.h \
         ./usr/share/bash-completion/completions/ferrule ./usr/lib/systemd/catalog/ferrule.catalog \
         ./usr/share/doc/ferrule/copyright; do
  grep -q " $f\$" <<<"$files" || fail "$f is not in the package"
done
grep -q "postinst" <<<"$(dpkg -I "$deb")" || fail "postinst"
grep -q "postrm" <<<"$(dpkg -I "$deb")" || fail "postrm"
# lintian with its default profile: no error and no warning, for both packages.
ddeb=$(ls "$build"/ferrule-dbgsym_*.ddeb | head -1)
if command -v lintian >/dev/null; then
  report=$(lintian --tag-display-limit 0 "$deb" "$ddeb" 2>&1 | grep -E '^(E|W): ' || true)
  [ -z "$report" ] || fail "lintian: $report"
else
  fail "lintian is not installed (scripts/install-deps installs it)"
fi
echo "install test: 1 passed, 0 failed"
