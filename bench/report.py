#!/usr/bin/env python3
"""Reads what scripts/bench left in RESULTS, prints PASS/MISS against the targets, then the
README's Markdown table.

usage: report.py RESULTS MACHINE
"""
import glob
import json
import statistics
import sys

MAX_RATIO = 0.95  # the program's wall time over ffmpeg's
MAX_SHARE = 2.0  # the program's own per-frame work, in % of the encoder's
MAX_PEAK_MIB = 16.0
MAX_GROWTH = 10.0  # peak memory, 750 frames over 25, in %
DASH = "—"

results, machine = sys.argv[1:]
times, ratios = {}, {}  # "tool frames" -> every run's seconds; frames -> each round's ratio
for path in sorted(glob.glob(f"{results}/round-*.json")):
    round_medians = {}
    for result in json.load(open(path))["results"]:
        tool = "ffmpeg" if result["command"].startswith("ffmpeg") else "yuv2h264"
        key = f"{tool} {result['parameters']['frames']}"
        times.setdefault(key, []).extend(result["times"])
        round_medians[key] = statistics.median(result["times"])
    for frames in (250, 750):
        ratios.setdefault(frames, []).append(
            round_medians[f"yuv2h264 {frames}"] / round_medians[f"ffmpeg {frames}"])
peaks = {}  # "tool frames" -> MiB per run
for line in open(f"{results}/peaks.txt"):
    tool, frames, kib = line.split()
    peaks.setdefault(f"{tool} {frames}", []).append(int(kib) / 1024)
per_frame = {}  # benchmark -> microseconds per repetition
for bench in json.load(open(f"{results}/frame_io.json"))["benchmarks"]:
    if bench["run_type"] == "iteration":
        scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[bench["time_unit"]]
        name = bench["run_name"].split("/iterations:")[0].removesuffix("/real_time")
        per_frame.setdefault(name, []).append(bench["real_time"] * scale)
read, write, null, encode = (per_frame[name] for name in (
    "read_frame", "write_frame/file", "write_frame/dev_null", "encode_frame"))
shares = [100 * (r + w) / e for r, w, e in zip(read, write, encode)]
latency = {tool: [json.loads(line) for line in open(f"{results}/latency-{tool}.jsonl")]
           for tool in ("yuv2h264", "ffmpeg")}


def spread(values, fmt):
    return f"{fmt.format(statistics.median(values))} ({fmt.format(min(values))}–{fmt.format(max(values))})"


for line in open(f"{results}/identical.txt"):
    frames, same = line.split()
    print(f"Check: yuv2h264 and ffmpeg wrote {'the same' if same == 'yes' else 'DIFFERENT'} bytes "
          f"for the {frames}-frame clip")
growth = 100 * (statistics.median(peaks["yuv2h264 750"]) / statistics.median(peaks["yuv2h264 25"]) - 1)
peak = max(max(peaks[f"yuv2h264 {frames}"]) for frames in (25, 250, 750))
verdicts = [(statistics.median(ratios[f]) <= MAX_RATIO,
             f"wall time, {f} frames: {statistics.median(ratios[f]):.2f}x ffmpeg's (≤ {MAX_RATIO})")
            for f in (250, 750)]
verdicts += [(statistics.median(shares) <= MAX_SHARE,
              f"own per-frame work: {statistics.median(shares):.2f} % of the encoder's (≤ {MAX_SHARE:g} %)"),
             (peak <= MAX_PEAK_MIB, f"peak memory: at most {peak:.1f} MiB (≤ {MAX_PEAK_MIB:g} MiB)"),
             (growth <= MAX_GROWTH, f"flat memory: 750 vs 25 frames {growth:+.1f} % (≤ +{MAX_GROWTH:g} %)")]
for ok, text in verdicts:
    print(f"{'PASS' if ok else 'MISS'}  {text}")

rows = []
for f in (250, 750):
    ours, theirs = times[f"yuv2h264 {f}"], times[f"ffmpeg {f}"]
    rows += [(f"wall time, {f} frames (s)", spread(ours, "{:.3f}"), spread(theirs, "{:.3f}"),
              spread(ratios[f], "{:.2f}"), f"≤ {MAX_RATIO}"),
             (f"frames per second, {f} frames", spread([f / t for t in ours], "{:.0f}"),
              spread([f / t for t in theirs], "{:.0f}"), DASH, DASH)]
rows += [(f"peak memory, {f} frames (MiB)", spread(peaks[f"yuv2h264 {f}"], "{:.1f}"),
          spread(peaks[f"ffmpeg {f}"], "{:.1f}"), DASH, f"≤ {MAX_PEAK_MIB:g}") for f in (25, 250, 750)]
rows += [("peak memory, 750 vs 25 frames", f"{growth:+.1f} %", DASH, DASH, f"≤ +{MAX_GROWTH:g} %")]
for key, label in (("median_ms", "median"), ("max_ms", "max")):
    rows.append((f"live latency through named pipes, {label} (ms)",
                 *(spread([run[key] for run in latency[tool]], "{:.1f}") for tool in ("yuv2h264", "ffmpeg")),
                 DASH, DASH))
rows += [("(a) read a frame: `read_i420_frame` (µs)", spread(read, "{:.2f}"), DASH, DASH, DASH),
         ("(b) write a frame's NAL units to a file (µs)", spread(write, "{:.2f}"), DASH, DASH, DASH),
         ("(b) the same to /dev/null (µs)", spread(null, "{:.2f}"), DASH, DASH, DASH),
         ("(c) encode a frame: `x264_encoder_encode` (µs)", spread(encode, "{:.0f}"), DASH, DASH, DASH),
         ("(a) + (b), share of (c)", spread(shares, "{:.2f}") + " %", DASH, DASH, f"≤ {MAX_SHARE:g} %")]
print(f"\nMedian (min–max) over all runs; the ratio's over {len(ratios[250])} alternating rounds. "
      "Latency: per run, the median and the max of 100 frames fed every 80 ms.\n")
print("| Figure | yuv2h264 | ffmpeg, same libx264 settings | yuv2h264 / ffmpeg | Target |")
print("| --- | --- | --- | --- | --- |")
for row in rows:
    print("| " + " | ".join(row) + " |")
print(f"\nMachine: {machine}.")
