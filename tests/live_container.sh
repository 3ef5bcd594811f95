#!/usr/bin/env bash
# The container image as it ships, under podman with runc. Builds the image
# twice (the digests must match), loads it into a private podman store and
# runs it in network, mount and PID namespaces of this test's own (nothing
# listens on a real interface), drives it with qev-client as an operator
# would, and plays dist/qev-pod.yaml with a stand-in for its writer's image
# made from Debian's busybox-static.
# Usage: live_container.sh SOURCE_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
# shellcheck source=tests/live_lib.sh
source "$source_dir/tests/live_lib.sh"
[[ $(id -u) -eq 0 ]] || skip "running containers needs root"
for tool in podman runc unshare python3 busybox; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/test installs it)"
done
# Can this machine make the namespaces a container needs?
probe=$(unshare -n -m -p -f --mount-proc true 2>&1) ||
  skip "this machine cannot make the namespaces of a container: $probe"
if [[ ${QEV_LIVE_INSIDE:-} != 1 ]]; then
  # Built out here, where Debian's packages can be fetched. Reproducible: a
  # second build from scratch gives the same digests.
  cd "$source_dir"
  step "the image, built twice"
  first=$(scripts/image | sed -n 's/^image //p')
  rm -rf build/image/amd64 build/image/arm64
  second=$(scripts/image | sed -n 's/^image //p')
  [[ -n $first && $first == "$second" ]] || fail "two builds gave '$first' and '$second'"
  echo "digests, the same twice: $first" | tr '\n' ' '
  echo "archive $(stat -c %s build/image/qev-oci.tar) bytes"
  # The arm64 image runs at the end, where the emulator can run it.
  emulator=$(scripts/emulator build/image/arm64/qev --version) && emulator=
  exec env QEV_LIVE_INSIDE=1 QEV_EMULATOR_LACKS="$emulator" unshare -n -m -p -f \
    --mount-proc --propagation private "$0" "$@"
fi
ip link set lo up
begun=$(date +%s%N)
work=$(mktemp -d)
# A private store; the machine's cgroup layout wants runc and cgroupfs.
podman=(podman --root "$work/store" --runroot "$work/run" --runtime runc
  --cgroup-manager cgroupfs --events-backend file)
