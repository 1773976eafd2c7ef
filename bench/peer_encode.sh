#!/bin/sh
# ffmpeg doing yuv2h264's encode with the same libx264 settings: the peer that the benchmark times
# and that the stream tests compare the program's bytes with. usage: peer_encode.sh IN OUT
exec ffmpeg -hide_banner -loglevel error -nostdin -f rawvideo -pix_fmt yuv420p -s 352x288 -r 25 \
    -i "$1" -c:v libx264 -preset medium -tune zerolatency -profile:v high -f h264 -y "$2"
