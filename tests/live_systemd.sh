#!/usr/bin/env bash
# The package as it ships, under a real systemd. Builds the .deb, installs it
# with apt into a fresh minimal Debian 12 root, boots that root with
# systemd-nspawn inside a private network namespace (nothing listens on a
# real interface), and drives the service from that namespace with
# qev-client, nc and a resetting client while reading the journal, as an
# operator would. One boot serves every check.
# Usage: live_systemd.sh SOURCE_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
# shellcheck source=tests/live_lib.sh
source "$source_dir/tests/live_lib.sh"
[[ $(id -u) -eq 0 ]] || skip "booting a container needs root"
for tool in systemd-nspawn debootstrap unshare nsenter nc perl ip ss busybox; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/test installs it)"
done
# Can this machine run a container at all (no chroot, namespaces allowed)?
# Asked first, of a root holding a static busybox alone, which tells in a
# second: the package and a Debian root take minutes.
tiny=$(mktemp -d)
mkdir -p "$tiny/usr/bin"
cp "$(command -v busybox)" "$tiny/usr/bin/true"
booted=0
probe=$(unshare -n -- systemd-nspawn -q -D "$tiny" --register=no --keep-unit \
  /usr/bin/true 2>&1 </dev/null) && booted=1
rm -rf "$tiny"
((booted)) || skip "this machine cannot run a container with systemd-nspawn: $probe"
export DEBIAN_FRONTEND=noninteractive LC_ALL=C
started=$(date +%s%N)
ms_since() { echo $((($(date +%s%N) - $1) / 1000000)); }

step "the package, built as scripts/package builds it for release"
"$source_dir/scripts/package" >/dev/null
deb=$(echo "$source_dir"/build/pkg/qev_*_amd64.deb)
client_bin=$source_dir/build/pkg/qev-client

# A 1.1.0 package, made once and kept, which the live test upgrades: the
# last build that carried 1.1.0, whose qev serves a run of clients and
# knows nothing of the signal that asks it to end once idle.
old_release=$source_dir/build/release-1.1.0
if ! compgen -G "$old_release/build/pkg/qev_1.1.0_amd64.deb" >/dev/null; then
  step "a 1.1.0 package, from the last commit that carried 1.1.0, once"
  rm -rf "$old_release"
  mkdir -p "$old_release"
  git -C "$source_dir" archive 884372a1b500ccb53cac65c3c14d09ec90db3057 |
    tar -x -C "$old_release"
  "$old_release/scripts/package" >"$old_release/package.log" 2>&1 ||
    fail "the 1.1.0 package: $(tail -n 5 "$old_release/package.log")"
fi

# An untouched minimal root, made once and kept under build/.
cache=$source_dir/build/debian-root
if [[ ! -x $cache/usr/lib/systemd/systemd ]]; then
  step "a minimal Debian 12 root by debootstrap, once (minutes)"
  rm -rf "$cache.new"
  debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus \
    bookworm "$cache.new" >"$source_dir/build/debootstrap.log" 2>&1 ||
    fail "debootstrap (see build/debootstrap.log)"
  rm -rf "$cache"
  mv "$cache.new" "$cache"
fi
root=$(mktemp -d "$source_dir/build/live-root.XXXXXX")
work=$(mktemp -d)
nspawn=
cleanup() {
  if [[ -n $nspawn ]] && kill -0 "$nspawn" 2>/dev/null; then
    kill "$nspawn" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$nspawn" 2>/dev/null || true
  fi
  jobs -p | xargs -r kill 2>/dev/null || true
  rm -rf "$root" "$work"
}
trap cleanup EXIT
live_log=$work/console.log
cp -a "$cache/." "$root/"
mkdir -p "$root/root/build/pkg"
cp "$deb" "$root/root/build/pkg/"
mkdir -p "$root/root/old"
cp "$old_release"/build/pkg/qev_1.1.0_amd64.deb "$root/root/old/"
# Debian's node_exporter, for the metrics recipe: fetched here once, since
# the container has no network.
debs=$source_dir/build/live-debs
mkdir -p "$debs"
for package in adduser prometheus-node-exporter; do
  compgen -G "$debs/${package}_*.deb" >/dev/null && continue
  (cd "$debs" && { apt-get download "$package" >/dev/null 2>&1 ||
    { apt-get update >/dev/null && apt-get download "$package"; }; }) ||
    fail "cannot download $package"
