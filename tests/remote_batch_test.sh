#!/usr/bin/env bash
# yuv2h264-batch on this machine, with TMPDIR on a tmpfs smaller than a movie's raw frames, then on
# two ssh servers of this test's own, on loopback addresses only, with everything they use in a
# temporary directory.
# Usage: tests/remote_batch_test.sh STAGED_ROOT (a DESTDIR install, prefix /usr, of a build whose
# data directory is the working directory: its programs are this machine's and the hosts'). Root.
# shellcheck disable=SC2015 # A && B || fail: fails when either fails
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
ensure_packages openssh-server openssh-client parallel rsync ffmpeg python3

root=$(realpath "$1")
tmp=$(mktemp -d)
made_run_sshd=false
cleanup() {
    local pidfile
    for pidfile in "$tmp"/host*/sshd.pid; do
        if [ -f "$pidfile" ]; then kill "$(cat "$pidfile")" 2>/dev/null || true; fi
    done
    wait
    if mountpoint -q "$tmp/small"; then umount "$tmp/small"; fi
    rm -rf "$tmp"
    if $made_run_sshd; then rmdir /run/sshd; fi
}
trap cleanup EXIT
source tests/batch_support.sh
mkdir -p "$tmp/local/bin" "$tmp/movies" "$tmp/reference" "$tmp/small"
# The batch and parallel keep their files in the test's directory, which goes when it ends.
export PATH=$root/usr/bin:$tmp/local/bin:$PATH HOME=$tmp/local TMPDIR=$tmp/local
batch() {
    status=0
    (cd "$tmp/movies" && "$root/usr/bin/yuv2h264-batch" "${options[@]}" "$@") >"$tmp/out" 2>&1 ||
        status=$?
}
make_movies

# This machine. One movie's raw frames take 5.8 MB: TMPDIR holds 1 MB.
engine="this machine" options=()
mount -t tmpfs -o size=1m tmpfs "$tmp/small"
TMPDIR=$tmp/small rows_of_names
[ -z "$(find "$tmp/small" ! -type d ! -name '[0-9]*.log')" ] || fail "TMPDIR keeps more than logs"
echo "$engine: TMPDIR on a tmpfs of 1 MB, less than a movie's 5.8 MB of raw frames: enough"

