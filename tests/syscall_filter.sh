#!/usr/bin/env bash
# The units' SystemCallFilter= allows every call qev makes: qev is traced
# (strace; for another architecture's build, the emulator's own trace)
# along its paths, and each call it made must be in the filter.
# Its paths under the units: a listener on standard input, a value file
# that is a dangling link and then arrives, a stop while a client is
# connected; a connection on standard input, output and error, whose log
# goes to syslog (none listens here: the calls are made all the same).
# Usage: syscall_filter.sh SOURCE_DIR BUILD_DIR (or the tree QEV_UNDER_TEST
# names, when set)
set -euo pipefail
source_dir=$1
tree=${QEV_UNDER_TEST:-$2}
qev=$tree/qev
client=$tree/qev-client
# shellcheck source=tests/live_lib.sh
source "$source_dir/tests/live_lib.sh"
# The ELF machine of a program: 2 bytes at offset 18.
machine() { od -An -tx2 -j18 -N2 "$1" | tr -d ' '; }
if [[ $(machine "$qev") == "$(machine /proc/self/exe)" ]]; then
  command -v strace >/dev/null || skip "strace is missing (scripts/test installs it)"
  traced() { strace -f -qq -o "$work/trace.$1" "${@:2}"; }
else
  traced() { QEMU_LOG=strace QEMU_LOG_FILENAME=$work/trace.$1 "${@:2}"; }
fi
if [[ ${QEV_INSIDE:-} != 1 ]]; then
  # Its own processes too: a stop goes to every qev there, and to no other.
  probe=$(unshare -n -p -f --mount-proc true 2>&1) ||
    skip "no network, PID and mount namespaces can be made here: $probe"
  exec env QEV_INSIDE=1 unshare -n -p -f --mount-proc bash "$0" "$@"
fi
ip link set lo up
work=$(mktemp -d)
export work  # for traced, in the shells the sockets' holder starts
trap 'jobs -p | xargs -r kill 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
poll() { timeout 10 "$client" -t 5000 "$@"; }
# Connecting would make a client: the listener is looked for instead.
listening() {
  for _ in $(seq 200); do
    ss -ltnH | grep -q ':8792 ' && return 0
    sleep 0.05
  done
  fail "qev never listened"
}

# Runs traced qev number $2 with a listener on standard input ($1 is
# listener), or with a connection as standard input, output and error,
# polled once ($1 is connection).
given() {
  perl -MSocket -e 'my $mode = shift; socket(my $l, PF_INET, SOCK_STREAM, 0) or die;
    setsockopt($l, SOL_SOCKET, SO_REUSEADDR, 1) or die;
    bind($l, pack_sockaddr_in(8792, INADDR_LOOPBACK)) or die "bind: $!";
    listen($l, 8) or die;
    if ($mode eq "listener") { open(STDIN, "<&", $l) or die; exec @ARGV; }
    socket(my $c, PF_INET, SOCK_STREAM, 0) or die;
    connect($c, pack_sockaddr_in(8792, INADDR_LOOPBACK)) or die;
    accept(my $a, $l) or die;
    if (!fork) { open(STDIN, "<&", $a); open(STDOUT, ">&", $a); open(STDERR, ">&", $a);
      exec @ARGV; }
    close($a); send($c, "x", 0); recv($c, my $record, 1024, MSG_WAITALL); close($c);
    wait' "$1" bash -c "$(declare -f traced); traced $2 $qev"
}

# A listener, as from qev.socket: a dangling link, reported with its
# target, then the value; a stop between two polls of its client.
ln -s nowhere current
given listener 1 >/dev/null 2>&1 &
server=$!
listening
poll -n 2 -i 1000 >"$work/polled" 2>&1 &
sleep 1.5
rm current && echo 42 >current
sleep 0.7
pkill -TERM -x qev
wait "$server" || true
[[ $(cat "$work/polled") == 42* ]] || fail "no poll served: $(cat "$work/polled")"
# A connection, as from qev-concurrent.socket with a drop-in that makes it
# standard output and error too.
given connection 2

# Each call of every trace ("NAME(" after the process number), against the
# filter's names, its groups expanded.
allowed=$(sed -n '/^SystemCallFilter=/,/[^\\]$/p' "$source_dir/dist/service-section.in" |
  sed 's/^SystemCallFilter=//; s/\\$//' | tr ' ' '\n' | sed '/^$/d')
allowed+=$'\n'$(grep '^@' <<<"$allowed" | xargs -r systemd-analyze syscall-filter |
  sed -n 's/^ \+\([a-z0-9_]\+\)$/\1/p')
# rseq, by its arm64 number: Debian's emulator does not name it.
sed -i 's/^\([0-9]* \)Unknown syscall 293$/\1rseq()/' trace.*
made=$(cat trace.* | sed -n 's/^[0-9]\+ \+\([a-z0-9_]\+\)(.*/\1/p' | sort -u)
[[ -n $made ]] || fail "no calls traced"
unknown=$(cat trace.* | grep -o 'Unknown syscall [0-9]*' | sort -u | tr '\n' ' ' || true)
[[ -z $unknown ]] || fail "calls the emulator could not name: $unknown"
missing=$(grep -vxF -f <(echo "$allowed") <<<"$made" || true)
echo "calls made: $(wc -l <<<"$made") ($(tr '\n' ' ' <<<"$made"))"
[[ -z $missing ]] || fail "calls the units' SystemCallFilter= lacks: $(tr '\n' ' ' <<<"$missing")"
