#!/usr/bin/env bash
# The program as users run it, threads and all, on an emulated ARM machine with two CPUs.
# qemu's user mode runs libx264's threads wrongly (a hang on arm64, a crash on armhf); a whole
# machine under qemu runs them right. Debian's own kernel boots with an initramfs of this test's
# own: busybox, the program with its libraries, a clip and an init that runs the cases, prints
# what it saw on the console (the streams in base64) and powers off. The checks are made here,
# with ffmpeg as the decoder.
# Usage: tests/arm_system_test.sh ARCH PROGRAM (ARCH arm64 or armhf; PROGRAM a build for it whose
# data directory is the working directory).
set -euo pipefail
if [ $# -ne 2 ] || [[ $1 != arm64 && $1 != armhf ]] || [ ! -f "$2" ]; then
    echo "Usage: $0 arm64|armhf PROGRAM" >&2
    exit 2
fi
arch=$1
program=$(realpath "$2")
cd "$(dirname "$0")/.."
source scripts/lib.sh

# Cortex-A72 and A7: the cores of the Raspberry Pi 4 and 2, the boards these builds are for.
case $arch in
arm64)
    flavour=arm64 user_mode=qemu-aarch64
    qemu=(qemu-system-aarch64 -M virt -cpu cortex-a72 -m 2G)
    ;;
armhf)
    flavour=armmp user_mode=qemu-arm
    qemu=(qemu-system-arm -M virt -cpu cortex-a7 -m 1G)
    ;;
