#!/usr/bin/env bash
# The README's recipe for many movies on several hosts, run as written against two ssh servers of
# this test's own, on loopback addresses only, with everything they use in a temporary directory.
# Usage: tests/remote_batch_test.sh STAGED_ROOT (a DESTDIR install, prefix /usr, of a build whose
# data directory is the working directory: its program and manual page are the hosts').
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
    rm -rf "$tmp"
    if $made_run_sshd; then rmdir /run/sshd; fi
}
trap cleanup EXIT
source tests/batch_support.sh
export filter # the recipe runs in a shell of its own; a user has it set in theirs

# The recipe as the README gives it: the block that runs parallel.
readme=$(awk '/^```sh$/ { block = ""; inside = 1; next }
    inside && /^```$/ { inside = 0; if (block ~ /parallel --slf/) printf "%s", block }
    inside { block = block $0 "\n" }' README.md)
[[ $readme == *"parallel --slf"* ]] || fail "no recipe found in README.md"

# Two hosts, host1 on 127.0.0.2 and host2 on 127.0.0.3: each an sshd with a home of its own (a
# session starts in the account's home, which would be root's), and the staged program on its
# PATH. Locally, an ssh on PATH that knows the two, and a home for parallel's own files.
mkdir -p "$tmp/local/bin" "$tmp/movies" "$tmp/reference"
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
export PATH=$tmp/local/bin:$PATH HOME=$tmp/local
for n in 1 2; do
    for _ in {1..50}; do ssh "host$n" true 2>/dev/null && break || sleep 0.1; done
    ssh "host$n" true || fail "host$n does not answer"
done
printf 'host1\nhost2\n' >"$tmp/movies/hosts"

make_movies "$tmp/movies"
movies=(wide anamorphic tall "no stream")
# streams_back MOVIE...: each movie's stream is a local encode of it, and no host kept anything.
streams_back() {
    check_streams "$root/usr/bin/yuv2h264" "$tmp/movies" "$@"
    if find "$tmp"/host? -path '*/.parallel/tmp/*' | grep -q .; then
        fail "a work directory is left on a host"
    fi
}
# run_recipe STATUS: runs the recipe in the movies' directory; parallel must end with STATUS.
run_recipe() {
    local status=0
    (cd "$tmp/movies" && bash -c "$readme") >"$tmp/out" 2>&1 || status=$?
    [ "$status" -eq "$1" ] || fail "the batch ended with $status, not $1"
}
jobs_on() { awk -F'\t' -v host="$1" '$2 == host' "$tmp/movies/batch.log" | wc -l; }

run_recipe 1
streams_back wide anamorphic tall
[ "$(jobs_on host1)" -gt 0 ] && [ "$(jobs_on host2)" -gt 0 ] || fail "not both hosts had jobs"
awk -F'\t' '$7 != 0 && /no stream/' "$tmp/movies/batch.log" | grep -q . ||
    fail "the failed movie has no non-zero exit value in the job log"
grep -q $'^no stream.mp4\t.*Invalid data' "$tmp/out" || fail "no tagged message for the failed movie"
[ "$(grep '^No stream for' "$tmp/out")" = "No stream for no stream.mp4" ] ||
    fail "the batch did not name exactly the failed movie"
echo "remote batch: 3 movies over 2 hosts as local encodes, no work directory left;" \
    "the empty movie failed: exit $(awk -F'\t' '/no stream/ { print $7 }' "$tmp/movies/batch.log")" \
    "in the job log, tagged message, named at the end, status 1"

cp "$tmp/movies/wide.mp4" "$tmp/movies/no stream.mp4"
run_recipe 0
streams_back "no stream"
awk 'NR > 1 { jobs++; if (/no stream/) hit++ } END { exit !(jobs == 1 && hit == 1) }' \
    "$tmp/movies/batch.log" ||
    fail "running again sent other movies than the failed one"
echo "remote batch: run again, it encoded the replaced movie alone"

# host2 dies whole, sshd and sessions, the moment it holds a finished stream: every movie must
# come back (its job tried again on host1) or be named, with status 1.
rm "$tmp/movies/"*.h264 "$tmp/movies/batch.log"
(cd "$tmp/movies" && bash -c "$readme") >"$tmp/out" 2>&1 &
batch=$!
until find "$tmp/host2" -path '*/.parallel/tmp/*' -name '*.h264' ! -path '*/enc/*' | grep -q .; do
    kill -0 "$batch" 2>/dev/null || fail "host2 never held a stream"
    sleep 0.05
done
sshd=$(cat "$tmp/host2/sshd.pid") && rm "$tmp/host2/sshd.pid"
{ kill_tree "$sshd" && wait "$sshd"; } 2>/dev/null || true # without the shell's "Killed" line
status=0 && wait "$batch" || status=$?
check_ending "$status" "$root/usr/bin/yuv2h264" "${movies[@]}"
echo "remote batch: host2 killed holding a stream: status $status, named: $(named)"
rm -rf "$tmp/host2/.parallel" # a dead host's leftovers: the check is for the live one
run_recipe 0
streams_back "${movies[@]}"
echo "remote batch: run again with host2 down, every movie has its stream"