done
# Where apt's unprivileged fetcher may read them.
mkdir -p "$root/opt/debs"
cp "$debs"/*.deb "$root/opt/debs/"
chmod -R a+rX "$root/opt/debs"

# Inside the container; and in its network namespace only, with this
# machine's programs (the container's minimal root has no nc).
inside() { nsenter -t "$leader" -a -- "$@"; }
net() { nsenter -t "$leader" -n -- "$@"; }
# Boots, in a network namespace of its own with only loopback, up, and
# waits until systemd says it is running.
boot() {
  unshare -n -- sh -c 'ip link set lo up && exec systemd-nspawn -q -D "$0" -b \
    --register=no --keep-unit --console=read-only' "$root" \
    >"$work/console.log" 2>&1 </dev/null &
  nspawn=$!
  leader=
  for _ in $(seq 300); do
    for child in $(pgrep -P "$nspawn" || true); do
      [[ $(cat "/proc/$child/comm" 2>/dev/null) == systemd ]] && leader=$child
    done
    [[ -n $leader ]] && break
    sleep 0.1
  done
  [[ -n $leader ]] || fail "the container did not start: $(cat "$work/console.log")"
  local state=
  for _ in $(seq 600); do
    state=$(inside systemctl is-system-running 2>/dev/null || true)
    [[ $state == running || $state == degraded ]] && break
    sleep 0.1
  done
  [[ $state == running || $state == degraded ]] ||
    fail "boot: $state; $(inside systemctl --failed --no-legend)"
}
shut_down() {
  inside systemctl poweroff || true
  for _ in $(seq 100); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
}
step "boot"
boot
boot_ms=$(ms_since "$started")
echo "booted in $boot_ms ms (package, root and boot)"
checks=$(date +%s%N)

journal_count() { # PATTERN [UNIT]: lines of UNIT (qev.service) in qev's journal matching it
  inside journalctl --namespace=qev --sync 2>/dev/null || true
  inside journalctl --namespace=qev -u "${2:-qev.service}" -o cat --no-pager | grep -c -- "$1" || true
}
service() { inside systemctl show -p "$1" --value qev.service; }
wait_service() { # STATE: waits for qev.service's ActiveState to be it
  for _ in $(seq 500); do
    [[ $(service ActiveState) == "$1" ]] && return 0
    sleep 0.02
  done
  fail "qev.service never became $1 (it is $(service ActiveState))"
}
write_value() { # as the writer: umask 027, temporary file, rename
  inside runuser -u writer -- sh -c "umask 027 && echo $1 >/var/lib/qev/current.tmp &&
    mv /var/lib/qev/current.tmp /var/lib/qev/current"
}
poll() { net "$client_bin" -t 5000 "$@"; }
# A client that connects, polls once and stays for SECONDS, or until killed,
# or until the service closes the connection (then it closes its end after
# the service's): started in the background, with its process in $holder.
# Returns once it has its record, so that it is the client being served: a
# qev still waiting for its next client takes whoever connects first.
hold() {
  rm -f "$work/held"
  nsenter -t "$leader" -n -- perl -MSocket -e 'alarm shift; socket(my $s, PF_INET, SOCK_STREAM, 0) or die;
    connect($s, pack_sockaddr_in(8792, inet_aton("127.0.0.1"))) or die;
    send($s, "x", 0); recv($s, my $record, 1024, MSG_WAITALL);
    $| = 1; print "held\n";
    1 while sysread($s, my $more, 1024);' "$1" </dev/null >"$work/held" 2>/dev/null &
  holder=$!
  for _ in $(seq 500); do
    [[ -s $work/held ]] && return 0
    sleep 0.02
  done
  fail "the held client was not served"
}

step "install with apt"
# The README's line, as written, where the package was built.
install_line=$(grep -x 'apt-get install ./build/pkg/.*' "$source_dir/README.md")
[[ -n $install_line ]] || fail "README.md has no install line"
inside sh -c "cd /root && $install_line -y" >"$work/apt.log" 2>&1 ||
  fail "$install_line: $(cat "$work/apt.log")"
mode=$(inside stat -c '%U:%G %a' /var/lib/qev)
echo "/var/lib/qev: $mode"
[[ $mode == "qev:qev 2770" ]] || fail "state directory is $mode"
[[ $(inside systemctl is-active qev.socket || true) == inactive ]] ||
  fail "the package started qev.socket by itself"

step "a writer in group qev with umask 027, by rename"
# The README's line, as written.
writer_line=$(grep -o '^useradd -m -G qev writer' "$source_dir/README.md")
[[ -n $writer_line ]] || fail "README.md has no line that makes the writer"
# shellcheck disable=SC2086 # the README's words, as typed
inside $writer_line
write_value 42
echo "current: $(inside stat -c '%U:%G %a' /var/lib/qev/current)"
inside systemctl enable --now qev.socket >/dev/null 2>&1
[[ $(inside systemctl is-active qev.socket) == active ]] || fail "qev.socket is not active"
net ss -ltnH | grep -q '0.0.0.0:8792 ' || fail "nobody listens on 0.0.0.0:8792"
[[ $(poll) == 42 ]] || fail "the first poll did not return 42"
write_value 43
[[ $(poll) == 43 ]] || fail "the poll after the writer's rename did not return 43"

step "runs as qev in /var/lib/qev, logs its start-up"
hold 30
wait_service active
pid=$(service MainPID)
user=$(inside stat -c %U "/proc/$pid")
cwd=$(inside readlink "/proc/$pid/cwd")
echo "qev: pid $pid, user $user, directory $cwd"
[[ $user == qev && $cwd == /var/lib/qev ]] || fail "runs as $user in $cwd"
kill "$holder"
wait_service inactive
for line in "QEV: Waiting for connection ...:0" "QEV: 0" "QEV: Accepting socket :3"; do
  [[ $(journal_count "^$line\$") -ge 1 ]] || fail "journal lacks '$line'"
done

step "a value file missing, then unreadable, then back; journald restarted"
inside mv /var/lib/qev/current /var/lib/qev/kept
net "$client_bin" -t 9000 >"$work/waited" 2>&1 &
waiter=$!
sleep 1.5
inside chmod 600 /var/lib/qev/kept  # the writer's own: qev may not read it
inside mv /var/lib/qev/kept /var/lib/qev/current
sleep 1.5
inside chmod 640 /var/lib/qev/current
wait "$waiter" || fail "the waiting poll: $(cat "$work/waited")"
[[ $(cat "$work/waited") == 43 ]] || fail "the waiting poll got $(cat "$work/waited")"
[[ $(journal_count '^QEV: waiting for current: No such file or directory$') -eq 1 &&
  $(journal_count '^QEV: current can be read again$') -eq 1 ]] ||
  fail "the wait is not in the journal as one line and its end"
# The log's stream is lost when journald restarts: the service goes on.
net "$client_bin" -n 2 -i 3000 >"$work/polls" 2>&1 &
poller=$!
sleep 1
inside systemctl restart systemd-journald
wait "$poller" || fail "polls across journald's restart: $(cat "$work/polls")"
[[ $(tr '\n' ' ' <"$work/polls") == "43 43 " ]] || fail "polls across journald's restart: $(cat "$work/polls")"
wait_service inactive
[[ $(service Result) == success ]] || fail "after journald's restart: $(service Result)"
echo "a poll waited for a missing, then unreadable file, one journal line; polls went on across journald's restart"

# Ends journald@qev with COMMAND while one-poll clients come a second
# apart, then has it back: every reply has its line, or the count of those
# lost is said.
journald_gone() {
  local current_before said_before unlogged said
  current_before=$(journal_count '^Current: ')
  said_before=$(journal_count 'log lines lost: standard output is gone')
  inside "$@"
  # No journalctl meanwhile: its --sync would start that journald again.
  for _ in $(seq 4); do
    [[ $(poll) == 43 ]] || fail "a poll while qev's journald was gone"
    sleep 1
  done
  inside systemctl start systemd-journald@qev.service
  for _ in $(seq 3); do
    [[ $(poll) == 43 ]] || fail "a poll once qev's journald was back"
    sleep 1
  done
  wait_service inactive
  unlogged=$((7 - ($(journal_count '^Current: ') - current_before)))
  said=$(($(journal_count 'log lines lost: standard output is gone') - said_before))
  echo "$*: 7 replies, $unlogged without a line, $said count(s) of lost lines said"
  ((unlogged == 0 || said > 0)) || fail "$unlogged replies lost without a word"
}
step "journald@qev stopped, then killed, while one-poll clients come a second apart"
journald_gone systemctl stop systemd-journald@qev.service
journald_gone systemctl kill --kill-who=main -s SIGKILL systemd-journald@qev.service

step "journald@qev stopped by SIGSTOP for 20 s, its stream full, one-poll clients with a 3 s timeout"
inside systemctl kill --kill-who=main -s SIGSTOP systemd-journald@qev.service
halted=$(date +%s%N)
poll --saturate 5 >/dev/null  # more than the stream's buffer holds
served=0
failed=0
while (($(ms_since "$halted") < 20000)); do
  if [[ $(net "$client_bin" -t 3000 2>/dev/null) == 43 ]]; then
    served=$((served + 1))
  else
    failed=$((failed + 1))
  fi
  sleep 0.5
done
inside systemctl kill --kill-who=main -s SIGCONT systemd-journald@qev.service
[[ $(poll) == 43 ]] || fail "no poll served after SIGCONT"
wait_service inactive
said=$(journal_count 'log lines lost over')
echo "through 20 s of a stopped journald: $served clients served, $failed failed;" \
  "said: $(inside journalctl --namespace=qev -u qev.service -o cat --no-pager |
    grep 'log lines lost over' | tail -n 1)"
((failed == 0 && served > 0)) || fail "$failed clients failed while the log was full"
((said > 0)) || fail "the lines dropped while the log was full are not said"

step "the unit's qev missing: a few failed starts in 10 s, then served once it is back"
pid1_cpu() { awk '{ printf "%d", ($14 + $15) * 1000 / '"$(getconf CLK_TCK)"' }' "/proc/$leader/stat"; }
since=$(inside date +%s)
cpu=$(pid1_cpu)
inside mv /usr/lib/qev/root/usr/bin/qev /usr/lib/qev/qev.away
net perl -MSocket -e 'socket(my $s, PF_INET, SOCK_STREAM, 0) or die;
  connect($s, pack_sockaddr_in(8792, inet_aton("127.0.0.1"))) or die "connect: $!"'
sleep 10
starts=$(inside journalctl -u qev.service -o cat --no-pager --since "@$since" |
  grep -c 'status=203/EXEC' || true)
lines=$(inside journalctl -o cat --no-pager --since "@$since" | wc -l)
echo "binary missing: $starts failed starts, $lines system journal lines," \
  "$(($(pid1_cpu) - cpu)) ms of PID 1's CPU in 10 s; qev.socket: $(inside systemctl show -p Result --value qev.socket)"
((starts >= 1 && starts <= 6)) || fail "$starts failed starts in 10 s"
inside mv /usr/lib/qev/qev.away /usr/lib/qev/root/usr/bin/qev
back=$(date +%s%N)
until [[ $(net "$client_bin" -t 2000 2>/dev/null) == 43 ]]; do
  (($(ms_since "$back") < 40000)) || fail "not served 40 s after the binary came back"
  sleep 0.5
done
echo "served $(ms_since "$back") ms after the binary came back"
wait_service inactive

# One second: at the rates of a fast machine, more would pass the journal's
# 64 MB cap and rotate the first lines away before they are counted.
step "1 s of saturation: a journal line for every record"
before=$(journal_count '^Current: ')
waiting_before=$(journal_count '^QEV: Waiting for connection')
saturation=$(poll --saturate 1)
records=$(sed -n 's/^records=\([0-9]*\) .*/\1/p' <<<"$saturation")
wait_service inactive
lines=$(($(journal_count '^Current: ') - before))
echo "saturation: $saturation; journal: $lines Current: lines"
[[ -n $records && $records -gt 0 && $lines -ge $records ]] ||
  fail "$records records received, $lines lines in the journal"
