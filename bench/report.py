#!/usr/bin/env python3
"""usage: report.py RESULTS MACHINE: the verdicts and the README's table from scripts/bench."""
import collections, glob, json, statistics, sys

MAX_RATIO, MAX_SHARE, MAX_PEAK, MAX_GROWTH = 0.95, 2.0, 16.0, 10.0  # x ffmpeg's, %, MiB, %
results, machine = sys.argv[1:]
med, runs = statistics.median, collections.defaultdict(list)  # figure -> a value per run
for path in glob.glob(f"{results}/round-*.json"):  # one hyperfine call: both tools, both clips
    medians = {}
    for result in json.load(open(path))["results"]:
        key = (result["command"].split()[0].split("/")[-1], int(result["parameters"]["frames"]))
        runs[key] += result["times"]
        runs["fps", *key] += [key[1] / time for time in result["times"]]
        medians[key] = med(result["times"])
    for f in (250, 750):
        runs["ratio", f].append(medians["yuv2h264", f] / medians["ffmpeg", f])
for tool, frames, kib in map(str.split, open(f"{results}/peaks.txt")):
    runs["peak", tool, int(frames)].append(int(kib) / 1024)
for bench in json.load(open(f"{results}/frame_io.json"))["benchmarks"]:
    if bench["run_type"] == "iteration":  # each benchmark's repetitions, in order
        scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[bench["time_unit"]]
        name = bench["run_name"].split("/iterations:")[0].removesuffix("/real_time")
        runs[name].append(bench["real_time"] * scale)
for tool in ("yuv2h264", "ffmpeg"):
    for line in open(f"{results}/latency-{tool}.jsonl"):
        for stat, value in json.loads(line).items():
            runs[stat, tool].append(value)
read, write, encode = runs["read_frame"], runs["write_frame/file"], runs["encode_frame"]
shares = [100 * (r + w) / e for r, w, e in zip(read, write, encode)]
peak = max(max(runs["peak", "yuv2h264", f]) for f in (25, 250, 750))
growth = 100 * (med(runs["peak", "yuv2h264", 750]) / med(runs["peak", "yuv2h264", 25]) - 1)

print(open(f"{results}/checks.txt").read())
verdicts = [
    (med(runs["ratio", 250]), MAX_RATIO, "wall time, 250 frames: {:.2f}x ffmpeg's (≤ {:g}x)"),
    (med(runs["ratio", 750]), MAX_RATIO, "wall time, 750 frames: {:.2f}x ffmpeg's (≤ {:g}x)"),
    (med(shares), MAX_SHARE, "own per-frame work: {:.2f} % of the encoder's (≤ {:g} %)"),
    (peak, MAX_PEAK, "peak memory: at most {:.1f} MiB (≤ {:g} MiB)"),
    (growth, MAX_GROWTH, "flat memory: {:+.1f} % on 750 frames over 25 (≤ +{:g} %)")]
for value, limit, text in verdicts:
    print("PASS" if value <= limit else "MISS", text.format(value, limit), sep="  ")


def spread(values, digits):
    return f"{med(values):.{digits}f} ({min(values):.{digits}f}–{max(values):.{digits}f})"


def row(figure, ours, theirs="—", ratio="—", target="—"):
    print(f"| {figure} | {ours} | {theirs} | {ratio} | {target} |")


print(f"\nMedian (min–max) of all runs; the ratio's of {len(runs['ratio', 250])} rounds' "
      "medians; latency: each run's median and max of 100 frames, one every 80 ms.\n")
row("Figure", "yuv2h264", "ffmpeg, same libx264 settings", "yuv2h264 / ffmpeg", "Target")
row(*["---"] * 5)
for f in (250, 750):
    row(f"wall time, {f} frames (s)", spread(runs["yuv2h264", f], 3),
        spread(runs["ffmpeg", f], 3), spread(runs["ratio", f], 2), f"≤ {MAX_RATIO}")
    row(f"frames per second, {f} frames", spread(runs["fps", "yuv2h264", f], 0),
        spread(runs["fps", "ffmpeg", f], 0))
for f in (25, 250, 750):
    row(f"peak memory, {f} frames (MiB)", spread(runs["peak", "yuv2h264", f], 1),
        spread(runs["peak", "ffmpeg", f], 1), target=f"≤ {MAX_PEAK:g}")
row("peak memory, 750 vs 25 frames", f"{growth:+.1f} %", target=f"≤ +{MAX_GROWTH:g} %")
row("(a) read a frame: `read_i420_frame` (µs)", spread(read, 2))
row("(b) write a frame's NAL units to a file (µs)", spread(write, 2))
row("(b) the same to /dev/null (µs)", spread(runs["write_frame/dev_null"], 2))
row("(c) encode a frame: `x264_encoder_encode` (µs)", spread(encode, 0))
row("(a) + (b), share of (c)", spread(shares, 2) + " %", target=f"≤ {MAX_SHARE:g} %")
for stat in ("median", "max"):
    row(f"live latency through named pipes, {stat} (ms)",
        spread(runs[f"{stat}_ms", "yuv2h264"], 1), spread(runs[f"{stat}_ms", "ffmpeg"], 1))
print(f"\nMachine: {machine}.")
