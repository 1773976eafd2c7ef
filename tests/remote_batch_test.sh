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
fail() {
    echo "remote batch: $*" >&2
    cat "$tmp/out" "$tmp"/host?/sshd.log >&2 2>/dev/null || true
    exit 1
}

# The recipe as the README and the manual page give it: the conversion filter's definition and
# the block that runs parallel. Both documents must give the same.
recipe() { # FILE BLOCK_START BLOCK_END
    awk -v start="$2" -v end="$3" '
        /^filter=\047/, /\047$/ { print; next }
        $0 ~ start { block = ""; inside = 1; next }
        inside && $0 ~ end { inside = 0; if (block ~ /parallel --slf/) printf "%s", block }
        inside { block = block $0 "\n" }' "$1"
}
readme=$(recipe README.md '^```sh$' '^```$')
manual=$(gzip -dc "$root/usr/share/man/man1/yuv2h264.1.gz" |
    recipe /dev/stdin '^[.]Bd -literal' '^[.]Ed$' | sed 's/\\e/\\/g')
[[ $readme == *"parallel --slf"* ]] || fail "no recipe found in README.md"
[ "$readme" = "$manual" ] || fail "README.md and the manual page give different recipes"

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

# Short movies of different shapes, and one that cannot be encoded, with a space in its name.
movie() { # NAME SOURCE SECONDS
    ffmpeg -nostdin -v error -f lavfi -i "$2" -t "$3" -c:v libx264 -pix_fmt yuv420p \
        -y "$tmp/movies/$1.mp4"
}
movie wide testsrc2=size=640x360:rate=30 1.5
movie anamorphic 'smptehdbars=size=720x576:rate=25,setsar=64/45' 1
movie tall 'testsrc=size=240x320:rate=24' 2
: >"$tmp/movies/no stream.mp4"

eval "$(sed -n "/^filter='/,/'\$/p" <<<"$readme")"
# check_streams MOVIE...: each one's returned stream is the local conversion and encode of it.
check_streams() {
    local name
    for name in "$@"; do
        mkdir -p "$tmp/reference/$name"
        ffmpeg -nostdin -v error -i "$tmp/movies/$name.mp4" -vf "$filter" -pix_fmt yuv420p \
            -f rawvideo -y "$tmp/reference/$name/yuv_420-352x288.yuv"
        (cd "$tmp/reference/$name" && "$root/usr/bin/yuv2h264" &>/dev/null)
        cmp -s "$tmp/reference/$name/x.h264" "$tmp/movies/$name.h264" ||
            fail "$name.h264 differs from a local encode"
    done
    if find "$tmp"/host? -path '*/.parallel/tmp/*' | grep -q .; then
        fail "a work directory is left on a host"
    fi
}
# run_recipe STATUS: runs the recipe in the movies' directory; parallel must end with STATUS.
run_recipe() {
    local status=0
    (cd "$tmp/movies" && bash -c "$readme") >"$tmp/out" 2>&1 || status=$?
    [ "$status" -eq "$1" ] || fail "parallel ended with $status, not $1"
}
jobs_on() { awk -F'\t' -v host="$1" '$2 == host' "$tmp/movies/batch.log" | wc -l; }

run_recipe 1
check_streams wide anamorphic tall
[ "$(jobs_on host1)" -gt 0 ] && [ "$(jobs_on host2)" -gt 0 ] || fail "not both hosts had jobs"
awk -F'\t' '$7 != 0 && /no stream/' "$tmp/movies/batch.log" | grep -q . ||
    fail "the failed movie has no non-zero exit value in the job log"
grep -q $'^no stream.mp4\t.*Invalid data' "$tmp/out" || fail "no tagged message for the failed movie"
[ ! -e "$tmp/movies/no stream.h264" ] || fail "the failed movie has a stream"
echo "remote batch: 3 movies over 2 hosts as local encodes, no work directory left;" \
    "the empty movie failed: exit $(awk -F'\t' '/no stream/ { print $7 }' "$tmp/movies/batch.log")" \
    "in the job log, tagged message, parallel's status 1"

cp "$tmp/movies/wide.mp4" "$tmp/movies/no stream.mp4"
jobs=$(wc -l <"$tmp/movies/batch.log")
PARALLEL=--resume-failed run_recipe 0
check_streams "no stream"
[ "$(awk -v from="$jobs" 'NR > from { print /no stream/ }' "$tmp/movies/batch.log")" = 1 ] ||
    fail "--resume-failed ran other jobs than the failed movie's"
echo "remote batch: --resume-failed encoded the replaced movie alone"

kill "$(cat "$tmp/host2/sshd.pid")" && rm -f "$tmp/host2/sshd.pid"
rm "$tmp/movies/"*.h264 "$tmp/movies/batch.log"
run_recipe 0
check_streams wide anamorphic tall "no stream"
[ "$(jobs_on host2)" -eq 0 ] || fail "a job ended on host2, which is down"
echo "remote batch: with host2 down, host1 encoded all 4 movies"