[[ $(poll) == 43 ]] || fail "no poll served after the saturation"
sleep 2 # journald reports suppression when its interval ends
[[ $(journal_count '^QEV: Waiting for connection') -eq $((waiting_before + 2)) ]] ||
  fail "the start-up lines of the instances that followed are missing"
suppressed=$(inside journalctl --namespace='*' -o cat --no-pager | grep -c Suppressed || true)
[[ $suppressed -eq 0 ]] || fail "journald suppressed messages"

step "10 s of saturation: qev's journal takes it, the system's does not grow"
system_journal() { # its size in bytes and its lines
  inside journalctl --sync
  echo "$(inside du -sb "/var/log/journal/$(inside cat /etc/machine-id)" | cut -f1) bytes," \
    "$(inside journalctl -o cat --no-pager | wc -l) lines"
}
system_before=$(system_journal)
saturation=$(poll --saturate 10)
wait_service inactive
system_after=$(system_journal)
echo "saturation: $saturation; the system journal: $system_before before, $system_after after"
echo "qev's journal: $(journal_count '^Current: ') Current: lines in all;" \
  "$(inside journalctl --namespace=qev --disk-usage)"
lines_before=${system_before#* bytes, }
lines_after=${system_after#* bytes, }
((${lines_after% lines} - ${lines_before% lines} < 100)) ||
  fail "the system journal grew by $((${lines_after% lines} - ${lines_before% lines})) lines"
[[ $(poll) == 43 ]] || fail "no poll served after the saturation"

step "200 one-poll clients while the writer rewrites the file in place"
inside runuser -u writer -- sh -c 'while [ ! -e /var/lib/qev/stop ]; do
  echo 43 >/var/lib/qev/current; done' &
writer=$!
got=$(for _ in $(seq 200); do poll; done | sort | uniq -c | tr '\n' ' ')
inside touch /var/lib/qev/stop
wait "$writer" || true
inside rm /var/lib/qev/stop
write_value 43
echo "200 one-poll clients, value rewritten in place: $got(count, value)"
[[ $got =~ ^\ *200\ 43\ $ ]] || fail "a one-poll client got a value never written: $got"

step "a file without a number, one-poll clients a second apart"
write_value abc
broke=$(date +%s%N)
lack='^QEV: no number in current: "abc"; still serving 43$'
for _ in $(seq 10); do
  [[ $(poll) == 43 ]] || fail "a one-poll client did not get the last number"
  [[ $(journal_count "$lack") -ge 1 ]] && break
  sleep 1
done
named_ms=$(ms_since "$broke")
[[ $(journal_count "$lack") -eq 1 ]] || fail "the lack is not in the journal once"
write_value 43
echo "the lack named in qev's journal $named_ms ms after the break"

step "2000 connections that bring no request, in a burst, then a client"
starts_before=$(journal_count '^QEV: Waiting for connection')
net perl -MSocket -e 'for (1 .. 2000) {
  socket(my $s, PF_INET, SOCK_STREAM, 0) or die "socket: $!";
  connect($s, pack_sockaddr_in(8792, inet_aton("127.0.0.1"))) or die "connect: $!";
  close($s) }'
burst_end=$(date +%s%N)
[[ $(poll) == 43 ]] || fail "no client served after the burst"
served_ms=$(ms_since "$burst_end")
wait_service inactive
starts=$(($(journal_count '^QEV: Waiting for connection') - starts_before))
closed=$(journal_count '^QEV: Connection closed$')
echo "the client after the burst served $served_ms ms after its end, by $starts qev start(s)"
((starts <= 2)) || fail "the burst started qev $starts times"
((served_ms < 30000)) || fail "the client after the burst waited $served_ms ms"

step "200 connections that send a byte and leave, in a burst, then a client"
starts_before=$(journal_count '^QEV: Waiting for connection')
net perl -MSocket -e 'for (1 .. 200) {
  socket(my $s, PF_INET, SOCK_STREAM, 0) or die "socket: $!";
  connect($s, pack_sockaddr_in(8792, inet_aton("127.0.0.1"))) or die "connect: $!";
  send($s, "x", 0); close($s) }'
