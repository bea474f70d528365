#!/usr/bin/env python3
"""Draws veltrano-probe's per-frame timings (NAME-timings.csv) as a PNG chart:
sample intervals over time and, for frames sent by veltrano-feed, end-to-end latency.

    python3 tools/plot_timings.py build/demo-output/pattern-timings.csv chart.png [--title TEXT]
"""
import argparse
import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (after choosing the backend)


def read_timings(path):
    arrival, interval, latency_at, latency = [], [], [], []
    with open(path, newline="") as file:
        for row in csv.DictReader(file):
            at = float(row["arrival_ms"]) / 1000.0
            if row["interval_ms"]:
                arrival.append(at)
                interval.append(float(row["interval_ms"]))
            if row["latency_ms"]:
                latency_at.append(at)
                latency.append(float(row["latency_ms"]))
    return arrival, interval, latency_at, latency


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("csv", help="timings CSV written by veltrano-probe")
    parser.add_argument("png", help="chart to write")
    parser.add_argument("--title", default="veltrano-probe timings")
    args = parser.parse_args()

    try:
        arrival, interval, latency_at, latency = read_timings(args.csv)
    except (OSError, KeyError, ValueError) as error:
        print(f"plot_timings: cannot read {args.csv}: {error}", file=sys.stderr)
        return 2
    if not interval:
        print(f"plot_timings: {args.csv} has fewer than two frames", file=sys.stderr)
        return 2

    rows = 2 if latency else 1
    figure, axes = plt.subplots(rows, 1, figsize=(10, 3.2 * rows), sharex=True, squeeze=False)
    top = axes[0][0]
    top.plot(arrival, interval, ".", markersize=3, color="tab:blue")
    top.axhline(1000.0 / 30.0, color="grey", linewidth=0.8, linestyle="--", label="33.3 ms (30 fps)")
    top.set_ylabel("sample interval (ms)")
    # Keep the start-up gap from flattening the steady-state scale.
    steady = sorted(interval[1:] or interval)
    ceiling = max(50.0, steady[int(0.999 * (len(steady) - 1))] * 1.2)
    top.set_ylim(0, ceiling)
    if interval[0] > ceiling:
        top.annotate(f"start-up gap {interval[0]:.0f} ms (off scale)", xy=(arrival[0], ceiling * 0.92),
                     fontsize=8, color="tab:blue")
    top.legend(loc="upper right")
    top.set_title(args.title)
    if latency:
        bottom = axes[1][0]
        bottom.plot(latency_at, latency, ".", markersize=3, color="tab:orange")
        bottom.set_ylabel("feed-to-probe latency (ms)")
        bottom.set_ylim(0, max(latency) * 1.15)
    axes[-1][0].set_xlabel("time since Run (s)")
    figure.tight_layout()
    figure.savefig(args.png, dpi=100)
    print(f"wrote {args.png}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