# Refused before anything starts.
cp "$tmp/movies/wide.mp4" "$tmp/movies/wide.mkv"
cp "$tmp/movies/wide.mp4" "$tmp/movies/other dir/camera.h264"
for row in "would both make:wide.mp4:other dir/../wide.mkv" "matched no file:*.avi" \
    "no movies given" "unknown option:--bogus" "is a directory:other dir" \
    "its own stream:other dir/camera.h264"; do
    IFS=: read -r -a row <<<"$row"
    batch "${row[@]:1}"
    ((status == 2)) && grep -q "${row[0]}" "$tmp/out" && ! ls "$tmp"/movies/*.h264 2>/dev/null ||
        fail "'${row[*]:1}': status $status, not 2 and '${row[0]}'"
done
rm "$tmp/movies/wide.mkv" "$tmp/movies/other dir/camera.h264"
echo "$engine: two movies for one stream, none, a pattern, a directory, a wrong option," \
    "a movie that is its own stream: status 2"

interrupt_when_partial "$tmp/movies"
[ -z "$(running_in "$tmp")" ] || fail "left running: $(running_in "$tmp")"
echo "$engine: Ctrl-C: status 130, named: $(named); nothing left running"
rm -f "$tmp/movies/"*.h264
# The reader of its lines goes: the batch goes with it.
(cd "$tmp/movies" && yuv2h264-batch "${plain[@]/%/.mp4}" 2>/dev/null | head -n 1 >/dev/null) || :
[ -z "$(running_in "$tmp")" ] && ! find "$tmp/movies" -name '*.part' | grep -q . ||
    fail "its reader gone, the batch left running: $(running_in "$tmp")"
echo "$engine: the reader of its lines gone after one: nothing left running"
rm -f "$tmp/movies/"*.h264

# Two hosts, host1 on 127.0.0.2 and host2 on 127.0.0.3: each an sshd with a home of its own (a
# session starts in the account's home, which would be root's), and the staged programs on its
# PATH. Locally, an ssh on PATH that knows the two, and a home for parallel's own files.
ssh-keygen -q -t ed25519 -N '' -f "$tmp/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$tmp/user_key"
echo "test-host $(cat "$tmp/host_key.pub")" >"$tmp/known_hosts"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.2", 0)); print(s.getsockname()[1])')
if [ ! -d /run/sshd ]; then mkdir -m 755 /run/sshd && made_run_sshd=true; fi
for n in 1 2; do
    mkdir "$tmp/host$n"
    cat >"$tmp/host$n/sshd_config" <<EOF
ListenAddress 127.0.0.$((n + 1)):$port
HostKey $tmp/host_key
AuthorizedKeysFile $tmp/user_key.pub
PidFile $tmp/host$n/sshd.pid
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
StrictModes no
SetEnv HOME=$tmp/host$n PATH=$root/usr/bin:/usr/bin:/bin
ForceCommand cd && eval "\$SSH_ORIGINAL_COMMAND"
EOF
    /usr/sbin/sshd -D -e -f "$tmp/host$n/sshd_config" 2>"$tmp/host$n/sshd.log" &
    printf 'Host host%s\n  HostName 127.0.0.%s\n' "$n" "$((n + 1))" >>"$tmp/ssh_config"
done
cat >>"$tmp/ssh_config" <<EOF
Host *
  Port $port
  User $(id -un)
  IdentityFile $tmp/user_key
  IdentitiesOnly yes
  HostKeyAlias test-host
  UserKnownHostsFile $tmp/known_hosts
  BatchMode yes
EOF
printf '#!/bin/sh\nexec /usr/bin/ssh -F %s "$@"\n' "$tmp/ssh_config" >"$tmp/local/bin/ssh"
chmod +x "$tmp/local/bin/ssh"
for n in 1 2; do
    for _ in {1..50}; do ssh "host$n" true 2>/dev/null && break || sleep 0.1; done
    ssh "host$n" true || fail "host$n does not answer"
done
printf 'host1\nhost2\n' >"$tmp/hosts"

engine="2 hosts" options=(--hosts "$tmp/hosts")
# no_work_left: no host keeps a working directory of the batch.
no_work_left() {
    ! find "$tmp"/host? -path '*/.parallel/tmp/*' | grep -q . || fail "a host kept a work directory"
}
rows_of_names
no_work_left
[ "$(grep -l Accepted "$tmp"/host?/sshd.log | wc -l)" -eq 2 ] || fail "a host had no job"

interrupt_when_partial "$tmp/host1" "$tmp/host2"
[ -z "$(running_in "$tmp")" ] || fail "left running: $(running_in "$tmp")"
no_work_left
echo "$engine: Ctrl-C: status 130, named: $(named); nothing left running, on the hosts neither"
rm -f "$tmp/movies/"*.h264

# host2 dies whole, sshd and sessions, the moment it holds a finished stream: every movie must
# come back (its job tried again on host1) or be named, with status 1.
(batch "${plain[@]/%/.mp4}" && exit "$status") &
batch=$!
until find "$tmp/host2" -path '*/.parallel/tmp/*' -name '[0-9]*.h264' -size +0 | grep -q .; do
    kill -0 "$batch" 2>/dev/null || fail "host2 never held a stream"
    sleep 0.05
done
sshd=$(cat "$tmp/host2/sshd.pid") && rm "$tmp/host2/sshd.pid"
{ kill_tree "$sshd" && wait "$sshd"; } 2>/dev/null || true # without the shell's "Killed" line
status=0 && wait "$batch" || status=$?
check_ending "${plain[@]}"
echo "$engine: host2 killed holding a stream: status $status, named: $(named)"
cp "$tmp/movies/wide.mp4" "$tmp/movies/no stream.mp4"
batch "${plain[@]/%/.mp4}"
status=0 && check_ending "${plain[@]}"
echo "$engine: run again with host2 down, every movie has its stream"