burst_end=$(date +%s%N)
[[ $(poll) == 43 ]] || fail "no client served after the burst"
served_ms=$(ms_since "$burst_end")
wait_service inactive
starts=$(($(journal_count '^QEV: Waiting for connection') - starts_before))
echo "the client after the burst served $served_ms ms after its end, by $starts qev start(s)"
((starts <= 2)) || fail "the burst started qev $starts times"
((served_ms < 10000)) || fail "the client after the burst waited $served_ms ms"

step "100 clients one after the other"
starts_before=$(journal_count '^QEV: Waiting for connection')
handover=$(net perl "$source_dir/tests/clients.pl" after 100 43)
starts=$(($(journal_count '^QEV: Waiting for connection') - starts_before))
echo "hand-over: $handover, $starts qev start(s)"
[[ $handover == *" served=100 "*" refused=0 reset=0 wrong=0" ]] || fail "clients were not served"
# One qev takes them all, each from the socket's queue: no start between
# two clients. Only a hand-over that is plainly not prompt fails here.
median=$(sed -n 's/.* median_ms=\([0-9]*\).*/\1/p' <<<"$handover")
((starts <= 2)) || fail "100 clients one after the other started qev $starts times"
[[ -n $median && $median -lt 150 ]] || fail "median hand-over $median ms"

step "one-shot clients (connect, one poll, leave), 50 of each"
# CPU time, in ms, of the container's systemd and what it has reaped (every
# qev that ended, with the set-up of its sandbox), and of its journalds.
container_cpu() {
  local stats=("/proc/$leader/stat") pid
  for pid in $(pgrep -P "$leader" -x systemd-journal); do stats+=("/proc/$pid/stat"); done
  awk '{ t += $14 + $15 + $16 + $17 } END { printf "%d", t * 1000 / '"$(getconf CLK_TCK)"' }' \
    "${stats[@]}"
}
# Prints a line of clients.pl oneshot and the container's CPU per client,
# and checks that every client was served.
oneshot() {
  local line cpu
  cpu=$(container_cpu)
  line=$(net perl "$source_dir/tests/clients.pl" oneshot 50 43)
  [[ $line == *" served=50 "*" refused=0 reset=0 wrong=0" ]] || fail "one-shot clients: $line"
  echo "$line cpu_ms_per_client=$(awk -v a="$cpu" -v b="$(container_cpu)" 'BEGIN { printf "%.1f", (b - a) / 50 }')"
}
figure() { sed -n "s/.* $1=\([0-9.]*\).*/\1/p" <<<"$2"; }
# The same, then without the journal of its own, in this boot.
shipped=$(oneshot)
inside mkdir -p /etc/systemd/system/qev.service.d
printf '%s\n' '[Service]' LogNamespace= |
  inside sh -c 'cat >/etc/systemd/system/qev.service.d/journal.conf'
