#!/usr/bin/env bash
# The installed Slurm example (doc/examples/slurm-batch) against a cluster of this test's own: a
# controller and two nodes, each in network, UTS, PID and mount namespaces of its own, joined by a
# bridge in the controller's, on 127.1.0.0/16 there only. Slurm and munge are Debian's packages
# unpacked into a temporary directory: no service is installed; all stops with the namespaces.
# Usage: tests/slurm_batch_test.sh STAGED_ROOT (as for remote_batch_test.sh). Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
ensure_packages ffmpeg iproute2 procps

root=$(realpath "$1")
example=$root/usr/share/doc/yuv2h264/examples/slurm-batch
tmp=$(mktemp -d)
chmod 755 "$tmp" # munged serves only through a socket whose directories all may search
holders=()
stop_cluster() {
    # A namespace's first process takes every other in it along when it dies.
    if ((${#holders[@]} > 0)); then kill -KILL "${holders[@]}" 2>/dev/null || true; fi
    wait 2>/dev/null # without a line for each process killed
}
trap 'stop_cluster; rm -rf "$tmp"' EXIT
source tests/batch_support.sh
export filter

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
    LD_LIBRARY_PATH=$slurm/usr/lib/x86_64-linux-gnu/slurm-wlm TMPDIR=$tmp/node-tmp
mkdir -p "$TMPDIR" "$tmp"/{state,node1,node2,movies,reference}

# Quick to react: a silent node is down after 5 s, its tasks may start again 10 s later
# (cred_expire), the backfill scheduler looks every second, and sbatch --wait asks every 4 s at
# most (MinJobAge).
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
# batch: the example on the controller, given every movie; its output in $tmp/out.
batch() { on controller "$example" "${movies[@]/%/.mp4}" >"$tmp/out" 2>&1; }
seconds() { date +%s.%N | cut -c 1-14; }
since() { echo "$1 $(seconds)" | awk '{ printf "%.1f s", $2 - $1 }'; }

make_movies "$tmp/movies"
movies=(wide anamorphic tall "no stream")
started=$(seconds)
start_cluster
up=$(since "$started") && started=$(seconds)
status=0 && batch || status=$?
echo "slurm batch: cluster up in $up, 4 movies in $(since "$started"), status $status"
[ "$status" -eq 1 ] || fail "the batch ended with $status, not its failed task's 1"
check_ending "$status" "$root/usr/bin/yuv2h264" "${movies[@]}"
failed=$(sed -n 's/.*State=FAILED .*ArrayJobId=\([0-9]*\) ArrayTaskId=\([0-9]*\) .*/\1_\2/p' \
    "$tmp/jobcomp.log")
grep -q 'NodeList=node1 ' "$tmp/jobcomp.log" && grep -q 'NodeList=node2 ' "$tmp/jobcomp.log" &&
    [ "$(head -n 1 "$tmp/movies/slurm-$failed.out")" = "no stream.mp4 -> no stream.h264" ] &&
    grep -q 'Invalid data' "$tmp/movies/slurm-$failed.out" ||
    fail "not one FAILED task, the empty movie's, its message in its log, and tasks on both nodes"

status=0 && on controller "$example" wide.mp4 wide.mkv 2>"$tmp/out" || status=$?
[ "$status" -eq 2 ] && grep -q 'would both make wide.h264' "$tmp/out" ||
    fail "two movies for one stream: status $status, and no message"
cp "$tmp/movies/wide.mp4" "$tmp/movies/no stream.mp4"
batch || fail "running again ended with $?"
check_ending 0 "$root/usr/bin/yuv2h264" "${movies[@]}"
job=$(sed -n 's/^Submitted batch job //p' "$tmp/out")
[ "$(head -qn 1 "$tmp/movies/slurm-${job}_"*.out)" = "no stream.mp4 -> no stream.h264" ] ||
    fail "running again did not run the replaced movie alone"
echo "slurm batch: the empty movie's task alone FAILED, with exit 1 and its message in its log;" \
    "run again, one task, for the replaced movie"

# node2 dies whole, slurmd and tasks, in the middle of a task.
rm "$tmp/movies/"*.h264 "$tmp/movies/"slurm-*.out
batch &
until grep -qs '^on node2$' "$tmp/movies/"slurm-*.out; do
    kill -0 "$!" 2>/dev/null || fail "node2 never ran a task"
    sleep 0.05
done
kill -KILL "$(cat "$tmp/node2.pid")"
started=$(seconds)
status=0 && wait "$!" || status=$?
check_ending "$status" "$root/usr/bin/yuv2h264" "${movies[@]}"
! ls "$tmp/movies/"*.part 2>/dev/null || fail "a partial stream is left beside the movies"
echo "slurm batch: node2 killed in a task; $(since "$started") later, status $status," \
    "named: $(named)"

started=$(seconds)
stop_cluster
! pgrep -f "$tmp" >/dev/null || fail "something of the cluster is still running"
echo "slurm batch: cluster down in $(since "$started"), nothing left running"
