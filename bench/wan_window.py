#!/usr/bin/env python3
"""Measures TCP over a long path: FLENKO with its default 128 KiB buffers and with
--window=auto against iperf3 with its defaults, through a path of 20 ms round trip (the
delay path between two TUN devices, capped at 200 Mbit/s), 32 KiB blocks, both directions.

Runs alternate, so drift of the machine weighs on every tool alike; figures are medians over
the runs. Like with like: a sending direction is the sender's own figure for both tools
(FLENKO's Tx, iperf3's sum_sent), a receiving one the receiver's (FLENKO's Rx, iperf3 -R's
sum_received). Needs root, iperf3 and a build with -DFLENKO_BENCH=ON. Writes its section of
docs/BENCHMARKS.md unless --no-write.
"""

import argparse
import datetime
import json
import os
import platform
import random
import signal
import statistics
import subprocess
import time

from benchmarks_md import write_section

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HEADING = "## Long paths: socket buffers"
CLIENT_NS = "flenko-wan-client"
SERVER_NS = "flenko-wan-server"
SERVER_ADDRESS = "fd00:de1a::2"
MIB = 1024**2


def inside(namespace, argv):
    return ["ip", "netns", "exec", namespace] + argv


def start(argv):
    process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    return process


def stop(process):
    process.send_signal(signal.SIGINT)
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def flenko_rates(flenko, port, window):
    argv = [flenko, "-t", "-b", "32k", "-p", str(port), "--json"] + window + [SERVER_ADDRESS]
    out = subprocess.run(inside(CLIENT_NS, argv), check=True, capture_output=True,
                         text=True).stdout
    result = json.loads(out)["results"][0]
    return result["tx"]["bytes_per_second"], result["rx"]["bytes_per_second"]


def iperf3_rate(port, reverse, seconds):
    argv = ["iperf3", "-c", SERVER_ADDRESS, "-p", str(port), "-l", "32K", "-t", str(seconds),
            "-J"] + (["-R"] if reverse else [])
    end = json.loads(subprocess.run(inside(CLIENT_NS, argv), check=True, capture_output=True,
                                    text=True).stdout)["end"]
    # The client's own side of the transfer: its sending, or with -R its receiving.
    figure = end["sum_received"] if reverse else end["sum_sent"]
    return figure["bits_per_second"] / 8


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--reps", type=int, default=3, help="runs of each (3)")
    parser.add_argument("--rtt-ms", type=float, default=20.0)
    parser.add_argument("--rate-mbit", type=float, default=200.0)
    parser.add_argument("--port", type=int, default=random.randrange(40000, 50000, 100))
    parser.add_argument("--no-write", action="store_true")
    args = parser.parse_args()
    flenko = os.path.join(args.build, "flenko")
    seconds = 6  # FLENKO's phase length, for iperf3 too

    path = subprocess.Popen(
        [os.path.join(args.build, "flenko_delay_path"), "--client", CLIENT_NS, "--server",
         SERVER_NS, "--rtt-ms", str(args.rtt_ms), "--rate-mbit", str(args.rate_mbit)],
        stdout=subprocess.PIPE, text=True)
    if path.stdout.readline().strip() != "ready":
        raise RuntimeError("the delay path did not come up")
    servers = [
        start(inside(SERVER_NS, [flenko, "-s", "-t", "-p", str(args.port)])),
        start(inside(SERVER_NS, [flenko, "-s", "-t", "-p", str(args.port + 10), "--window=auto"])),
        start(inside(SERVER_NS, ["iperf3", "-s", "-p", str(args.port + 20)])),
    ]
    rates = {name: {"tx": [], "rx": []} for name in ("default", "auto", "iperf3")}
    try:
        for rep in range(args.reps):
            tx, rx = flenko_rates(flenko, args.port, [])
            rates["default"]["tx"].append(tx)
            rates["default"]["rx"].append(rx)
            tx, rx = flenko_rates(flenko, args.port + 10, ["--window=auto"])
            rates["auto"]["tx"].append(tx)
            rates["auto"]["rx"].append(rx)
            rates["iperf3"]["tx"].append(iperf3_rate(args.port + 20, False, seconds))
            rates["iperf3"]["rx"].append(iperf3_rate(args.port + 20, True, seconds))
            print(f"rep {rep + 1}/{args.reps} done", flush=True)
    finally:
        for server in servers:
            stop(server)
        stop(path)

    cap = 131072 / (args.rtt_ms / 1000)
    median = {name: {d: statistics.median(v) for d, v in ds.items()} for name, ds in rates.items()}
    lines = [
        HEADING,
        "",
        f"`bench/wan_window.py`, {datetime.date.today()}, {platform.node()} "
        f"({os.cpu_count()} CPUs, {platform.release()}): TCP, 32 KiB blocks, 6-second phases, "
        f"through the delay path (`flenko_delay_path`) of {args.rtt_ms:g} ms round trip capped at "
        f"{args.rate_mbit:g} Mbit/s, {args.reps} alternating runs each, medians in MiB/s. "
        f"128 KiB ÷ RTT is {cap / MIB:.2f} MiB/s.",
        "",
        "| direction | FLENKO default | ÷ (128 KiB ÷ RTT) | FLENKO `--window=auto` | iperf3 defaults "
        "| auto ÷ iperf3 |",
        "|---|---|---|---|---|---|",
    ]
    for direction, name in (("tx", "client sends"), ("rx", "client receives")):
        default, auto, iperf = (median[n][direction] for n in ("default", "auto", "iperf3"))
        lines.append(f"| {name} | {default / MIB:.2f} | {default / cap:.2f} | {auto / MIB:.2f} | "
                     f"{iperf / MIB:.2f} | {auto / iperf:.3f} |")
    lines += [
        "",
        "Linux doubles the 128 KiB asked for each buffer, for its bookkeeping, and sizes TCP's "
        "window from the doubled space, so the default carries somewhat more than 128 KiB per "
        "round trip, but never the path's rate: the cap shows, and `--window=auto` lifts it.",
    ]
    text = "\n".join(lines) + "\n"
    print(text)
    if not args.no_write:
        write_section(HEADING, text)


if __name__ == "__main__":
    main()