inside systemctl daemon-reload
system=$(oneshot)
inside rm -r /etc/systemd/system/qev.service.d
inside systemctl daemon-reload
echo "qev.service as shipped: $shipped"
echo "qev.service logging to the system journal: $system"
awk -v a="$(figure median_ms "$shipped")" -v b="$(figure median_ms "$system")" \
  -v c="$(figure cpu_ms_per_client "$shipped")" -v d="$(figure cpu_ms_per_client "$system")" \
  'BEGIN { printf "a journal of its own against the system journal: latency %.2fx, CPU %.2fx\n", a / b, c / d }'

step "a client waiting while another is served"
hold 2
wait_service active
(poll >"$work/waiter.out" && date +%s%N >"$work/waiter.done") &
waiter=$!
sleep 0.3
[[ ! -e $work/waiter.done ]] || fail "the waiting client was served at once"
wait "$holder" || true
left=$(date +%s%N)
wait "$waiter" || fail "the waiting client was not served"
echo "waiting client answered $((($(cat "$work/waiter.done") - left) / 1000000)) ms after the first left"
[[ $(cat "$work/waiter.out") == 43 ]] || fail "the waiting client got $(cat "$work/waiter.out")"

step "a client that resets"
net perl -MSocket -e '
  socket(my $s, PF_INET, SOCK_STREAM, 0) or die "socket: $!";
  connect($s, pack_sockaddr_in(8792, inet_aton("127.0.0.1"))) or die "connect: $!";
  send($s, "x", 0);
  recv($s, my $record, 1024, MSG_WAITALL);
  length($record) == 1024 or die "no record";
  setsockopt($s, SOL_SOCKET, SO_LINGER, pack("ii", 1, 0)) or die "linger: $!";
  close($s);'
# The reset is the client's doing: qev takes the next client, and ends
# as a job done once none comes.
wait_service inactive
status=$(service ExecMainStatus)
failed=$(inside systemctl is-failed qev.service || true)
echo "after a reset: exit status $status, is-failed: $failed," \
  "result: $(service Result)"
[[ $status == 0 && $failed != failed ]] || fail "a client's reset failed the service"
[[ $(journal_count '^QEV: no client for 5 s; ending$') -ge 1 ]] ||
  fail "the idle end is not in the journal"
[[ $(journal_count 'Error: Connection reset by peer') -ge 1 ]] ||
  fail "the reset is not in the journal"
[[ $(poll) == 43 ]] || fail "no client served after the reset"

step "systemctl stop"
hold 30
wait_service active
# Once it has answered the held client and waits for its next poll (in
# recvfrom, 45), its stop closes that connection from the server's side.
for _ in $(seq 250); do
  [[ $(inside cat "/proc/$(service MainPID)/syscall" 2>/dev/null) == "45 "* ]] && break
  sleep 0.02
done
inside systemctl stop qev.service
result=$(service Result)
echo "stopped while serving: Result=$result"
[[ $result == success ]] || fail "systemctl stop: Result=$result"
# The held client has its end closed now, if the service's end did not
# close it already.
kill "$holder" 2>/dev/null || true
wait "$holder" 2>/dev/null || true
[[ $(poll) == 43 ]] || fail "no poll served after the stop"
# That stop closed the connection from the server's side, which leaves it
# in TIME_WAIT on port 8792: the socket unit binds again all the same.
# (Once the held client's own end has gone too: on a loaded machine that
# may take seconds.)
for _ in $(seq 500); do
  net ss -tanH state time-wait | grep -q ':8792 ' && break
  sleep 0.02
done
# The kernel sometimes resets such a connection instead (seen on loaded
# machines): then there is nothing to bind beside, and it is said.
beside="beside a connection in TIME_WAIT on 8792"
net ss -tanH state time-wait | grep -q ':8792 ' ||
  beside="(no TIME_WAIT on 8792 was left this time: $(net ss -tanH | grep -cv TIME-WAIT) other sockets)"
inside systemctl restart qev.socket
[[ $(inside systemctl is-active qev.socket) == active ]] ||
  fail "qev.socket did not listen again $beside"
[[ $(poll) == 43 ]] || fail "no poll served after restarting qev.socket"
echo "qev.socket listens again $beside"

# The README's commands that switch from the socket named to the other.
switch_from() {
  local commands
  commands=$(grep -A1 -x "systemctl disable --now $1" "$source_dir/README.md")
  [[ $(wc -l <<<"$commands") -eq 2 ]] || fail "README.md has no switch from $1"
  while read -r command; do
    # shellcheck disable=SC2086 # the README's words, as typed
    inside $command >/dev/null 2>&1 || fail "$command"
  done <<<"$commands"
}
enabled() {
  for socket in qev.socket qev-concurrent.socket; do
    [[ $(inside systemctl is-enabled "$socket" || true) == enabled ]] && echo "$socket"
  done
}

step "qev-concurrent.socket: 20 clients at once"
switch_from qev.socket
[[ $(enabled) == qev-concurrent.socket ]] || fail "enabled after the switch: $(enabled)"
[[ $(inside systemctl is-active qev.socket || true) == inactive ]] ||
  fail "qev-concurrent.socket did not stop qev.socket"
together=$(net perl "$source_dir/tests/clients.pl" together 20 43 5)
echo "together: $together"
[[ $together == "clients=20 served=20 refused=0 reset=0 wrong=0" ]] ||
  fail "not every client was served"
