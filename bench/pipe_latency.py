#!/usr/bin/env python3
"""Live latency of an encoder between two named pipes.

Feeds the first FRAMES raw 352x288 I420 frames of CLIP into the pipe INPUT, one every 80 ms as a
live source would, while reading the pipe OUTPUT; the latency of a frame runs from the moment its
last byte was written to INPUT to the moment the last byte of its slices arrived on OUTPUT.
Prints the median and the maximum in milliseconds as one JSON object.

usage: pipe_latency.py CLIP FRAMES INPUT OUTPUT COMMAND...
"""
import json
import os
import statistics
import subprocess
import sys
import threading
import time

FRAME_BYTES = 352 * 288 * 3 // 2
INTERVAL_NS = 80_000_000


def frame_ends(stream):
    """Offsets just past each frame's last slice in an H.264 byte stream."""
    starts = []
    at = stream.find(b"\0\0\1")
    while at != -1:
        starts.append(at + 3)
        at = stream.find(b"\0\0\1", at + 3)
    ends = []
    for index, start in enumerate(starts):
        end = starts[index + 1] - 3 if index + 1 < len(starts) else len(stream)
        while end > start and stream[end - 1] == 0:  # the next start code's leading zero
            end -= 1
        if stream[start] & 0x1F in (1, 5):  # a slice
            if stream[start + 1] & 0x80:  # first_mb_in_slice is 0: a new frame begins
                ends.append(end)
            else:
                ends[-1] = end
    return ends


def feed(path, frames, written_ns):
    with open(path, "wb", buffering=0) as pipe:
        begin = time.monotonic_ns()
        for index, frame in enumerate(frames):
            time.sleep(max(0, begin + index * INTERVAL_NS - time.monotonic_ns()) / 1e9)
            view = memoryview(frame)
            while view:
                view = view[pipe.write(view):]
            written_ns.append(time.monotonic_ns())


def drain(path, arrivals, chunks):
    total = 0
    with open(path, "rb", buffering=0) as pipe:
        while chunk := pipe.read(1 << 20):
            total += len(chunk)
            chunks.append(chunk)
            arrivals.append((total, time.monotonic_ns()))


def main():
    clip, count, input_path, output_path, *command = sys.argv[1:]
    with open(clip, "rb") as file:
        data = file.read(FRAME_BYTES * int(count))
    frames = [data[i:i + FRAME_BYTES] for i in range(0, len(data), FRAME_BYTES)]
    for path in (input_path, output_path):
        if os.path.lexists(path):
            os.remove(path)
        os.mkfifo(path)

    written_ns, arrivals, chunks = [], [], []
    encoder = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    threads = [threading.Thread(target=feed, args=(input_path, frames, written_ns)),
               threading.Thread(target=drain, args=(output_path, arrivals, chunks))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if encoder.wait() != 0:
        sys.exit(f"{command[0]} failed with status {encoder.returncode}")

    ends = frame_ends(b"".join(chunks))
    if len(ends) != len(frames):
        sys.exit(f"{len(frames)} frames went in but {len(ends)} came out")
    latencies_ms = []
    for end, written in zip(ends, written_ns):
        arrived = next(when for total, when in arrivals if total >= end)
        latencies_ms.append((arrived - written) / 1e6)
    print(json.dumps({"frames": len(frames), "median_ms": statistics.median(latencies_ms),
                      "max_ms": max(latencies_ms)}))


if __name__ == "__main__":
    main()