esac
readonly clip_frames=50 boot_limit_seconds=300

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    "${sudo[@]}" dpkg --add-architecture "$arch"
fi
ensure_packages qemu-system-arm qemu-user ffmpeg cpio "libx264-164:$arch"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The kernel, the one Debian's meta package for the flavour depends on now, and busybox: only
# unpacked, nothing of another architecture's system goes onto this one. Lists that name a kernel
# the mirror no longer has are brought up to date first. apt-get download runs as root without its
# sandbox user, who may not write in a private temporary directory.
mkdir "$work/deb"
download() {
    kernel_package=$(apt-cache show --no-all-versions "linux-image-$flavour:$arch" |
        sed -n 's/^Depends: \(linux-image-[^ ,]*\).*/\1/p')
    [ -n "$kernel_package" ] && (cd "$work/deb" && apt-get -qq -o APT::Sandbox::User=root \
        download "$kernel_package:$arch" "busybox-static:$arch")
}
download || { "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 -qq update && download; }
# unpack PACKAGE MEMBER: tar stops at the member, which spares reading a kernel's modules; a
# member it did not find fails it.
unpack() {
    { dpkg-deb --fsys-tarfile "$work/deb/${1}_"*"_$arch.deb" 2>/dev/null || true; } |
        tar -x -C "$work/deb" --occurrence "$2"
}
unpack "$kernel_package" "./boot/vmlinuz-${kernel_package#linux-image-}"
unpack busybox-static ./bin/busybox

# The initramfs: busybox, the program, every library it loads (as its own loader lists them,
# run by qemu-user in trace mode) and the clip.
root=$work/root
mkdir -p "$root/bin" "$root/usr/bin" "$root/proc" "$root/sys" "$root/dev"
cp "$work/deb/bin/busybox" "$root/bin/"
cp "$program" "$root/usr/bin/yuv2h264"
libraries=$("$user_mode" -E LD_TRACE_LOADED_OBJECTS=1 "$program") # fails for another machine's
grep -o '/[^ ]*' <<<"$libraries" | while read -r library; do
    mkdir -p "$root${library%/*}" && cp -L "$library" "$root$library"
done
make_test_clip "$root/clip.yuv" "$clip_frames"

# The cases, one a line: name, stop signal to send once the first frames are out (- for none),
# and what the run's directory holds, made by a shell in the machine.
cat >"$root/cases" <<'EOF'
encode - ln -s /clip.yuv yuv_420-352x288.yuv
no_input - :
stop INT cat /clip.yuv /clip.yuv /clip.yuv /clip.yuv >yuv_420-352x288.yuv
EOF

cat >"$root/init" <<'EOF'
#!/bin/busybox sh
# Runs each case of /cases in a directory of its own, tells what it saw on the console, lines
# marked "@@", and powers off.
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
dmesg -n 1 # a kernel message must not break into the lines below

say() { echo "@@ $*"; }
show() {
    say "$1 begin"
    cat "$2"
    say "$1 end"
}
seconds() { cut -d ' ' -f 1 /proc/uptime; }

# watch [SIGNAL]: while the case runs, counts the program's threads; given a signal, sends it
# once the output has the first frames.
watch() {
    most=0 sent=
    while [ -e /running ]; do
        pid=$(pidof yuv2h264)
        if [ -n "$pid" ]; then
            threads=$(ls "/proc/$pid/task" 2>/dev/null | wc -l)
            [ "$threads" -gt "$most" ] && most=$threads
            if [ -n "$1" ] && [ -z "$sent" ] && [ -s x.h264 ]; then
                kill "-$1" "$pid" && sent=yes
            fi
        fi
        usleep 10000
    done
    echo "$most" >threads
}

say booted "$(seconds)" cpus "$(grep -c ^processor /proc/cpuinfo)"
while read -r name signal setup; do
    mkdir "/$name" && cd "/$name" && sh -c "$setup"
    [ "$signal" = - ] && signal=
    touch /running
    watch "$signal" &
    renice -n -10 -p $! >/dev/null # on a busy host it still looks often enough
    # In the foreground, as from a terminal: a shell starts a background job deaf to SIGINT.
    # A hung run is killed, so that the other cases still run.
    status=0
    timeout -s KILL 100 yuv2h264 >out 2>err || status=$?
    rm /running
    wait
    say "$name status $status threads $(cat threads)"
    show "$name out" out
    show "$name err" err
    [ ! -f x.h264 ] || { base64 x.h264 >x.b64 && show "$name stream" x.b64; }
    cd /
done </cases
say finished "$(seconds)"
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$work/initrd.gz"

# panic=-1 with -no-reboot: a dying init ends qemu at once rather than at the time limit.
status=0
timeout -k 10 "$boot_limit_seconds" "${qemu[@]}" -smp 2 -nic none -display none -monitor none \
    -serial "file:$work/console.raw" -no-reboot -kernel "$(echo "$work"/deb/boot/vmlinuz-*)" \
    -initrd "$work/initrd.gz" -append "console=ttyAMA0 panic=-1 loglevel=1" </dev/null || status=$?
tr -d '\r' <"$work/console.raw" >"$work/console"

value() { sed -n "/^@@ $1 /{s///p;q}" "$work/console"; }
section() { awk -v begin="@@ $1 begin" -v end="@@ $1 end" '$0 == end { inside = 0 } inside; $0 == begin { inside = 1 }' "$work/console"; }
if [ "$status" -ne 0 ] || [ -z "$(value finished)" ]; then
    echo "$arch: the machine ended with status $status (124: no power-off within $boot_limit_seconds s) before the cases had run; its console:" >&2
    tail -n 40 "$work/console" >&2
    exit 1
fi
read -r boot_seconds _ cpus < <(value booted)
echo "$arch: Debian's kernel ${kernel_package#linux-image-} booted in $boot_seconds s with $cpus CPUs, ran the cases and powered off"
((cpus == 2)) || { echo "$arch: the machine has $cpus CPUs, not 2" >&2 && exit 1; }

failed=0
own_lines() { section "$1 err" | grep -v '^x264 \[' | paste -sd '|'; }
# report CASE PROBLEMS WHAT: one line for the case, ok or what went wrong.
report() {
    if [ -n "$2" ]; then
        echo "$arch $1: FAILED: ${2#; } (it printed: $(own_lines "$1"))"
        failed=$((failed + 1))
    else
        echo "$arch $1: ok, $3"
    fi
}

# stream CASE: the case's stream, as the program wrote it in the machine, into $work/CASE.h264.
stream() { section "$1 stream" | base64 -d >"$work/$1.h264"; }
decoded_frames() { ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$1"; }
# The frames the encoder made, from libx264's closing lines, one per frame type.
encoded_frames() {
    section "$1 err" | sed -n 's/^x264 \[info\]: frame [IPB]:\([0-9]*\).*/\1/p' |
        awk '{ sum += $1 } END { print sum + 0 }'
}

read -r status _ threads < <(value "encode status") || true
problems=''
[ "$status" = 0 ] || problems+="; status $status"
[ "$(section "encode out")" = "hello world." ] || problems+="; no start line"
[ -z "$(own_lines encode)" ] || problems+="; messages"
((threads > 1)) || problems+="; $threads thread(s)"
stream encode
frames=$(decoded_frames "$work/encode.h264")
[ "$frames" = "$clip_frames" ] || problems+="; $frames of $clip_frames frames decode"
report encode "$problems" "status 0, $clip_frames frames decode, $threads threads in the process, sha256 $(sha256sum <"$work/encode.h264" | cut -c 1-16)…"

# The program's table proves every message under qemu-user; one here shows they come out here too.
read -r status _ < <(value "no_input status") || true
problems=
[ "$status" = 255 ] || problems+="; status $status"
[ "$(own_lines no_input)" = "Failed to open input file" ] || problems+="; not its message"
report no_input "$problems" "status 255, \"Failed to open input file\""

# Stopped after the first frames: every frame the encoder made is in the stream, whole. The run's
# input begins with the clip, so its stream is the encode case's up to a frame's end.
read -r status _ threads < <(value "stop status") || true
problems='' size=0
[ "$status" = 130 ] || problems+="; status $status"
[ "$(own_lines stop)" = "Encoding interrupted" ] || problems+="; not \"Encoding interrupted\" once"
reached=$(encoded_frames stop)
stream stop
size=$(stat -c %s "$work/stop.h264")
whole=$(ffprobe -v error -show_entries packet=size -of csv=p=0 "$work/encode.h264" |
    awk -v frames="$reached" 'NR <= frames { sum += $1 } END { print sum + 0 }')
((reached > 0 && reached < clip_frames)) || problems+="; stopped at frame $reached, not within the first $clip_frames"
# The uninterrupted stream's first bytes, ending where its frame `reached` ends.
cmp -s -n "$size" "$work/stop.h264" "$work/encode.h264" || problems+="; not the uninterrupted run's bytes"
[ "$size" = "$whole" ] || problems+="; $size bytes, not the $whole of $reached whole frames"
report stop "$problems" "SIGINT after the first frames: status 130, \"Encoding interrupted\", $reached whole frames ($size bytes, the uninterrupted stream's first), $threads threads"

echo "$arch: $(($(wc -l <"$root/cases") - failed)) passed, $failed failed"
((failed == 0))
