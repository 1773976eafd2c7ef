#!/bin/sh
# ffmpeg doing yuv2h264's encode with the same libx264 settings: the peer that the benchmarks time
# and that the stream tests compare the program's bytes with. usage: peer_encode.sh IN OUT, IN
# raw 352x288 I420 frames at 25 a second; or peer_encode.sh MOVIE OUT FILTER, a movie that
# FILTER converts, as yuv2h264-batch gives the program.
out=$2
if [ $# -ge 3 ]; then
    set -- -i "file:$1" -vf "$3" -pix_fmt yuv420p
else
    set -- -f rawvideo -pix_fmt yuv420p -s 352x288 -r 25 -i "$1"
fi
exec ffmpeg -hide_banner -loglevel error -nostdin "$@" \
    -c:v libx264 -preset medium -tune zerolatency -profile:v high -f h264 -y "$out"
