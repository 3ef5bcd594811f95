#!/usr/bin/env bash
# The container image under Docker Engine, from Debian's docker.io: dockerd
# started here in network, mount and PID namespaces of this test's own, with
# no bridge and no iptables, its state in a scratch directory. Runs the
# README's docker commands as written, but for the value's directory and
# the host's network in place of the port published through a bridge:
# load, run, polls, a value renamed in, a log line for every reply, the
# health check, and a stop with a client connected.
# Usage: live_docker.sh SOURCE_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
# shellcheck source=tests/live_lib.sh
source "$source_dir/tests/live_lib.sh"
[[ $(id -u) -eq 0 ]] || skip "running Docker Engine needs root"
for tool in dockerd containerd /usr/bin/docker unshare; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/test installs docker.io)"
done
if [[ ${QEV_LIVE_INSIDE:-} != 1 ]]; then
  probe=$(unshare -n -m -p -f --mount-proc true 2>&1) ||
    skip "this machine cannot make the namespaces of a container: $probe"
  # Built out here, where Debian's packages can be fetched.
  (cd "$source_dir" && scripts/image >/dev/null)
  exec env QEV_LIVE_INSIDE=1 unshare -n -m -p -f --mount-proc \
    --propagation private "$0" "$@"
fi
ip link set lo up
work=$(mktemp -d)
live_log=$work/dockerd.log
cleanup() {
  [[ -S $work/docker.sock ]] && docker rm -f qev >/dev/null 2>&1
  [[ -f $work/docker.pid ]] && kill "$(cat "$work/docker.pid")" 2>/dev/null
  for _ in $(seq 50); do [[ -e $work/docker.pid ]] || break; sleep 0.1; done
  awk -v w="$work" 'index($2, w) == 1 {print $2}' /proc/self/mounts |
    sort -r | xargs -r umount -l
  rm -rf "$work"
}
trap cleanup EXIT
ms_since() { echo $((($(date +%s%N) - $1) / 1000000)); }
client=$source_dir/build/image/$(dpkg --print-architecture)/qev-client
dockerd --data-root "$work/data" --exec-root "$work/exec" \
  -H "unix://$work/docker.sock" --pidfile "$work/docker.pid" \
  --bridge=none --iptables=false --ip6tables=false --ip-masq=false \
  --userland-proxy=false --exec-opt native.cgroupdriver=cgroupfs \
  >"$live_log" 2>&1 &
# Debian's client, whatever else the PATH holds, talking to this dockerd.
docker() { /usr/bin/docker -H "unix://$work/docker.sock" "$@"; }
for _ in $(seq 200); do docker version >/dev/null 2>&1 && break; sleep 0.1; done
docker version >/dev/null 2>&1 || fail "dockerd did not start"
echo "Docker Engine $(docker version -f '{{.Server.Version}}')"

cd "$source_dir"
load=$(grep -o 'docker load -i [^ ]*' README.md | head -1)
[[ -n $load ]] || fail "no docker load line in README.md"
load=${load/.../build/image/qev-oci.tar}
$load >/dev/null 2>>"$live_log" || fail "$load"
value_volume
put 42
# The README's docker run line, with the value's directory here, the host's
# network for the bridge this dockerd has not, and health checks a second
# apart rather than thirty.
recipe=$(run_line docker) || exit 1
recipe=${recipe/-p 8792:8792/--network host --health-interval 1s}
started=$(date +%s%N)
eval "$recipe" >/dev/null 2>>"$live_log" || fail "$recipe"
for _ in $(seq 200); do "$client" -t 100 >/dev/null 2>&1 && break; sleep 0.02; done
first_ms=$(ms_since "$started")
polls=1
for i in $(seq 10); do
  [[ $("$client") == 42 ]] || fail "poll $i of 10"
done
put 43
[[ $("$client") == 43 ]] || fail "the value renamed into the volume is not served"
polls=$((polls + 11))
health=
for _ in $(seq 100); do
  health=$(docker inspect -f '{{.State.Health.Status}}' qev)
  [[ $health == healthy ]] && break
  sleep 0.1
done
[[ $health == healthy ]] || fail "health: $health"
sleep 0.5  # the health check's own poll is a client too, with its line
lines=$(docker logs qev 2>&1 | grep -c '^Current: 4[23]:1024:0$' || true)
checks=$(docker inspect -f '{{len .State.Health.Log}}' qev)
((lines >= polls && lines <= polls + checks + 1)) ||
  fail "$lines reply lines in docker logs for $polls polls and $checks health checks"

# A stop with a client connected.
"$client" -n 0 -i 200 >/dev/null 2>&1 &
sleep 0.5
stopping=$(date +%s%N)
docker stop qev >/dev/null 2>>"$live_log"
stop_ms=$(ms_since "$stopping")
status=$(docker inspect -f '{{.State.ExitCode}}' qev)
echo "docker run to the first record: $first_ms ms; $polls polls, $lines reply lines" \
  "in docker logs ($checks health checks), health $health; docker stop with a" \
  "client connected: $stop_ms ms, status $status"
((stop_ms < 3000)) && [[ $status == 0 ]] || fail "stop took $stop_ms ms, status $status"
echo "PASS"
