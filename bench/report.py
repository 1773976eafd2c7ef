#!/usr/bin/env python3
"""usage: report.py RESULTS MACHINE: the verdicts and the README's table from scripts/bench."""
import glob
import json
import os
import statistics
import sys
from collections import defaultdict

MAX_RATIO = 0.95  # the program's wall time over ffmpeg's
MAX_SHARE = 2.0  # per cent of a frame's encode, for reading and writing the frame
MAX_PEAK = 16.0  # MiB
MAX_GROWTH = 10.0  # per cent, peak memory on 750 frames over 25
TOOLS = ("yuv2h264", "ffmpeg")


def read_json(path):
    with open(path) as file:
        return json.load(file)


def add_wall_times(runs, results):
    for path in glob.glob(os.path.join(results, "round-*.json")):
        medians = {}
        for result in read_json(path)["results"]:
            frames = int(result["parameters"]["frames"])
            tool = "yuv2h264" if result["command"].endswith("/yuv2h264") else "ffmpeg"
            runs[f"seconds {frames}", tool] += result["times"]
            runs[f"fps {frames}", tool] += [frames / seconds for seconds in result["times"]]
            medians[tool, frames] = statistics.median(result["times"])
        for frames in (250, 750):
            runs[f"ratio {frames}"].append(medians["yuv2h264", frames] / medians["ffmpeg", frames])


def add_peaks_and_latencies(runs, results):
    """Lines of "TOOL FRAMES KIB"; for each tool, lines of "MEDIAN_MS MAX_MS"."""
    with open(os.path.join(results, "peaks.txt")) as file:
        for line in file:
            tool, frames, kib = line.split()
            runs[f"peak {frames}", tool].append(int(kib) / 1024)
    for tool in TOOLS:
        with open(os.path.join(results, f"live-{tool}.txt")) as file:
            for line in file:
                median, maximum = line.split()
                runs["latency median", tool].append(float(median))
                runs["latency max", tool].append(float(maximum))


def add_frame_costs(runs, results):
    for bench in read_json(os.path.join(results, "frame_io.json"))["benchmarks"]:
        if bench.get("error_occurred"):
            sys.exit(f"{bench['name']}: {bench['error_message']}")
        if bench["run_type"] == "iteration":  # a pass, not an aggregate
            output = bench["run_name"].split("/")[0]  # file or dev_null
            for counter in ("read_us", "encode_us", "write_us", "share"):
                runs[counter, output].append(bench[counter])


def spread(values, digits):
    median = statistics.median(values)
    return f"{median:.{digits}f} ({min(values):.{digits}f}–{max(values):.{digits}f})"


def cells(runs, figure, digits):  # the program's figure and ffmpeg's
    return [spread(runs[figure, tool], digits) for tool in TOOLS]


def row(figure, ours, theirs="—", ratio="—", target="—"):
    print(f"| {figure} | {ours} | {theirs} | {ratio} | {target} |")


def verdict(value, limit, text):
    print("PASS" if value <= limit else "MISS", text.format(value, limit), sep="  ")


def main():
    results, machine = sys.argv[1:]
    runs = defaultdict(list)  # each figure's values: one per run, round or pass
    add_wall_times(runs, results)
    add_peaks_and_latencies(runs, results)
    add_frame_costs(runs, results)
    growth = 100 * (
        statistics.median(runs["peak 750", "yuv2h264"])
        / statistics.median(runs["peak 25", "yuv2h264"])
        - 1
    )

    for frames in (250, 750):
        verdict(
            statistics.median(runs[f"ratio {frames}"]),
            MAX_RATIO,
            f"wall time, {frames} frames: {{:.2f}}x ffmpeg's (≤ {{:g}}x)",
        )
    verdict(
        statistics.median(runs["share", "file"]),
        MAX_SHARE,
        "own per-frame work: {:.2f} % of the encoder's (≤ {:g} %)",
    )
    peak = max(max(runs[f"peak {frames}", "yuv2h264"]) for frames in (25, 250, 750))
    verdict(peak, MAX_PEAK, "peak memory: at most {:.1f} MiB (≤ {:g} MiB)")
    verdict(growth, MAX_GROWTH, "flat memory: {:+.1f} % on 750 frames over 25 (≤ +{:g} %)")

    print("\nMedian (min–max) over all runs, rounds (the ratios) or passes ((a)–(c)):\n")
    row("Figure", "yuv2h264", "ffmpeg, same libx264 settings", "yuv2h264 / ffmpeg", "Target")
    row(*["---"] * 5)
    for frames in (250, 750):
        row(
            f"wall time, {frames} frames (s)",
            *cells(runs, f"seconds {frames}", 3),
            spread(runs[f"ratio {frames}"], 2),
            f"≤ {MAX_RATIO}",
        )
        row(f"frames per second, {frames} frames", *cells(runs, f"fps {frames}", 0))
    for frames in (25, 250, 750):
        row(
            f"peak memory, {frames} frames (MiB)",
            *cells(runs, f"peak {frames}", 1),
            target=f"≤ {MAX_PEAK:g}",
        )
    row("peak memory, 750 vs 25 frames", f"{growth:+.1f} %", target=f"≤ +{MAX_GROWTH:g} %")
    for stat in ("median", "max"):
        row(f"live latency through named pipes, {stat} (ms)", *cells(runs, f"latency {stat}", 1))
    row("(a) read a frame: `read_i420_frame` (µs)", spread(runs["read_us", "file"], 2))
    row("(b) write a frame's NAL units to a file (µs)", spread(runs["write_us", "file"], 2))
    row("(b) the same to /dev/null (µs)", spread(runs["write_us", "dev_null"], 2))
    row("(c) encode a frame: `x264_encoder_encode` (µs)", spread(runs["encode_us", "file"], 0))
    row(
        "(a) + (b), share of (c)",
        spread(runs["share", "file"], 2) + " %",
        target=f"≤ {MAX_SHARE:g} %",
    )
    print(f"\nMachine: {machine}.")


if __name__ == "__main__":
    main()