cleanup() {
  jobs -p | xargs -r kill 2>/dev/null || true
  "${podman[@]}" rm -af -t 0 >/dev/null 2>&1 || true
  # The store's mounts go with this mount namespace, but not before rm.
  awk -v w="$work" 'index($2, w) == 1 {print $2}' /proc/self/mounts |
    sort -r | xargs -r umount -l
  rm -rf "$work"
}
trap cleanup EXIT
live_log=$work/podman.err
ms_since() { echo $((($(date +%s%N) - $1) / 1000000)); }
cd "$source_dir"
client=$source_dir/build/image/$(dpkg --print-architecture)/qev-client
# The image is tagged with the release; the README's lines and the pod name
# it, and run as written.
version=$(sed -n 's/^project(qev VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)


# The machine's limits are below podman's default ulimits.
run=(run -d --network host --ulimit nofile=1024:1024 --ulimit nproc=1024:1024
  --read-only --cap-drop=all)
"${podman[@]}" load -i build/image/qev-oci.tar >/dev/null 2>>"$live_log"
value_volume
put 42
# The README's podman line, as written but for the value's directory and
# this machine's limits: published through podman's bridge, inside this
# test's network namespace.
recipe=$(run_line podman) || exit 1
recipe=${recipe/podman run/run --ulimit nofile=1024:1024 --ulimit nproc=1024:1024}
# Periodic health checks need a systemd: podman complains, and goes on.
eval "\"\${podman[@]}\" $recipe" >/dev/null 2>"$work/podman.err"
for _ in $(seq 100); do "$client" -t 100 >/dev/null 2>&1 && break; sleep 0.05; done
polls=1

pid=$("${podman[@]}" inspect -f '{{.State.Pid}}' qev)
uid=$(awk '/^Uid:/ {print $2}' "/proc/$pid/status")
[[ $uid == 8792 ]] || fail "tcpserver runs as uid $uid"

for i in $(seq 20); do
  [[ $("$client") == 42 ]] || fail "client $i of 20 in turn"
done
polls=$((polls + 20))
amd64_rate=$("$client" --bench -n 2000)
polls=$((polls + 2000))
pids=()
for i in $(seq 20); do
  "$client" -n 5 -i 50 >"$work/client.$i" &
  pids+=($!)
done
for i in $(seq 20); do
  wait "${pids[$((i - 1))]}" || fail "client $i of 20 at once"
  [[ $(sort -u "$work/client.$i") == 42 ]] || fail "client $i of 20 at once read $(cat "$work/client.$i")"
done
polls=$((polls + 100))
put 43
[[ $("$client") == 43 ]] || fail "the value renamed into the volume is not served"
polls=$((polls + 1))
"${podman[@]}" healthcheck run qev >/dev/null || fail "the health check fails"
polls=$((polls + 1))
lines=0
for _ in $(seq 50); do
  lines=$("${podman[@]}" logs qev 2>&1 | grep -c '^Current: 4[23]:1024:0$' || true)
  [[ $lines -ge $polls ]] && break
  sleep 0.1
done
[[ $lines -eq $polls ]] || fail "$lines reply lines in the container's log for $polls replies"
echo "served: 20 in turn, 20 at once (100 polls), a renamed value; $lines log lines for $polls replies"

# The image's own qev-client, as its health check runs it, against a reply
# that comes after 1.5 s: the value file away meanwhile.
mv "$value/current" "$value/kept"
"${podman[@]}" exec qev /usr/bin/qev-client -t 5000 >"$work/late" 2>&1 &
late=$!
sleep 1.5
mv "$value/kept" "$value/current"
wait "$late" || fail "the image's qev-client, a reply after 1.5 s: $(cat "$work/late")"
[[ $(cat "$work/late") == 43 ]] || fail "the image's qev-client read $(cat "$work/late")"
echo "the image's qev-client: 43 after 1.5 s"

# A stop with a client connected.
"$client" -n 0 -i 200 >/dev/null 2>&1 &
sleep 0.5
started=$(date +%s%N)
"${podman[@]}" stop qev >/dev/null 2>>"$work/podman.err"
took=$(ms_since "$started")
status=$("${podman[@]}" inspect -f '{{.State.ExitCode}}' qev)
echo "podman stop with a client connected: $took ms, status $status"
((took < 3000)) && [[ $status == 0 ]] || fail "stop took $took ms, status $status"

# qev itself as the container's first process stops on SIGTERM too (a
# client would end it: it serves one).
"${podman[@]}" "${run[@]}" --name pid1 -v "$value:/var/lib/qev" \
  --entrypoint /usr/bin/qev "qev:$version" >/dev/null
for _ in $(seq 100); do
  "${podman[@]}" logs pid1 2>&1 | grep -q '^QEV: Waiting for connection' && break
  sleep 0.05
done
started=$(date +%s%N)
"${podman[@]}" stop pid1 >/dev/null
took=$(ms_since "$started")
status=$("${podman[@]}" inspect -f '{{.State.ExitCode}}' pid1)
echo "qev as PID 1, podman stop: $took ms, status $status"
((took < 3000)) && [[ $status == 143 ]] || fail "qev as PID 1 stopped in $took ms, status $status"

# The pod: its writer (a stand-in image from Debian's busybox-static) counts
# up once a second; qev, read-only beside it, serves the count.
cat >"$work/busybox.json" <<EOF
{"name": "docker.io/library/busybox:1.36", "config": {"Env": ["PATH=/bin"]},
 "images": [{"architecture": "$(dpkg --print-architecture)",
   "files": [["/bin", "dir", 493, 0, 0, ""],
             ["/bin/busybox", "file", 493, 0, 0, "$(command -v busybox)"],
             ["/bin/mv", "link", 511, 0, 0, "busybox"],
             ["/bin/sh", "link", 511, 0, 0, "busybox"],
             ["/bin/sleep", "link", 511, 0, 0, "busybox"]]}]}
EOF
python3 scripts/oci-archive "$work/busybox.json" "$work/busybox.tar" >/dev/null
"${podman[@]}" load -i "$work/busybox.tar" >/dev/null 2>&1
"${podman[@]}" rm qev pid1 >/dev/null
"${podman[@]}" kube play --network host dist/qev-pod.yaml >/dev/null \
  2>>"$work/podman.err"
count=
for _ in $(seq 100); do count=$("$client" -t 100 2>/dev/null) && break; sleep 0.05; done
sleep 1.5
later=$("$client") || fail "the pod does not answer"
((later > count)) || fail "the pod served $count, then $later"
pid=$("${podman[@]}" inspect -f '{{.State.Pid}}' qev-qev)
settings="uid $(awk '/^Uid:/ {print $2}' "/proc/$pid/status")"
settings+=" capabilities $(awk '/^CapEff:/ {print $2}' "/proc/$pid/status")"
settings+=" read-only $("${podman[@]}" inspect -f '{{.HostConfig.ReadonlyRootfs}}' qev-qev)"
echo "pod: served $count, then $later; qev container: $settings"
[[ $settings == "uid 8792 capabilities 0000000000000000 read-only true" ]] ||
  fail "the pod's qev runs with $settings"
"${podman[@]}" kube down dist/qev-pod.yaml >/dev/null 2>&1

step "the arm64 image, through the emulator"
[[ -z $QEV_EMULATOR_LACKS ]] ||
  skip "the amd64 image passed; the arm64 one cannot run here: $QEV_EMULATOR_LACKS"
# Taken from the same archive by its architecture: it takes the tag.
"${podman[@]}" pull --arch arm64 oci-archive:build/image/qev-oci.tar >/dev/null 2>>"$live_log"
arch=$("${podman[@]}" image inspect -f '{{.Architecture}}' "qev:$version")
[[ $arch == arm64 ]] || fail "podman pull --arch arm64 gave qev:$version for $arch"
eval "\"\${podman[@]}\" $recipe" >/dev/null 2>"$work/podman.err"
for _ in $(seq 200); do "$client" -t 100 >/dev/null 2>&1 && break; sleep 0.05; done
for i in $(seq 20); do
  [[ $("$client") == 43 ]] || fail "the arm64 image: client $i of 20"
done
"${podman[@]}" healthcheck run qev >/dev/null || fail "the arm64 image's health check fails"
echo "the arm64 image: 20 clients served, health check passing"
echo "back-to-back polls, amd64: $amd64_rate"
echo "back-to-back polls, arm64 emulated: $("$client" --bench -n 2000)"
"${podman[@]}" stop qev >/dev/null 2>>"$work/podman.err"
echo "PASS in $(ms_since "$begun") ms"
