#!/usr/bin/env python3
"""Measures what UDP segmentation offload (--offload) gives, between two network namespaces
joined by a veth pair (no qdisc) at MTU 9000 and 1500.

For 1 KiB datagrams at both MTUs and 8 KiB at MTU 9000, unpaced, each direction timed by its
receiver, in rounds that alternate the order of the runs:
  off:         --offload=off on both sides: one datagram per system call each way;
  GSO:         the sender batches, the receiver takes datagrams one by one as a peer
               without the option does (--offload=off on the receiving side);
  GSO+GRO:     --offload=auto on both sides;
  iperf3:      iperf 3.12 -u -b 0 at the same size and socket buffers, both directions.
Delivered rates (what arrived), loss (from the senders' and receivers' exact counts), and
CPU seconds of both processes per GiB delivered, from each phase's CPU figures (FLENKO) or
iperf3's own cpu_utilization_percent. Then the FLENKO modes again, paced on both sides to
one offered rate per case (half of what arrived without offload), for the loss offload
itself adds.

And the receiving path on its own: unpaced UDP at every default size at MTU 1500, sent by
the build before offload, received by that build or by this one (--offload=auto: UDP_GRO on,
each message's block in the shared buffer), in pairs of runs back to back, alternating.

Needs root, iperf3 and two Release builds (see --build and --before-build; the older one is
built from a temporary git worktree of --before-commit when missing). Writes its section of
docs/BENCHMARKS.md unless --no-write.
"""

import argparse
import datetime
import json
import math
import os
import platform
import signal
import subprocess
import sys
import time

from benchmarks_md import write_section
from paced_rate import (DEFAULT_SIZES, SERVER_ADDRESS, Namespaces, build_before, build_commit,
                        clean_up, client_phase, field, flenko_run, fresh_port, inside,
                        load_average, median, run, server_line, start_server, stop_server,
                        troubles)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HEADING = "## UDP segmentation offload"
CASES = [(9000, 1024), (1500, 1024), (9000, 8192)]
MODES = ["off", "gso", "gso_gro", "iperf3"]
MODE_NAMES = {"off": "off", "gso": "GSO, receiver without GRO", "gso_gro": "GSO + GRO",
              "iperf3": "iperf3"}
# The goals: delivered with offload ÷ without, per case and mode.
GOALS = {(9000, 1024): {"gso": 2.5, "gso_gro": 10.0}, (1500, 1024): {"gso": 2.5, "gso_gro": 10.0},
         (9000, 8192): {"gso_gro": 1.5}}
# A round's FLENKO runs: the mode and the client's and the server's --offload. Each direction
# of "gso" comes from the run in which its sender batches.
FLENKO_PLAN = [("off", ("off", "off")), ("gso", ("auto", "off")), ("gso", ("off", "auto")),
               ("gso_gro", ("auto", "auto"))]
# The last commit without offload.
BEFORE_OFFLOAD = "e6ead37"
MIB = 1024**2
GIB = 1024**3


def set_mtu(nets, mtu):
    for ns, link in nets.links.items():
        run(["ip", "-n", ns, "link", "set", "dev", link, "mtu", str(mtu)])


def phase_cpu(phase):
    if not phase or not phase.get("cpu"):
        return 0.0
    cpu = phase["cpu"]
    return (cpu.get("user_seconds") or 0.0) + (cpu.get("system_seconds") or 0.0)


