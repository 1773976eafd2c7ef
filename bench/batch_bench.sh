#!/usr/bin/env bash
# yuv2h264-batch on this machine against ffmpeg transcoding each movie itself with the same
# libx264 settings (peer_encode.sh, given the command's own filter), both one job per core through
# GNU parallel: wall time in rounds that alternate the two, and the peak bytes in files under
# TMPDIR while each runs. Prints the rows of bench/README.md's batch table.
# usage: bench/batch_bench.sh DIR RUNS [SIZE RATE SECONDS] (DIR: where it builds and keeps its
# movies; 4 movies of 1280x720 at 30 frames a second, 20 s long, unless said otherwise)
set -euo pipefail
cd "$(dirname "$0")/.."
readonly DIR=$1 RUNS=$2 SIZE=${3:-1280x720} RATE=${4:-30} SECONDS_LONG=${5:-20} MOVIES=4
readonly PEER=$PWD/bench/peer_encode.sh MOVIE_DIR=$DIR/movies-$SIZE-$RATE-${5:-20}
filter=$(sed -n 's/^FILTER = "\([^"]*\)".*/\1/p' batch/yuv2h264-batch)

# The program as the package builds it, reading and writing where it is started.
cmake -S . -B "$DIR/here" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DDATA_DIR=. >/dev/null
cmake --build "$DIR/here" -j "$(nproc)" --target yuv2h264 >/dev/null
export PATH=$DIR/here:$PWD/batch:$PATH TMPDIR=$DIR/tmp
mkdir -p "$MOVIE_DIR" "$TMPDIR"
movies=()
for ((n = 1; n <= MOVIES; n++)); do
    movies+=("$MOVIE_DIR/$n.mp4")
    [ -e "$MOVIE_DIR/$n.mp4" ] || ffmpeg -nostdin -v error -f lavfi \
        -i "testsrc2=size=$SIZE:rate=$RATE" -t "$SECONDS_LONG" -c:v libx264 -pix_fmt yuv420p \
        "$MOVIE_DIR/$n.mp4"
done
batch=(yuv2h264-batch "${movies[@]}")
peer=(parallel -q "$PEER" '{}' '{.}.peer.h264' "$filter" ::: "${movies[@]}")
clear() { rm -f "$MOVIE_DIR"/*.h264; }

# peak_bytes COMMAND...: runs it; prints the most bytes that files under TMPDIR held meanwhile.
peak_bytes() {
    local peak=0 bytes
    clear
    "$@" >/dev/null &
    while kill -0 $! 2>/dev/null; do
        bytes=$(find "$TMPDIR" -type f -printf '%s\n' | awk '{ n += $1 } END { print n + 0 }')
        ((bytes <= peak)) || peak=$bytes
        sleep 0.01
    done
    wait $!
    echo "$peak"
}

ratios=() ours=() theirs=()
for ((round = 1; round <= RUNS; round++)); do
    clear && start=$(date +%s%N)
    "${batch[@]}" >/dev/null
    mid=$(date +%s%N) && clear
    "${peer[@]}"
    end=$(date +%s%N)
    ours+=("$(((mid - start) / 1000000))") theirs+=("$(((end - mid) / 1000000))")
    ratios+=("$(awk -v a=$((mid - start)) -v b=$((end - mid)) 'BEGIN { printf "%.2f", a / b }')")
done
# The same frames, decoded: the streams' headers differ by a few bytes.
"${batch[@]}" >/dev/null
frames() { ffmpeg -v error -i "$MOVIE_DIR/$1" -f framemd5 - | grep -v "^#" | cut -d, -f6; }
same=DIFFERENT && [ "$(frames 1.h264)" = "$(frames 1.peer.h264)" ] && same="the same"
echo "Check: the streams of yuv2h264-batch and ffmpeg decode to $same frames"

# spread VALUE...: median (min–max).
spread() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
        m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%s (%s–%s)", m, v[1], v[NR] }'
}
seconds() { for ms in "$@"; do awk -v ms="$ms" 'BEGIN { printf "%.2f\n", ms / 1000 }'; done; }
mapfile -t ours < <(seconds "${ours[@]}")
mapfile -t theirs < <(seconds "${theirs[@]}")
frames=$((MOVIES * SECONDS_LONG * 25))
echo
echo "| Figure, $MOVIES movies of $SECONDS_LONG s, $SIZE at $RATE fps | yuv2h264-batch |" \
    "ffmpeg, each movie itself | ratio |"
echo "| --- | --- | --- | --- |"
echo "| wall time (s) | $(spread "${ours[@]}") | $(spread "${theirs[@]}") |" \
    "$(spread "${ratios[@]}") |"
echo "| peak bytes in files under TMPDIR | $(peak_bytes "${batch[@]}") |" \
    "$(peak_bytes "${peer[@]}") | — |"
echo "| raw frames, had they gone to disk (bytes) | $((frames * 152064)) | — | — |"
