#!/usr/bin/env python3
"""Measures what watching a phase costs: TCP over loopback with and without
--interval=0.1 --verbose, side by side.

Two servers run, a plain one and a watched one; for every block size, client runs against
each alternate in pairs, so that drift of the machine's speed weighs on both alike. The
cost of a size and direction is the median of the pairs' rate ratios (watched / plain),
with a 95 % interval of that median from the pairs themselves (distribution-free, by the
binomial order statistics). This machine's run-to-run noise is far wider than 1 %, so the
watch's own cost is also measured apart from any traffic by bench/watch_probe.cpp: the CPU
time a watch with --interval=0.1 takes per second of phase. Writes its section of
docs/BENCHMARKS.md unless --no-write. Build with -DFLENKO_BENCH=ON.
"""

import argparse
import datetime
import math
import os
import platform
import random
import re
import signal
import statistics
import subprocess
import time

from benchmarks_md import write_section

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIZES = [1024, 2048, 4096, 8192, 16384, 32767]
UNITS = {"Byte/s": 1, "KByte/s": 1024, "MByte/s": 1024**2, "GByte/s": 1024**3}
RATE = r" ([0-9.]+) (Byte/s|KByte/s|MByte/s|GByte/s)"
TCP_LINE = re.compile(r"Packet size .* bytes: " + RATE + r" Tx, " + RATE + r" Rx\.")
WATCH = ["--interval=0.1", "--verbose"]
HEADING = "## Cost of watching a phase"


def median_interval(values):
    """The median and a ~95 % interval for it: the order statistics the binomial(n, 1/2)
    law puts around it (exact coverage >= 95 % where n allows, else the whole range)."""
    ordered = sorted(values)
    n = len(ordered)
    lower = 0
    for k in range(n // 2, -1, -1):
        coverage = 1 - 2 * sum(math.comb(n, i) for i in range(k)) / 2**n
        if coverage >= 0.95:
            lower = k
            break
    return statistics.median(ordered), ordered[max(lower - 1, 0)], ordered[min(n - lower, n - 1)]


def client_rates(flenko, port, size, seconds, watched):
    argv = [flenko, "-t", "-b", str(size), f"--time={seconds}", "-p", str(port)]
    out = subprocess.run(argv + (WATCH if watched else []) + ["::1"], check=True,
                         capture_output=True, text=True).stdout
    match = TCP_LINE.search(out)
    if not match:
        raise RuntimeError(f"no result line in:\n{out}")
    tx = float(match.group(1)) * UNITS[match.group(2)]
    rx = float(match.group(3)) * UNITS[match.group(4)]
    return tx, rx


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "release"),
                        help="build folder holding flenko and watch_probe")
    parser.add_argument("--pairs", type=int, default=10, help="pairs of runs per size (10)")
    parser.add_argument("--seconds", type=int, default=2, help="phase length (2)")
    parser.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")], default=SIZES)
    parser.add_argument("--port", type=int, default=random.randrange(30000, 40000, 100))
    parser.add_argument("--no-write", action="store_true")
    args = parser.parse_args()
    args.flenko = os.path.join(args.build, "flenko")
    probe = subprocess.run([os.path.join(args.build, "watch_probe")], check=True,
                           capture_output=True, text=True).stderr
    figures = dict(line.split(None, 1) for line in probe.splitlines() if line.strip())

    servers = []
    for port, extra in ((args.port, []), (args.port + 10, WATCH)):
        argv = [args.flenko, "-s", "-t", "-p", str(port), f"--time={args.seconds}"] + extra
        servers.append(subprocess.Popen(argv, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL))
    time.sleep(0.5)
    ratios = {(size, d): [] for size in args.sizes for d in ("tx", "rx")}
    plain_rates = {(size, d): [] for size in args.sizes for d in ("tx", "rx")}
    try:
        for pair in range(args.pairs):
            for size in args.sizes:
                order = [False, True] if pair % 2 == 0 else [True, False]
                rates = {}
                for watched in order:
                    port = args.port + (10 if watched else 0)
                    rates[watched] = client_rates(args.flenko, port, size, args.seconds, watched)
                for i, direction in enumerate(("tx", "rx")):
                    ratios[size, direction].append(rates[True][i] / rates[False][i])
                    plain_rates[size, direction].append(rates[False][i])
            print(f"pair {pair + 1}/{args.pairs} done", flush=True)
    finally:
        for server in servers:
            server.send_signal(signal.SIGINT)
            server.wait()

    lines = [
        HEADING,
        "",
        f"`bench/watch_overhead.py`, {datetime.date.today()}, {platform.node()} "
        f"({os.cpu_count()} CPUs, {platform.release()}): TCP over loopback, "
        f"{args.seconds}-second phases, {args.pairs} pairs of runs per size, each pair one run "
        f"without options and one with `{' '.join(WATCH)}` on client and server, in "
        "alternating order. Cost = median of the pairs' rate ratios (watched / plain) − 1, "
        "with a distribution-free 95 % interval of that median.",
        "",
        "| block | plain Tx (MiB/s) | Tx cost | 95 % interval | plain Rx (MiB/s) | Rx cost | 95 % interval |",
        "|---|---|---|---|---|---|---|",
    ]

    def cells(size, direction):
        middle, low, high = median_interval(ratios[size, direction])
        plain = statistics.median(plain_rates[size, direction]) / 1024**2
        return (f"{plain:.1f} | {100 * (middle - 1):+.1f} % | "
                f"{100 * (low - 1):+.1f} … {100 * (high - 1):+.1f} %")

    for size in args.sizes:
        lines.append(f"| {size} | {cells(size, 'tx')} | {cells(size, 'rx')} |")
    lines += [
        "",
        f"Apart from any traffic (`bench/watch_probe.cpp`), a watch with `--interval=0.1` on a "
        f"live TCP connection takes {float(figures['watch_cpu_microseconds_per_second']):.0f} µs "
        f"of CPU per second of phase, {float(figures['watch_share_of_a_core_percent']):.2f} % of "
        "one core: the most it can take from a phase that keeps a core busy. The phase loops "
        "add one plain store per block to publish their count, no system call.",
    ]
    text = "\n".join(lines) + "\n"
    print(text)
    if not args.no_write:
        write_section(HEADING, text)


if __name__ == "__main__":
    main()