for _ in $(seq 100); do
  [[ $(journal_count '^QEV: Connection closed$' 'qev-concurrent@*') -ge 20 ]] && break
  sleep 0.05
done
replies=$(journal_count '^Current: 43:1024:0$' 'qev-concurrent@*')
instances=$(inside journalctl --namespace=qev -u 'qev-concurrent@*' -o short --no-pager |
  sed -n 's/.* qev\[\([0-9]*\)\]: QEV: Serving connection :0$/\1/p' | sort -u | wc -l)
echo "journal: $replies Current: lines for 100 replies, from $instances qev processes"
[[ $replies -eq 100 && $instances -eq 20 ]] || fail "the journal lacks replies or instances"
[[ $(inside systemctl list-units --failed --no-legend 'qev-concurrent@*' | wc -l) -eq 0 ]] ||
  fail "an instance failed"
echo "one-shot clients of qev-concurrent@.service: $(oneshot)"

step "one address holds at most 32 of qev-concurrent.socket's connections"
# 33 idle connections from 127.0.0.1: the last is closed at once. Then a
# client from 127.0.0.2 is served all the same.
held=$(net perl -MSocket -e 'my @held; my $closed = 0;
  for (1 .. 33) { socket(my $s, PF_INET, SOCK_STREAM, 0) or die "socket: $!";
    connect($s, pack_sockaddr_in(8792, inet_aton("127.0.0.1"))) or die "connect: $!";
    push @held, $s; select(undef, undef, undef, 0.02) }
  sleep 1;
  for my $s (@held) { vec(my $r = "", fileno($s), 1) = 1;
    $closed++ if select($r, undef, undef, 0) and !sysread($s, my $b, 1) }
  socket(my $c, PF_INET, SOCK_STREAM, 0) or die;
  bind($c, pack_sockaddr_in(0, inet_aton("127.0.0.2"))) or die "bind: $!";
  connect($c, pack_sockaddr_in(8792, inet_aton("127.0.0.1"))) or die "connect: $!";
  send($c, "x", 0); recv($c, my $record, 1024, MSG_WAITALL);
  print "closed=$closed other=", $record eq "43" . ("\0" x 1022) ? "served" : "not served"')
echo "33 idle connections from one address: $held"
[[ $held == "closed=1 other=served" ]] || fail "MaxConnectionsPerSource: $held"

# The log when a drop-in gives qev the client's socket as standard output
# too (to standard error), and as standard error too (to syslog).
for streams in StandardOutput StandardOutput,StandardError; do
  inside mkdir -p /etc/systemd/system/qev-concurrent@.service.d
  printf '[Service]\n%s=socket\n' ${streams//,/ } |
    inside sh -c 'cat >/etc/systemd/system/qev-concurrent@.service.d/socket.conf'
  inside systemctl daemon-reload
  before=$(journal_count '^Current: 43:1024:0$' 'qev-concurrent@*')
  [[ $(poll -n 3 -i 0 | tr '\n' ' ') == "43 43 43 " ]] || fail "$streams=socket: not served"
  for _ in $(seq 100); do
    (($(journal_count '^Current: 43:1024:0$' 'qev-concurrent@*') - before == 3)) && break
    sleep 0.05
  done
  lines=$(($(journal_count '^Current: 43:1024:0$' 'qev-concurrent@*') - before))
  transport=$(inside journalctl --namespace=qev -u 'qev-concurrent@*' -o verbose -n 1 |
    sed -n 's/^ *_TRANSPORT=//p')
  echo "$streams=socket: 3 exact records, $lines lines in qev's journal, by $transport"
  ((lines == 3)) || fail "$streams=socket: $lines journal lines for 3 replies"
done
inside rm -r /etc/systemd/system/qev-concurrent@.service.d
inside systemctl daemon-reload
switch_from qev-concurrent.socket
[[ $(enabled) == qev.socket ]] || fail "enabled after the switch back: $(enabled)"
[[ $(inside systemctl is-active qev-concurrent.socket || true) == inactive ]] ||
  fail "qev.socket did not stop qev-concurrent.socket"
[[ $(poll) == 43 ]] || fail "no poll served by qev.socket after qev-concurrent.socket"
step "a reboot after switching there and back"
shut_down
boot
listening=$(inside systemctl is-active qev.socket qev-concurrent.socket | tr '\n' ' ')
echo "after the reboot: enabled $(enabled), active: $listening"
[[ $(enabled) == qev.socket && $listening == "active inactive " ]] ||
  fail "after the reboot: enabled $(enabled), active $listening"
[[ $(poll) == 43 ]] || fail "no poll served after the reboot"

step "a drop-in that makes qev.socket listen on a UNIX socket"
inside mkdir -p /etc/systemd/system/qev.socket.d
inside sh -c 'printf "[Socket]\nListenStream=\nListenStream=/run/qev.sock\n" \
  >/etc/systemd/system/qev.socket.d/unix.conf'
inside systemctl daemon-reload
inside systemctl restart qev.socket
# A client connects there and stays: the socket stays readable, and systemd
# starts the service again each time it fails.
named='QEV: standard input is a socket but not a listening or connected TCP socket'
# It leaves when the socket is closed under it (or after 30 s at most), and
# holds none of this script's output open.
inside perl -MSocket -e 'alarm 30; socket(my $s, PF_UNIX, SOCK_STREAM, 0) or die "socket: $!";
  connect($s, pack_sockaddr_un("/run/qev.sock")) or die "connect: $!";
  sysread($s, my $byte, 1)' </dev/null >/dev/null 2>&1 &
unix_client=$!
sleep 1
before=$(journal_count "^$named\$")
sleep 10
failed_starts=$(($(journal_count "^$named\$") - before))
echo "failed starts under the UNIX-socket drop-in: $failed_starts in 10 s"
[[ $failed_starts -ge 1 && $failed_starts -le 12 ]] ||
  fail "$failed_starts failed starts in 10 s"
inside rm -r /etc/systemd/system/qev.socket.d
inside systemctl daemon-reload
inside systemctl restart qev.socket
wait "$unix_client" || true
inside systemctl reset-failed qev.service
[[ $(poll) == 43 ]] || fail "no poll served once the drop-in was gone"

step "the README's address filter, with loopback not allowed"
filter=$(grep '^IPAddress' "$source_dir/README.md" | sed 's/ 127\.0\.0\.1//')
[[ $(wc -l <<<"$filter") -eq 2 ]] || fail "README.md has no address filter"
inside mkdir -p /etc/systemd/system/qev.socket.d
printf '[Socket]\n%s\n' "$filter" |
  inside sh -c 'cat >/etc/systemd/system/qev.socket.d/override.conf'
inside systemctl daemon-reload
inside systemctl restart qev.socket
if poll -t 2000 >/dev/null 2>&1; then
  echo "address filter: NOT in force here, a client from 127.0.0.1 was served" \
    "(systemd could not attach its BPF program in this container);" \
    "journal: $(inside journalctl -b -o cat --no-pager | grep -i -m1 'bpf' || echo 'no word of it')"
else
  echo "address filter: in force, a client from 127.0.0.1 got nothing"
fi
inside rm -r /etc/systemd/system/qev.socket.d
inside systemctl daemon-reload
inside systemctl restart qev.socket
[[ $(poll) == 43 ]] || fail "no poll served once the filter was gone"

step "exposure"
for unit in qev.service qev-concurrent@0.service; do
  exposure=$(inside systemd-analyze security --no-pager "$unit" |
    sed -n "s/.*Overall exposure level for $unit: \([0-9.]*\).*/\1/p")
  echo "systemd-analyze security $unit: $exposure"
  awk -v s="$exposure" 'BEGIN { exit !(s != "" && s <= 0.3) }' ||
    fail "exposure of $unit: $exposure"
done

step "the README's drop-in for another port, IPv6 as well"
dropin=$(awk '/^```ini$/ { block = ""; on = 1; next }
  /^```$/ { if (on && block ~ /BindIPv6Only/) printf "%s", block; on = 0; next }
  on { block = block $0 "\n" }' "$source_dir/README.md")
port=$(sed -n 's/^ListenStream=.*:\([0-9]*\)$/\1/p' <<<"$dropin")
[[ -n $port ]] || fail "README.md has no drop-in for another port"
inside mkdir -p /etc/systemd/system/qev.socket.d
printf '%s' "$dropin" | inside sh -c 'cat >/etc/systemd/system/qev.socket.d/port.conf'
inside systemctl daemon-reload
inside systemctl restart qev.socket
for host in ::1 127.0.0.1; do
  got=$(net "$client_bin" -t 5000 -H "$host" -p "$port" 2>&1) || true
  [[ $got == 43 ]] || fail "the README's port drop-in, from $host: $got"
done
inside rm -r /etc/systemd/system/qev.socket.d
inside systemctl daemon-reload
inside systemctl restart qev.socket
[[ $(poll) == 43 ]] || fail "no poll served once the port drop-in was gone"
echo "the README's drop-in: port $port served on ::1 and 127.0.0.1"

step "the README's checks and qev-metrics beside a long-lived client on qev.socket"
inside sh -c 'apt-get install -y --no-install-recommends /opt/debs/*.deb' \
  >"$work/apt.log" 2>&1 ||
  fail "installing prometheus-node-exporter: $(cat "$work/apt.log")"
inside useradd --system nagios
# The README's lines, as written.
while read -r command; do
  # shellcheck disable=SC2086 # the README's words, as typed
  inside $command >/dev/null 2>&1 || fail "$command"
done < <(grep -x -e 'systemctl enable --now qev-check.socket' \
  -e 'usermod -aG qev nagios .*' "$source_dir/README.md" | sed 's/ *#.*//')
plugin_line=$(grep -o '/usr/bin/qev-client -p 8793 [^`]*' "$source_dir/README.md")
[[ -n $plugin_line ]] || fail "README.md has no plugin line"
check() { # the README's plugin line, as nagios: its line and status
  local status=0 line
  # shellcheck disable=SC2086 # the README's words, as typed
  line=$(inside runuser -u nagios -- $plugin_line) || status=$?
  echo "$status $line"
}
inside systemctl enable --now qev-metrics.timer >/dev/null 2>&1
scrape() { # the qev lines node_exporter shows
  printf 'GET /metrics HTTP/1.0\r\n\r\n' | net nc -q1 127.0.0.1 9100 2>/dev/null |
    grep '^qev_' || true
}
metrics_show() { # PATTERN: waits until the scrape shows it
  for _ in $(seq 150); do
    [[ $(scrape) =~ $1 ]] && return 0
    sleep 0.2
  done
  fail "node_exporter never showed $1: $(scrape)"
}
hold 60
for _ in $(seq 3); do
  checked=$(check)
  [[ $checked == "0 QEV OK - 43 |"* ]] || fail "with a long-lived client: $checked"
  inside systemctl start qev-metrics.service
  metrics_show 'qev_up 1'
done
echo "with a long-lived client on qev.socket: $checked; node_exporter: $(scrape | tr '\n' ' ')"
write_value abc
checked=$(check)
inside systemctl start qev-metrics.service
metrics_show 'qev_file_number 0'
echo "current holding abc: $checked; node_exporter: $(scrape | grep file_number)"
# The check's own qev never read a number: it serves 0 once the lack has
# lasted; the file's lack is what makes the check CRITICAL.
[[ $checked == "2 QEV CRITICAL - "*", /var/lib/qev/current holds no number: \"abc\" |"* ]] ||
  fail "current holding abc: $checked"
write_value 43
kill "$holder"
# Masked: the metrics unit wants the socket, and would start it again.
inside systemctl mask --runtime --now qev-check.socket >/dev/null 2>&1
inside systemctl start qev-metrics.service
metrics_show 'qev_up 0'
checked=$(check)
echo "qev-check.socket gone: $checked; node_exporter: $(scrape | grep qev_up)"
[[ $checked == "2 QEV CRITICAL - cannot connect to 127.0.0.1:8793"* ]] ||
  fail "with qev-check.socket gone: $checked"
inside systemctl disable --now qev-metrics.timer >/dev/null 2>&1
inside systemctl unmask --runtime qev-check.socket >/dev/null 2>&1
inside systemctl start qev-check.socket
[[ $(poll) == 43 ]] || fail "no poll served after the metrics"

serving() { # the version of the qev running in the container, if one is
  local pid
  # From this machine's side, whose root may run what a process runs.
  for pid in $(pgrep -x qev || true); do
    if [[ $(readlink "/proc/$pid/ns/pid") == "$(readlink "/proc/$leader/ns/pid")" ]]; then
      "/proc/$pid/exe" --version 2>/dev/null && return
    fi
  done
  return 0
}
step "an upgrade from 1.1.0, a client reconnecting every second"
wait_service inactive
inside apt-get install -y --allow-downgrades /root/old/qev_1.1.0_amd64.deb \
  >"$work/apt.log" 2>&1 || fail "installing 1.1.0: $(cat "$work/apt.log")"
net sh -c 'until [ -e "$1" ]; do "$0" -t 3000 >/dev/null 2>&1 || echo failed; sleep 1; done' \
  "$client_bin" "$work/stop" >"$work/polls" &
poller=$!
for _ in $(seq 100); do [[ $(serving) == "qev 1.1.0" ]] && break; sleep 0.05; done
[[ $(serving) == "qev 1.1.0" ]] ||
  fail "1.1.0 does not serve: $(serving); $(inside systemctl status qev.service qev.socket 2>&1 | head -20)"
inside sh -c "cd /root && $install_line -y" >"$work/apt.log" 2>&1 ||
  fail "the upgrade: $(cat "$work/apt.log")"
installed=$(date +%s%N)
until [[ $(serving) == "qev 1.2.0" ]]; do
  (($(ms_since "$installed") < 10000)) || fail "1.2.0 not serving 10 s after the upgrade: $(serving)"
  sleep 0.05
done
took=$(ms_since "$installed")
sleep 3
touch "$work/stop"
wait "$poller" || true
echo "1.2.0 served $took ms after the upgrade from 1.1.0; polls failed: $(grep -c failed "$work/polls" || true)"
[[ ! -s $work/polls ]] || fail "polls failed across the upgrade"

step "a reinstall, then systemctl reload, with a long-lived client"
wait_service inactive
hold 60
pid=$(service MainPID)
inside sh -c "cd /root && $install_line -y --reinstall" >"$work/apt.log" 2>&1 ||
  fail "the reinstall: $(cat "$work/apt.log")"
inside systemctl reload qev.service
sleep 1
kill -0 "$holder" 2>/dev/null || fail "the long-lived client was cut"
[[ $(service MainPID) == "$pid" ]] || fail "the long-lived client's qev was replaced"
kill "$holder"
[[ $(poll) == 43 ]] || fail "no poll served after the reload"
[[ $(journal_count '^QEV: asked to end once idle; ending$') -ge 1 ]] ||
  fail "the reloaded qev did not end as its client left"
echo "a long-lived client kept its qev (pid $pid) through a reinstall and a reload;" \
  "once it left, that qev ended and the next client got a new one"

step "apt-get remove, install again, then purge"
inside apt-get remove -y qev >"$work/apt.log" 2>&1 || fail "remove: $(cat "$work/apt.log")"
[[ $(inside cat /var/lib/qev/current) == 43 ]] || fail "remove lost /var/lib/qev/current"
qev_journal() { inside sh -c 'ls -d /var/log/journal/*.qev /run/log/journal/*.qev 2>/dev/null'; }
[[ -n $(qev_journal) ]] || fail "remove lost qev's journal"
! net ss -ltnH | grep -q ':8792 ' || fail "port 8792 still held after remove"
# Still enabled: installed again, it listens again.
inside apt-get install -y /root/build/pkg/"$(basename "$deb")" >"$work/apt.log" 2>&1 ||
  fail "install again: $(cat "$work/apt.log")"
[[ $(inside systemctl is-active qev.socket) == active ]] ||
  fail "qev.socket enabled but not listening after the install"
[[ $(poll) == 43 ]] || fail "no poll served after the install"
inside apt-get purge -y qev >"$work/apt.log" 2>&1 || fail "purge: $(cat "$work/apt.log")"
! grep -q 'not empty so not removed' "$work/apt.log" || fail "purge: $(cat "$work/apt.log")"
! inside test -e /usr/lib/qev || fail "purge left $(inside find /usr/lib/qev | head -5)"
! inside test -e /var/lib/qev || fail "purge left /var/lib/qev"
[[ -z $(qev_journal) ]] || fail "purge left $(qev_journal)"
inside getent passwd qev >/dev/null || fail "purge removed the user qev"
inside getent group qev >/dev/null || fail "purge removed the group qev"
echo "remove kept /var/lib/qev/current; installed again, the enabled qev.socket listened;" \
  "purge removed /usr/lib/qev and /var/lib/qev, kept the user and group"

shut_down
echo "live test: boot $boot_ms ms, checks $(ms_since "$checks") ms, all passed"