def flenko_directions(nets, flenko, seconds, size, client_offload, server_offload, rate=None):
    """One run: per direction (up: client → server) what arrived (bytes/s), the loss share
    from the exact counts, the CPU seconds of both processes and the bytes delivered."""
    document, lines = flenko_run(nets, flenko, "-u", seconds, size, rate=rate,
                                 client_extra=[f"--offload={client_offload}"],
                                 server_extra=[f"--offload={server_offload}"])
    figures = {}
    pairs = {"up": (client_phase(document, "tx", size), server_line(lines, "rx", size)),
             "down": (server_line(lines, "tx", size), client_phase(document, "rx", size))}
    for direction, (sender, receiver) in pairs.items():
        if not sender or not receiver or not receiver.get("bytes_per_second"):
            figures[direction] = None
            continue
        sent = sender.get("datagrams") or 0
        arrived = receiver.get("datagrams") or 0
        figures[direction] = {
            "rate": receiver["bytes_per_second"],
            "loss": (sent - arrived) / sent if sent else float("nan"),
            "cpu": phase_cpu(sender) + phase_cpu(receiver),
            "bytes": receiver["bytes"],
            "segmentation": sender.get("segmentation"),
        }
    return figures


def iperf3_directions(nets, seconds, size):
    port = fresh_port()
    server = start_server(inside(nets.server, ["iperf3", "-s", "-p", str(port), "--forceflush"]),
                          "Server listening")
    figures = {}
    try:
        for direction, reverse in (("up", False), ("down", True)):
            argv = ["iperf3", "-c", SERVER_ADDRESS, "-p", str(port), "-u", "-b", "0", "-l",
                    str(size), "-w", "128K", "-t", str(seconds), "-J"] + (["-R"] if reverse else [])
            done = subprocess.run(inside(nets.client, argv), capture_output=True, text=True,
                                  timeout=seconds + 60)
            try:
                end = json.loads(done.stdout)["end"]
                received = end["sum_received"]
                usage = end["cpu_utilization_percent"]
            except (json.JSONDecodeError, KeyError) as failure:
                troubles.append(f"iperf3 {' '.join(argv)}: {failure}")
                figures[direction] = None
                continue
            length = received["seconds"]
            figures[direction] = {
                "rate": received["bytes"] / length,
                "loss": end["sum"]["lost_percent"] / 100,
                "cpu": (usage["host_total"] + usage["remote_total"]) / 100 * length,
                "bytes": received["bytes"],
                "segmentation": None,
            }
    finally:
        stop_server(server)
    return figures


def rotated(plan, round_index):
    """The runs of a round in another order each round, so that no mode always follows
    the same one."""
    shift = round_index % len(plan)
    plan = plan[shift:] + plan[:shift]
    return plan[::-1] if round_index % 2 else plan


def keep(store, log, figures, mode, sides, tags):
    """Files one run's figures per direction under (mtu, size, mode, direction), and logs
    them with tags; a "gso" run gives only the direction in which its sender batches."""
    for direction, entry in figures.items():
        if mode == "gso" and (direction == "up") != (sides[0] == "auto"):
            continue
        store.setdefault((tags["mtu"], tags["size"], mode, direction), []).append(entry)
        log.append({**tags, "mode": mode, "sides": sides, "direction": direction,
                    **(entry or {})})


def no_more_loss(row, base):
    """Whether a row loses no more than the run without offload, half a point allowed."""
    return row["loss"] <= max(base["loss"], 0) + 0.005


def measure(nets, flenko, rounds, seconds, log):
    """Per (mtu, size, mode, direction): the runs' figures."""
    runs = {}
    for round_index in range(rounds):
        for mtu, size in CASES:
            set_mtu(nets, mtu)
            for mode, sides in rotated(FLENKO_PLAN + [("iperf3", None)], round_index):
                if mode == "iperf3":
                    figures = iperf3_directions(nets, seconds, size)
                else:
                    figures = flenko_directions(nets, flenko, seconds, size, *sides)
                keep(runs, log, figures, mode, sides,
                     {"round": round_index, "mtu": mtu, "size": size})
            print(f"  round {round_index + 1}/{rounds}, MTU {mtu}, {size} bytes done", flush=True)
    return runs


