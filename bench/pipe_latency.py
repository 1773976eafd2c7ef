#!/usr/bin/env python3
"""usage: pipe_latency.py CLIP FRAMES INPUT OUTPUT COMMAND...

Runs COMMAND, an encoder between the named pipes INPUT and OUTPUT, feeding it CLIP's first FRAMES
352x288 I420 frames one every 80 ms, as a live source would. Prints the median and the maximum ms
from a frame's last byte into INPUT to its slices' last byte out of OUTPUT."""
import re
import statistics
import subprocess
import sys
import threading
import time

FRAME_BYTES = 352 * 288 * 3 // 2
INTERVAL_NS = 80_000_000


def frame_ends(stream):
    """Offsets just past each frame's last slice in an H.264 byte stream."""
    start_codes = list(re.finditer(b"\0\0\0?\1", stream))  # a unit never ends in a zero byte
    ends = []
    for code, following in zip(start_codes, start_codes[1:] + [None]):
        start = code.end()
        end = following.start() if following else len(stream)
        if stream[start] & 0x1F in (1, 5):  # a slice
            if stream[start + 1] & 0x80:  # first_mb_in_slice is 0: a new frame begins
                ends.append(end)
            else:
                ends[-1] = end
    return ends


def feed(clip, frames, path, written_ns):
    with open(clip, "rb") as source, open(path, "wb") as pipe:
        begin = time.monotonic_ns()
        for index in range(frames):
            frame = source.read(FRAME_BYTES)
            time.sleep(max(0, begin + index * INTERVAL_NS - time.monotonic_ns()) / 1e9)
            pipe.write(frame)
            pipe.flush()
            written_ns.append(time.monotonic_ns())


def drain(path, arrivals):
    """The whole stream; `arrivals` gets the bytes received so far and the time at each read."""
    stream = bytearray()
    with open(path, "rb", buffering=0) as pipe:
        while chunk := pipe.read(1 << 20):
            stream += chunk
            arrivals.append((len(stream), time.monotonic_ns()))
    return bytes(stream)


def main():
    clip, frames, input_path, output_path, *command = sys.argv[1:]
    written_ns = []
    arrivals = []
    streams = []
    encoder = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Each side waits in open() until the encoder opens its end: daemons, so that an encoder that
    # ends without opening them leaves nothing waiting when this script exits.
    threads = [
        threading.Thread(
            target=feed, args=(clip, int(frames), input_path, written_ns), daemon=True
        ),
        threading.Thread(target=lambda: streams.append(drain(output_path, arrivals)), daemon=True),
    ]
    for thread in threads:
        thread.start()
    if encoder.wait() != 0:
        sys.exit(f"{command[0]} failed with status {encoder.returncode}")
    for thread in threads:
        thread.join(timeout=2)  # both are done once the encoder has ended, if it opened the pipes
    if not streams or any(thread.is_alive() for thread in threads):
        sys.exit(f"{command[0]} ended without opening both pipes")
    ends = frame_ends(streams[0])
    if len(ends) != len(written_ns):
        sys.exit(f"{len(written_ns)} frames went in but {len(ends)} came out")
    latencies_ms = [
        (next(when for total, when in arrivals if total >= end) - written) / 1e6
        for end, written in zip(ends, written_ns)
    ]
    print(f"{statistics.median(latencies_ms):.3f} {max(latencies_ms):.3f}")


if __name__ == "__main__":
    main()
