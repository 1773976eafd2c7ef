#!/usr/bin/env bash
# yuv2h264-batch --slurm against a cluster of this test's own: a
# controller and two nodes, each in network, UTS, PID and mount namespaces of its own, joined by a
# bridge in the controller's, on 127.1.0.0/16 there only. Slurm and munge are Debian's packages
# unpacked into a temporary directory: no service is installed; all stops with the namespaces.
# Usage: tests/slurm_batch_test.sh STAGED_ROOT (as for remote_batch_test.sh). Needs root.
# shellcheck disable=SC2015 # A && B || fail: fails when either fails
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
ensure_packages ffmpeg iproute2 procps

root=$(realpath "$1")
tmp=$(mktemp -d)
chmod 755 "$tmp" # munged serves only through a socket whose directories all may search
holders=()
stop_cluster() {
    # A namespace's first process takes every other in it along when it dies.
    if ((${#holders[@]} > 0)); then kill -KILL "${holders[@]}" 2>/dev/null || true; fi
    wait 2>/dev/null # without a line for each process killed
}
trap 'stop_cluster; if mountpoint -q "$TMPDIR"; then umount "$TMPDIR"; fi; rm -rf "$tmp"' EXIT
TMPDIR=$tmp/node-tmp
source tests/batch_support.sh

# Slurm and munge, and the libraries they link, which are not services.
slurm=$tmp/slurm
mkdir -p "$tmp/debs" "$slurm"
(cd "$tmp/debs" && apt-get download -qq -o APT::Sandbox::User=root \
    slurmctld slurmd slurm-client slurm-wlm-basic-plugins munge)
for deb in "$tmp"/debs/*.deb; do dpkg -x "$deb" "$slurm"; done
mapfile -t libraries < <(for deb in "$tmp"/debs/*.deb; do dpkg-deb -f "$deb" Depends; done |
    tr ',|' '\n\n' | sed -n 's/^ *\(lib[^ ]*\).*/\1/p' | sort -u)
ensure_packages "${libraries[@]}"
ln -s slurmstepd-wlm "$slurm/usr/sbin/slurmstepd" # where slurmd looks for it, in /usr/sbin
export PATH=$slurm/usr/bin:$root/usr/bin:$PATH SLURM_CONF=$tmp/slurm.conf \
    LD_LIBRARY_PATH=$slurm/usr/lib/x86_64-linux-gnu/slurm-wlm
mkdir -p "$TMPDIR" "$tmp"/{state,node1,node2,movies,reference}
# The nodes' TMPDIR, less than one movie's raw frames (5.8 MB); each namespace gets a copy of it.
mount -t tmpfs -o size=1m tmpfs "$TMPDIR"
export TMPDIR

# Quick to react: a silent node is down after 5 s, its tasks may start again 10 s later
# (cred_expire), the backfill scheduler looks every second. Arrays of at most 4 tasks: a batch of
# 9 movies goes in 3.
cat >"$SLURM_CONF" <<EOF
ClusterName=test
SlurmctldHost=controller(127.1.0.1)
AuthInfo=socket=$tmp/munge.socket,cred_expire=10
PluginDir=$LD_LIBRARY_PATH
StateSaveLocation=$tmp/state
SlurmctldPidFile=$tmp/slurmctld.pid
SlurmctldLogFile=$tmp/slurmctld.log
SlurmdSpoolDir=$tmp/%n
SlurmdPidFile=$tmp/%n/slurmd.pid
SlurmdLogFile=$tmp/%n/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
JobCompType=jobcomp/filetxt
JobCompLoc=$tmp/jobcomp.log
SlurmdTimeout=5
MinJobAge=10
SchedulerParameters=bf_interval=1
MaxArraySize=4
NodeName=node1 NodeAddr=127.1.0.2 CPUs=1
NodeName=node2 NodeAddr=127.1.0.3 CPUs=1
PartitionName=batch Nodes=ALL Default=YES MaxTime=INFINITE State=UP
EOF

# hold NAME: new namespaces, held by a process whose pid goes in $tmp/NAME.pid. Their loopback
# interface keeps 127.0.0.1 alone, so that 127.1.0.0/16 can be routed between them.
hold() {
    unshare --net --uts --pid --mount --fork --kill-child --mount-proc sleep infinity 2>/dev/null &
    holders+=("$!")
    local pid=""
    until pid=$(pgrep -P "$!"); do
        kill -0 "$!" 2>/dev/null || fail "unshare cannot make namespaces for $1"
        sleep 0.01
    done
    echo "$pid" >"$tmp/$1.pid"
    on "$1" sh -c "hostname $1 && ip link set lo up && ip addr change 127.0.0.1/32 dev lo &&
        ip addr del 127.0.0.1/8 dev lo && sysctl -qw net.ipv4.conf.all.route_localnet=1"
}
# on NAME COMMAND...: runs COMMAND as if on that machine, in the movies' directory.
on() { nsenter -t "$(cat "$tmp/$1.pid")" -a --wd="$tmp/movies" "${@:2}"; }

start_cluster() {
    local name address=1
    for name in controller node1 node2; do hold "$name"; done
    on controller sh -c 'ip link add bridge type bridge && ip link set bridge up &&
        ip addr add 127.1.0.1/16 dev bridge'
    for name in node1 node2; do
        address=$((address + 1))
        # The node's end is named by the controller's network namespace: its /proc has no node.
        nsenter -t "$(cat "$tmp/controller.pid")" -n ip link add "$name" master bridge up \
            type veth peer name eth0 netns "$(cat "$tmp/$name.pid")"
        on "$name" sh -c "ip link set eth0 up && ip addr add 127.1.0.$address/16 dev eth0"
    done
    "$slurm/usr/sbin/mungekey" -c -k "$tmp/munge.key"
    on controller "$slurm/usr/sbin/munged" --socket="$tmp/munge.socket" --origin=127.1.0.1 \
        --key-file="$tmp/munge.key" --pid-file="$tmp/munged.pid" --log-file="$tmp/munged.log" \
        --seed-file="$tmp/munged.seed"
    on controller "$slurm/usr/sbin/slurmctld-wlm" -f "$SLURM_CONF"
    for name in node1 node2; do
        on "$name" mount --bind "$slurm/usr/sbin" /usr/sbin
        on "$name" "$slurm/usr/sbin/slurmd-wlm" -f "$SLURM_CONF"
    done
    for _ in {1..100}; do
        [ "$(on controller timeout 1 sinfo -h -o '%T %D' 2>/dev/null)" = "idle 2" ] && return
        sleep 0.1
    done
    fail "the cluster did not come up: $(on controller sinfo 2>&1)"
}
batch() {
    status=0
    on controller "$root/usr/bin/yuv2h264-batch" --slurm "$@" >"$tmp/out" 2>&1 || status=$?
}
seconds() { date +%s.%N | cut -c 1-14; }
since() { echo "$1 $(seconds)" | awk '{ printf "%.1f s", $2 - $1 }'; }
# arrays: how many arrays the cluster has been given so far.
arrays() { grep -o 'ArrayJobId=[0-9]*' "$tmp/jobcomp.log" | sort -u | wc -l; }

engine=slurm
make_movies
started=$(seconds)
start_cluster
echo "$engine: cluster up in $(since "$started")"
started=$(seconds)
rows_of_names
[ "$(arrays)" -eq 4 ] || fail "not 3 arrays of at most 4 tasks, then 1: $(arrays) arrays"
grep -q 'NodeList=node1 ' "$tmp/jobcomp.log" && grep -q 'NodeList=node2 ' "$tmp/jobcomp.log" &&
    grep -q 'State=FAILED ' "$tmp/jobcomp.log" || fail "no tasks on both nodes, or no FAILED task"
echo "$engine: both rows in $(since "$started"), the first in 3 arrays (MaxArraySize=4)"

interrupt_when_partial "$tmp/movies"
[ -z "$(on controller squeue -h)" ] && [ -z "$(running_in "$tmp/movies")" ] ||
    fail "left queued or running: $(on controller squeue -h) $(running_in "$tmp/movies")"
echo "$engine: Ctrl-C: status 130, named: $(named); no job queued, nothing left running"
rm -f "$tmp/movies/"*.h264

# node2 dies whole, slurmd and tasks, in the middle of a task.
(batch "${plain[@]/%/.mp4}" && exit "$status") &
until [ -n "$(on controller squeue -h -t running -w node2 2>/dev/null)" ]; do
    kill -0 "$!" 2>/dev/null || fail "node2 never ran a task"
    sleep 0.05
done
kill -KILL "$(cat "$tmp/node2.pid")"
started=$(seconds)
status=0 && wait "$!" || status=$?
check_ending "${plain[@]}"
echo "$engine: node2 killed in a task; $(since "$started") later, status $status, named: $(named)"

started=$(seconds)
stop_cluster
! pgrep -f "$tmp" >/dev/null || fail "something of the cluster is still running"
echo "$engine: cluster down in $(since "$started"), nothing left running"