def same_offered_rate(runs, mtu, size):
    """Half of what arrived without offload, the slower direction's median, as a --rate
    value in Mbit/s of two significant digits: a rate both ways can carry, which leaves
    the receivers room."""
    rates = [summary(runs.get((mtu, size, "off", direction), []))["rate"]
             for direction in ("up", "down")]
    rates = [rate for rate in rates if not math.isnan(rate) and rate]
    if not rates:
        return None
    megabits = min(rates) * 8 / 2 / 1e6
    scale = 10 ** max(0, len(str(int(megabits))) - 2)
    return max(1, int(megabits) // scale * scale)


def measure_paced(nets, flenko, runs, rounds, seconds, log):
    """Per (mtu, size, mode, direction): the runs' figures at one offered rate per case,
    and per case that rate in Mbit/s."""
    paced = {}
    offered = {}
    for round_index in range(rounds):
        for mtu, size in CASES:
            megabits = offered.setdefault((mtu, size), same_offered_rate(runs, mtu, size))
            if not megabits:
                continue
            set_mtu(nets, mtu)
            for mode, sides in rotated(FLENKO_PLAN, round_index):
                figures = flenko_directions(nets, flenko, seconds, size, *sides,
                                            rate=f"{megabits}M")
                keep(paced, log, figures, mode, sides,
                     {"paced": megabits, "round": round_index, "mtu": mtu, "size": size})
        print(f"  paced round {round_index + 1}/{rounds} done", flush=True)
    return paced, offered


def paced_lines(paced, offered):
    lines = ["| MTU | datagram | direction | offered (Mbit/s) | mode | delivered (MiB/s) | loss "
             "| loss ≤ off's |", "|---:|---:|---|---:|---|---:|---:|---|"]
    verdicts = []
    for mtu, size in CASES:
        if not offered.get((mtu, size)):
            continue
        for direction, name in (("up", "client → server"), ("down", "server → client")):
            base = summary(paced.get((mtu, size, "off", direction), []))
            for mode in ("off", "gso", "gso_gro"):
                row = summary(paced.get((mtu, size, mode, direction), []))
                met = ""
                if mode != "off":
                    passed = no_more_loss(row, base)
                    met = "yes" if passed else "**no**"
                    verdicts.append(passed)
                lines.append(f"| {mtu} | {size} | {name} | {offered[(mtu, size)]:,} "
                             f"| {MODE_NAMES[mode]} | {row['rate'] / MIB:,.1f} "
                             f"| {100 * row['loss']:.2f} % | {met} |")
    return lines, verdicts


def measure_receiving(nets, before, now, rounds, seconds, log):
    """Per (receiver build, size): what the server received from a client of the build
    before, with the round each run belongs to."""
    set_mtu(nets, 1500)
    rates = {}
    for round_index in range(rounds):
        for size_index, size in enumerate(DEFAULT_SIZES):
            order = ["before", "now"]
            if (round_index + size_index) % 2:
                order.reverse()
            for name in order:
                _, lines = flenko_run(nets, before, "-u", seconds, size,
                                      server_flenko=now if name == "now" else before)
                rate = field(server_line(lines, "rx", size), "bytes_per_second")
                rates.setdefault((name, size), []).append((round_index, rate))
                log.append({"what": "receiving", "receiver": name, "size": size,
                            "round": round_index, "rate": rate})
        print(f"  receiving {round_index + 1}/{rounds} done", flush=True)
    return rates


def receiving_lines(rates):
    lines = ["| datagram | received by the build before (MiB/s) | by this build | this ÷ before "
             "(pairs) |", "|---:|---:|---:|---:|"]
    for size in DEFAULT_SIZES:
        before = dict(rates.get(("before", size), []))
        now = dict(rates.get(("now", size), []))
        ratios = sorted(now[r] / before[r] for r in before if before[r] and now.get(r))
        spread = f" ({ratios[0]:.2f}–{ratios[-1]:.2f})" if ratios else ""
        lines.append(f"| {size} | {median(list(before.values())) / MIB:,.1f} "
                     f"| {median(list(now.values())) / MIB:,.1f} "
                     f"| {median(ratios):.3f}{spread} |")
    return lines


def summary(entries):
    """Medians of the runs that gave figures, and CPU seconds per GiB over all of them."""
    entries = [e for e in entries if e]
    moved = sum(e["bytes"] for e in entries)
    return {
        "rate": median([e["rate"] for e in entries]),
        "loss": median([e["loss"] for e in entries]),
        "cpu_per_gib": sum(e["cpu"] for e in entries) / (moved / GIB) if moved else float("nan"),
        "runs": len(entries),
        "segmented": all(e["segmentation"] for e in entries) if entries else None,
    }


def section_lines(runs):
    lines = [
        "| MTU | datagram | direction | mode | delivered (MiB/s) | ÷ off | goal | loss "
        "| CPU s per GiB | ÷ iperf3 |",
        "|---:|---:|---|---|---:|---:|---|---:|---:|---:|",
    ]
    verdicts = []
    for mtu, size in CASES:
        for direction, name in (("up", "client → server"), ("down", "server → client")):
            figures = {mode: summary(runs.get((mtu, size, mode, direction), []))
                       for mode in MODES}
            base = figures["off"]
            for mode in MODES:
                row = figures[mode]
                ratio = row["rate"] / base["rate"] if base["rate"] else float("nan")
                against = row["rate"] / figures["iperf3"]["rate"] \
                    if figures["iperf3"]["rate"] else float("nan")
                goal = GOALS[(mtu, size)].get(mode)
                met = ""
                if goal:
                    faster = ratio >= goal
                    lossless = no_more_loss(row, base)
                    met = (f"≥ {goal:g}×: {'yes' if faster else '**no**'}; loss ≤ off's: "
                           f"{'yes' if lossless else '**no**'}")
                    verdicts.append(faster and lossless)
                lines.append(
                    f"| {mtu} | {size} | {name} | {MODE_NAMES[mode]} | {row['rate'] / MIB:,.1f} "
                    f"| {ratio:.2f} | {met} | {100 * row['loss']:.2f} % "
                    f"| {row['cpu_per_gib']:.2f} | {against:.2f} |")
    return lines, verdicts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "bench-offload"),
                        help="Release build of this tree (build/bench-offload)")
    parser.add_argument("--before-build", default=os.path.join(ROOT, "build", "bench-before-offload"),
                        help="Release build of --before-commit, made when missing "
                        "(build/bench-before-offload)")
    parser.add_argument("--before-commit", default=BEFORE_OFFLOAD,
                        help=f"the commit without offload, for the receiving path ({BEFORE_OFFLOAD})")
    parser.add_argument("--rounds", type=int, default=3,
                        help="runs of every mode, case and direction (3)")
    parser.add_argument("--paced-rounds", type=int, default=5,
                        help="runs of every mode, case and direction at one offered rate; their "
                        "loss scatters more than the rates do (5)")
    parser.add_argument("--receiving-rounds", type=int, default=3,
                        help="pairs of runs per size for the receiving path; 0 leaves it out (3)")
    parser.add_argument("--seconds", type=int, default=3, help="phase length (3)")
    parser.add_argument("--raw", help="also write every run's figures to this JSON file")
    parser.add_argument("--no-write", action="store_true")
    args = parser.parse_args()
    flenko = os.path.join(args.build, "flenko")
    if not os.path.exists(flenko):
        sys.exit(f"no {flenko}: build with -DCMAKE_BUILD_TYPE=Release first")
    before = os.path.join(args.before_build, "flenko")
    if args.receiving_rounds and not os.path.exists(before):
        print(f"building {args.before_commit} in {args.before_build}", flush=True)
        build_before(args.before_build, args.before_commit)
    iperf3 = subprocess.run(["iperf3", "--version"], capture_output=True, text=True)
    iperf3_version = iperf3.stdout.splitlines()[0] if iperf3.stdout else "none"

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    commit = build_commit(args.build)
    started = time.monotonic()
    load_before = load_average()
    log = []
    nets = Namespaces()
    receiving = None
    try:
        nets.open()
        runs = measure(nets, flenko, args.rounds, args.seconds, log)
        paced, offered = measure_paced(nets, flenko, runs, args.paced_rounds, args.seconds,
                                        log)
        if args.receiving_rounds:
            receiving = measure_receiving(nets, before, flenko, args.receiving_rounds,
                                          args.seconds, log)
    finally:
        clean_up(nets, args.raw, log)
    elapsed = time.monotonic() - started
    load_after = load_average()
    table, verdicts = section_lines(runs)
    paced_table, paced_verdicts = paced_lines(paced, offered)
    lines = [
        HEADING,
        "",
        f"`bench/offload.py`, {datetime.date.today()}, {platform.node()} "
        f"({os.cpu_count()} CPUs, {platform.machine()}, Linux {platform.release()}), "
        f"{elapsed / 60:.0f} minutes, load average {load_before:.1f} before and "
        f"{load_after:.1f} after; Release build of {commit}, {iperf3_version}. Two network "
        "namespaces joined by a veth pair without a qdisc, unpaced UDP, "
        f"{args.seconds}-second phases, default socket buffers (128 KiB, iperf3 `-w 128K`). "
        f"Medians of {args.rounds} runs per row, the runs of a round in rotating order: the "
        "host's two cores are shared with other work that comes and goes, so single runs "
        "scatter widely and only ratios of medians are worth reading. Delivered is what "
        "arrived, from the receiver; loss from the sender's and the receiver's exact counts "
        "(iperf3: its own); CPU is both processes' user and system time over the phases (iperf3: "
        "its `cpu_utilization_percent` of both ends) per GiB delivered. \"GSO, receiver "
        "without GRO\" has the sender batch and the receiver take datagrams one by one, as "
        "a peer without the option does (`--offload=off` on the receiving side).",
        "",
        *table,
        "",
        "On veth a batch crosses to the other namespace whole, so with GRO on both sides the "
        "receiver takes it in one call: that row is a ceiling of this virtual link, not of a "
        "NIC, where the batch leaves as separate datagrams and the receiver's GRO rebuilds "
        "what it can.",
        "",
        "Unpaced, a sender sends as fast as it can, so the loss there is the share it sends "
        "beyond what its receiver takes in time: offload makes the sender many times faster, "
        "so wherever the receiver becomes the limit it loses more, while what arrives grows "
        "many times. Whether offload itself loses datagrams shows only at one offered rate: "
        "the same runs again, paced on both sides (`--rate`) to half of what arrived without "
        "offload in the slower direction, so that every mode offers the receiver the same "
        f"datagrams at the same times; medians of {args.paced_rounds} runs, since a single "
        "run's loss here can be many times the median when the host stalls a receiver.",
        "",
        *paced_table,
    ]
    if receiving is not None:
        before_commit = build_commit(args.before_build)
        if before_commit == "an unknown commit":
            # A build from an exported tree: the commit it was exported from.
            before_commit = run(["git", "-C", ROOT, "rev-parse", "--short",
                                 args.before_commit]).stdout.strip()
        lines += [
            "",
            "### Receiving from a sender without offload",
            "",
            f"Every default datagram size at MTU 1500, client and sender the build of "
            f"{before_commit} (one datagram per call), the server (the "
            f"receiver) that build or this one with `--offload=auto` (`UDP_GRO` on, each "
            "message's block in the one shared buffer, a train's further datagrams in an area "
            f"of the message's own); "
            f"{args.receiving_rounds} pairs of runs per size, back to back, alternating who "
            "goes first. Medians of what the server received; this ÷ before is the median of "
            "the pairs' ratios, their range in brackets.",
            "",
            *receiving_lines(receiving),
        ]
    text = "\n".join(lines) + "\n"
    print()
    print(text)
    print(f"ran {elapsed:.0f} s; goals met unpaced: {sum(verdicts)} of {len(verdicts)}, "
          f"paced loss: {sum(paced_verdicts)} of {len(paced_verdicts)}")
    for trouble in troubles:
        print(f"run again: {trouble}")
    if not args.no_write:
        write_section(HEADING, text)


if __name__ == "__main__":
    main()
