#!/usr/bin/env python3
"""Measures --rate, the jitter figure and the cost of the datagram header, between two
network namespaces joined by a veth pair (no qdisc).

  rates:  TCP and UDP, 1 KiB and 32767-byte blocks, --rate 1M/10M/100M/1G on client and
          server, each direction timed by its receiver (the client's Rx; the server's JSON
          line for what it received); unpaced runs show what the path carries at all;
  cpu:    the sender's share of a core at 1 Mbit/s, from the same runs;
  header: unpaced UDP at every default size, this build against the one before datagrams
          carried a header (commit 9f6422b), runs alternating, medians;
  jitter: UDP, 1 KiB at 100 Mbit/s, the receiver's jitter against iperf3's in both
          directions.

Needs root, iperf3 and two Release builds (see --build, --before-build; the older one is
built from a temporary git worktree when missing). Writes its section of
docs/BENCHMARKS.md unless --no-write.
"""

import argparse
import datetime
import json
import math
import os
import platform
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import time

from benchmarks_md import write_section

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HEADING = "## Paced rates, jitter and the datagram header"
BEFORE_COMMIT = "9f6422b"
SERVER_ADDRESS = "fd00:7a7e::1"
CLIENT_ADDRESS = "fd00:7a7e::2"
RATES = [("1M", 1e6), ("10M", 1e7), ("100M", 1e8), ("1G", 1e9)]
PACED_SIZES = [1024, 32767]
DEFAULT_SIZES = [1024, 2048, 4096, 8192, 16384, 32767]
# Datagrams of 32 KiB at 1 Gbit/s fill the default receive buffer (2 × 128 KiB) in 2 ms:
# the same run with larger buffers tells a receiver that fell behind from the pacing.
BIG_WINDOW_CASE = (32767, "1G", 1e9)
BIG_WINDOW = ("--window=2M",)
GOAL = 0.01  # achieved rate within 1 % of the one asked for
CPU_GOAL_PERCENT = 2.0
JITTER_FLOOR_MS = 0.05
JITTER_SHARE = 0.25
MIB = 1024**2
used_ports = set()


def fresh_port():
    # A new pair (TCP on P, UDP on P + 1) for every run: the last run's sockets may still
    # sit in TIME_WAIT.
    while True:
        port = random.randrange(20000, 59999)
        if port not in used_ports and port + 1 not in used_ports:
            used_ports.update((port, port + 1))
            return port


def median(values):
    values = [v for v in values if v is not None and not math.isnan(v)]
    return statistics.median(values) if values else float("nan")


def run(argv, **kwargs):
    return subprocess.run(argv, check=True, capture_output=True, text=True, **kwargs)


class Namespaces:
    """Two namespaces joined by a veth pair, removed again by close()."""

    def __init__(self):
        tag = os.getpid()
        self.tag = tag
        self.server = f"flenko-rate-s{tag}"
        self.client = f"flenko-rate-c{tag}"
        self.created = []
        self.links = {}

    def open(self):
        tag = self.tag
        for ns in (self.server, self.client):
            run(["ip", "netns", "add", ns])
            self.created.append(ns)
        links = self.links = {self.server: f"rs{tag}", self.client: f"rc{tag}"}
        run(["ip", "link", "add", links[self.server], "netns", self.server, "type", "veth",
             "peer", "name", links[self.client], "netns", self.client])
        for ns, address in ((self.server, SERVER_ADDRESS), (self.client, CLIENT_ADDRESS)):
            # nodad: the address is usable at once, not after duplicate detection.
            run(["ip", "-n", ns, "addr", "add", f"{address}/64", "dev", links[ns], "nodad"])
            run(["ip", "-n", ns, "link", "set", "lo", "up"])
            run(["ip", "-n", ns, "link", "set", links[ns], "up"])

    def close(self):
        for ns in self.created:
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)
        self.created = []


def inside(ns, argv):
    return ["ip", "netns", "exec", ns] + argv


class Server:
    """A server in a namespace, its stdout and stderr kept in files; ready once it says it
    listens."""

    def __init__(self, argv, ready_text, ready_count=1):
        self.out = tempfile.TemporaryFile("w+")
        self.err = tempfile.TemporaryFile("w+")
        self.process = subprocess.Popen(argv, stdout=self.out, stderr=self.err, text=True)
        deadline = time.monotonic() + 10
        # FLENKO says it on stderr when --json holds stdout, iperf3 on stdout.
        while (self.text(self.out) + self.text(self.err)).count(ready_text) < ready_count:
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"server did not start: {' '.join(argv)}\n"
                                   f"{self.text(self.err)}")
            time.sleep(0.02)

    @staticmethod
    def text(file):
        file.seek(0)
        return file.read()

    def lines(self):
        # Whole lines only: the server may be writing the last one.
        whole = self.text(self.out).rpartition("\n")[0]
        return [json.loads(line) for line in whole.splitlines() if line.startswith("{")]

    def wait_for_lines(self, count, seconds=3.0):
        # The server logs a phase just after its last record to the client: the client may
        # be done a moment before.
        deadline = time.monotonic() + seconds
        while len(self.lines()) < count and time.monotonic() < deadline:
            time.sleep(0.02)
        return self.lines()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


servers = []


def start_server(argv, ready_text, ready_count=1):
    server = Server(argv, ready_text, ready_count)
    servers.append(server)
    return server


def stop_server(server):
    server.stop()
    if server in servers:
        servers.remove(server)


troubles = []


def flenko_run(nets, flenko, protocol, seconds, size=None, rate=None, sizes_walked=1,
               extra=(), client_extra=(), server_extra=(), server_flenko=None):
    """One client run against a fresh server, both given the same --rate and --time (and
    extra; client_extra and server_extra go to one side only; the server may be another
    build).
    Returns (client document, server lines). A run whose client leaves no report (killed
    from outside, say: this host is shared) is noted and run again, twice at most."""
    for _ in range(3):
        port = fresh_port()
        common = ["-p", str(port), f"--time={seconds}", "--json"] + list(extra)
        if rate:
            common.append(f"--rate={rate}")
        server = start_server(inside(nets.server, [server_flenko or flenko, "-s", protocol] + common
                                     + list(server_extra)),
                              "server listening.")
        document = None
        try:
            argv = ([flenko, protocol] + (["-b", str(size)] if size else []) + common
                    + list(client_extra))
            timeout = sizes_walked * 2 * seconds + 60
            try:
                done = subprocess.run(inside(nets.client, argv + [SERVER_ADDRESS]),
                                      capture_output=True, text=True, timeout=timeout)
                document = json.loads(done.stdout)
                lines = server.wait_for_lines(2 * sizes_walked)
            except (json.JSONDecodeError, subprocess.TimeoutExpired) as failure:
                said = failure if isinstance(failure, subprocess.TimeoutExpired) else done
                outcome = ("timed out" if isinstance(failure, subprocess.TimeoutExpired)
                           else f"exit {done.returncode}")
                state = "still running" if server.process.poll() is None else "gone"
                troubles.append(f"{' '.join(argv)}: no report ({outcome}); server {state}")
                print(f"  {troubles[-1]}\n  client said:\n{(said.stdout or '')[-600:]}"
                      f"{(said.stderr or '')[-600:]}\n  server said:\n"
                      f"{Server.text(server.err)[-600:]}", file=sys.stderr, flush=True)
        finally:
            stop_server(server)
        if document is None:
            continue
        wanted = 2 * sizes_walked
        if len(lines) < wanted or any(line.get("bytes_per_second") is None for line in lines):
            troubles.append(f"{' '.join(argv)}: server logged {len(lines)} of {wanted} phase "
                            f"lines: {json.dumps(lines)[:1500]}; it said: "
                            f"{Server.text(server.err)[-800:]!r}")
            print(f"  {troubles[-1]}", file=sys.stderr, flush=True)
        if not document.get("completed"):
            print(f"  run ended early: {document.get('ended_early')}; server said:\n"
                  f"{Server.text(server.err)[-2000:]}", file=sys.stderr, flush=True)
        return document, lines
    raise RuntimeError("three runs in a row left no report")


def server_line(lines, direction, size):
    for line in lines:
        if line.get("direction") == direction and line.get("block_size") == size:
            return line
    return None


def client_phase(document, direction, size):
    for result in document.get("results", []):
        if result.get("block_size") == size:
            return result.get(direction)
    return None


def field(phase, name):
    return None if phase is None else phase.get(name)


def offered(phase, size):
    """What the sender put on the path as its receiver tells by sequence: what arrived plus
    the gaps, over the receiver's time; bytes/s, or None for TCP."""
    if phase is None or phase.get("lost_by_sequence") is None or not phase.get("seconds"):
        return None
    return (phase["bytes"] + phase["lost_by_sequence"] * size) / phase["seconds"]


def loss_share(phase, size):
    if phase is None or phase.get("lost_by_sequence") is None:
        return None
    arrived = phase["bytes"] / size
    return phase["lost_by_sequence"] / max(arrived + phase["lost_by_sequence"], 1)


def cpu_percent(phase):
    if phase is None or phase.get("cpu") is None:
        return None
    cpu = phase["cpu"]
    if cpu.get("percent") is not None:
        return cpu["percent"]
    if phase.get("seconds"):
        return 100 * (cpu["user_seconds"] + cpu["system_seconds"]) / phase["seconds"]
    return None


def phase_seconds_for(rate_bits, size, default_seconds):
    # At 1 Mbit/s a 32767-byte block takes 262 ms: a short phase holds so few that one
    # block more or less is several per cent. Six seconds hold ~23.
    return max(default_seconds, 6) if rate_bits * default_seconds / (size * 8) < 50 else \
        default_seconds


def udp_scheduled_ratio(rate_bits, size, seconds):
    """What UDP's pacing schedule alone gives the receiver, as achieved ÷ asked: the first
    block half a block's time after the start, then one every block's time while the phase
    lasts."""
    block = size * 8 / rate_bits
    count = math.floor((seconds - block / 2) / block) + 1
    return count * block / seconds


def measure_rates(nets, flenko, rounds, seconds, log):
    """Per (protocol, size, rate name): lists of the receivers' rates and the senders' CPU;
    rate name None is unpaced."""
    runs = {}
    for round_index in range(rounds):
        for protocol in ("-t", "-u"):
            for size in PACED_SIZES:
                plan = [(name, bits, ()) for name, bits in RATES] + [(None, None, ())]
                if protocol == "-u" and size == BIG_WINDOW_CASE[0]:
                    plan.append((BIG_WINDOW_CASE[1], BIG_WINDOW_CASE[2], BIG_WINDOW))
                if round_index % 2:
                    plan = plan[::-1]
                for name, bits, extra in plan:
                    length = seconds if bits is None else phase_seconds_for(bits, size, seconds)
                    document, lines = flenko_run(nets, flenko, protocol, length, size, name,
                                                 extra=extra)
                    key = (protocol, size, name) + (("window",) if extra else ())
                    record = runs.setdefault(key, [])
                    rx_client = client_phase(document, "rx", size)
                    tx_client = client_phase(document, "tx", size)
                    rx_server = server_line(lines, "rx", size)
                    tx_server = server_line(lines, "tx", size)
                    entry = {
                        "seconds": length,
                        # client -> server, as the server received it
                        "up": field(rx_server, "bytes_per_second"),
                        # server -> client, as the client received it
                        "down": field(rx_client, "bytes_per_second"),
                        "up_offered": offered(rx_server, size),
                        "down_offered": offered(rx_client, size),
                        "up_lost": loss_share(rx_server, size),
                        "down_lost": loss_share(rx_client, size),
                        "client_tx_cpu": cpu_percent(tx_client),
                        "server_tx_cpu": cpu_percent(tx_server),
                        "client_tx_rate": field(tx_client, "bytes_per_second"),
                        "server_tx_rate": field(tx_server, "bytes_per_second"),
                        "completed": document.get("completed"),
                    }
                    record.append(entry)
                    log.append({"what": "rates", "protocol": protocol, "size": size,
                                "rate": name, "extra": list(extra), **entry})
                    asked = f" {entry['up'] * 8 / bits:.4f} / {entry['down'] * 8 / bits:.4f}" \
                        if bits and entry["up"] and entry["down"] else ""
                    print(f"  rates {round_index + 1}/{rounds} {protocol} {size} "
                          f"{name or 'unpaced'} {' '.join(extra)}:{asked}", flush=True)
    return runs


def measure_header(nets, builds, rounds, seconds, log):
    """Unpaced UDP at every default size, one size at a time with the builds back to back
    (who goes first alternates), so that a pair of runs sees the same load on this shared
    host. Per (build, size): receivers' rates both ways, with the round they belong to."""
    rates = {}
    for round_index in range(rounds):
        for size_index, size in enumerate(DEFAULT_SIZES):
            order = list(builds)
            if (round_index + size_index) % 2:
                order.reverse()
            for name in order:
                document, lines = flenko_run(nets, builds[name], "-u", seconds, size)
                entry = {
                    "up": field(server_line(lines, "rx", size), "bytes_per_second"),
                    "down": field(client_phase(document, "rx", size), "bytes_per_second"),
                    "round": round_index,
                }
                rates.setdefault((name, size), []).append(entry)
                log.append({"what": "header", "build": name, "size": size, **entry})
        print(f"  header {round_index + 1}/{rounds} done", flush=True)
    return rates


def iperf3_jitter(nets, port, seconds, reverse):
    argv = ["iperf3", "-c", SERVER_ADDRESS, "-p", str(port), "-u", "-b", "100M", "-l", "1024",
            "-t", str(seconds), "--json"] + (["-R"] if reverse else [])
    done = subprocess.run(inside(nets.client, argv), capture_output=True, text=True,
                          timeout=seconds + 60)
    total = json.loads(done.stdout)["end"]["sum"]
    return total.get("jitter_ms"), total.get("bits_per_second")


def measure_jitter(nets, flenko, rounds, seconds, log):
    figures = {key: [] for key in ("flenko_up", "flenko_down", "iperf3_up", "iperf3_down",
                                   "flenko_up_rate", "flenko_down_rate")}
    for round_index in range(rounds):
        steps = ["flenko", "iperf3"] if round_index % 2 == 0 else ["iperf3", "flenko"]
        for step in steps:
            if step == "flenko":
                document, lines = flenko_run(nets, flenko, "-u", seconds, 1024, "100M")
                up = server_line(lines, "rx", 1024)
                down = client_phase(document, "rx", 1024)
                figures["flenko_up"].append(field(up, "jitter_ms"))
                figures["flenko_down"].append(field(down, "jitter_ms"))
                figures["flenko_up_rate"].append(field(up, "bytes_per_second"))
                figures["flenko_down_rate"].append(field(down, "bytes_per_second"))
            else:
                port = fresh_port()
                server = start_server(inside(nets.server, ["iperf3", "-s", "-p", str(port),
                                                           "--forceflush"]),
                                      "Server listening")
                try:
                    up, _ = iperf3_jitter(nets, port, seconds, False)
                    down, _ = iperf3_jitter(nets, port, seconds, True)
                finally:
                    stop_server(server)
                figures["iperf3_up"].append(up)
                figures["iperf3_down"].append(down)
        log.append({"what": "jitter", "round": round_index,
                    **{key: values[-1] for key, values in figures.items()}})
        print(f"  jitter {round_index + 1}/{rounds}: "
              + ", ".join(f"{key} {values[-1]}" for key, values in figures.items()), flush=True)
    return figures


def build_before(build_dir, commit=BEFORE_COMMIT):
    """Builds commit (by default the one before the datagram header) in a temporary worktree,
    removed after."""
    worktree = tempfile.mkdtemp(prefix="flenko-before-")
    os.rmdir(worktree)
    run(["git", "-C", ROOT, "worktree", "add", "--detach", worktree, commit])
    try:
        run(["cmake", "-S", worktree, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
             "-DFLENKO_BENCH=ON", "-DFLENKO_TESTS=OFF"])
        run(["nice", "cmake", "--build", build_dir, "-j2", "--target", "flenko"])
    finally:
        subprocess.run(["git", "-C", ROOT, "worktree", "remove", "--force", worktree],
                       capture_output=True)


def build_commit(build_dir):
    """The commit a build was made from, with "+ changes" where its sources differed; from
    the source folder its CMake cache names."""
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt")) as cache:
            source = next(line.split("=", 1)[1].strip() for line in cache
                          if line.startswith("CMAKE_HOME_DIRECTORY:"))
        commit = run(["git", "-C", source, "rev-parse", "--short", "HEAD"]).stdout.strip()
    except (OSError, StopIteration, subprocess.CalledProcessError):
        return "an unknown commit"
    changed = subprocess.run(["git", "-C", source, "diff", "--quiet", "HEAD", "--", "src"],
                             capture_output=True).returncode != 0
    return commit + (" + changes" if changed else "")


def percent(value):
    return f"{100 * value:+.2f} %"


def rates_section(runs, rounds, seconds):
    lines = [
        f"Achieved ÷ asked, each direction timed by its receiver; medians of {rounds} runs, "
        "the worst run's error in brackets. Unpaced: what the same path carries each way "
        "without `--rate`, Mbit/s, client → server / server → client.",
        "",
        "| protocol | block | `--rate` | whole blocks | client → server (server's view) "
        "| error | server → client (client's view) | error | unpaced | within 1 % |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---|",
    ]
    notes = []
    for protocol in ("-t", "-u"):
        name_of = "TCP" if protocol == "-t" else "UDP"
        for size in PACED_SIZES:
            unpaced = runs.get((protocol, size, None), [])
            ceiling = {key: median([r[key] for r in unpaced]) * 8 for key in ("up", "down")}
            for name, bits in RATES:
                record = runs.get((protocol, size, name), [])
                cells = []
                # The directions off by more than the goal: whether the path carries the rate
                # at all, and (UDP) whether their senders kept to it: what arrived plus the
                # gaps in the sequence numbers.
                missed = []
                for key in ("up", "down"):
                    ratios = [r[key] * 8 / bits for r in record if r[key]]
                    if not ratios:
                        cells += ["—", "—"]
                        missed.append({"carried": True, "ceiling": 0, "on_rate": False,
                                       "lost": 0})
                        continue
                    middle = median(ratios)
                    extreme = max(ratios, key=lambda r: abs(r - 1))
                    cells += [f"{middle:.4f}", f"{percent(middle - 1)} ({percent(extreme - 1)})"]
                    if abs(middle - 1) > GOAL:
                        put = median([r[f"{key}_offered"] * 8 / bits for r in record
                                      if r[f"{key}_offered"]])
                        missed.append({"carried": ceiling[key] >= bits * 1.02,
                                       "ceiling": ceiling[key],
                                       "on_rate": abs(put - 1) <= GOAL,
                                       "lost": median([r[f"{key}_lost"] for r in record])})
                carried = [m for m in missed if m["carried"]]
                if not missed:
                    verdict = "yes"
                elif not carried:
                    verdict = ("no: unpaced carries only "
                               f"{min(m['ceiling'] for m in missed) / 1e6:.0f} Mbit/s")
                elif all(m["on_rate"] for m in carried):
                    # The datagrams left on schedule; the receiving host dropped some.
                    lost = max(m["lost"] for m in carried)
                    verdict = f"no: sent on rate, {100 * lost:.1f} % lost on the way"
                else:
                    verdict = "**no**"
                    notes.append(f"{name_of} {size} at {name}")
                length = record[0]["seconds"] if record else seconds
                shown = f"{name} ({length} s)" if length != seconds else name
                # TCP's receiver times up to the final block, which ends on the schedule.
                whole = udp_scheduled_ratio(bits, size, length) if protocol == "-u" else 1
                lines.append(f"| {name_of} | {size} | {shown} | {whole:.4f} | {cells[0]} | "
                             f"{cells[1]} | "
                             f"{cells[2]} | {cells[3]} | {ceiling['up'] / 1e6:.0f} / "
                             f"{ceiling['down'] / 1e6:.0f} | {verdict} |")
    size, name, bits = BIG_WINDOW_CASE
    record = runs.get(("-u", size, name, "window"), [])
    if record:
        cells = []
        for key, who in (("up", "client → server"), ("down", "server → client")):
            ratio = median([r[key] * 8 / bits for r in record if r[key]])
            lost = median([r[f"{key}_lost"] for r in record])
            cells.append(f"{who} {ratio:.4f} ({percent(ratio - 1)}, {100 * lost:.2f} % lost)")
        lines += ["", f"UDP {size} at {name} again with `{' '.join(BIG_WINDOW)}` on both "
                  "sides (4 MiB socket buffers where the default gives 256 KiB), medians: "
                  + "; ".join(cells) + "."]
    return lines, notes


def cpu_section(runs):
    lines = [
        "| protocol | block | client sending (% of a core) | server sending (% of a core) "
        "| under 2 % |",
        "|---|---:|---:|---:|---|",
    ]
    for protocol in ("-t", "-u"):
        for size in PACED_SIZES:
            record = runs.get((protocol, size, "1M"), [])
            client = median([r["client_tx_cpu"] for r in record])
            server = median([r["server_tx_cpu"] for r in record])
            met = "yes" if max(client, server) < CPU_GOAL_PERCENT else "**no**"
            lines.append(f"| {'TCP' if protocol == '-t' else 'UDP'} | {size} | {client:.2f} | "
                         f"{server:.2f} | {met} |")
    return lines


def header_section(rates):
    lines = [
        "| datagram | client → server before | now | now ÷ before (pairs) "
        "| server → client before | now | now ÷ before (pairs) | now ≥ before |",
        "|---:|---:|---:|---:|---:|---:|---:|---|",
    ]
    for size in DEFAULT_SIZES:
        cells = []
        verdicts = []
        for key in ("up", "down"):
            before = {r["round"]: r[key] for r in rates.get(("before", size), []) if r[key]}
            now = {r["round"]: r[key] for r in rates.get(("now", size), []) if r[key]}
            pairs = sorted(now[k] / before[k] for k in now if k in before)
            ratio = median(pairs)
            span = f"{pairs[0]:.2f}–{pairs[-1]:.2f}" if pairs else "—"
            cells += [f"{median(list(before.values())) / MIB:.1f}",
                      f"{median(list(now.values())) / MIB:.1f}", f"{ratio:.3f} ({span})"]
            # Within noise: not every pair falls short.
            verdicts.append("yes" if ratio >= 1 else
                            "within noise" if pairs and pairs[-1] >= 1 else "**no**")
        verdict = "yes" if verdicts == ["yes", "yes"] else \
            "**no**" if "**no**" in verdicts else "within noise"
        lines.append(f"| {size} | " + " | ".join(cells) + f" | {verdict} |")
    return lines


def jitter_section(figures):
    lines = [
        "| direction | FLENKO (ms) | iperf3 (ms) | difference (ms) | allowed (ms) | met |",
        "|---|---:|---:|---:|---:|---|",
    ]
    for key, name in (("up", "client → server (server receives)"),
                      ("down", "server → client (client receives)")):
        ours = median(figures[f"flenko_{key}"])
        theirs = median(figures[f"iperf3_{key}"])
        allowed = max(JITTER_FLOOR_MS, JITTER_SHARE * theirs)
        difference = ours - theirs
        met = "yes" if abs(difference) <= allowed else "**no**"
        lines.append(f"| {name} | {ours:.4f} | {theirs:.4f} | {difference:+.4f} | "
                     f"{allowed:.3f} | {met} |")
    return lines


def clean_up(nets, raw, log):
    """Stops what is still running, removes the namespaces, and writes every run's figures
    to raw when asked."""
    for server in list(servers):
        stop_server(server)
    nets.close()
    if raw:
        with open(raw, "w") as out:
            json.dump(log, out, indent=1)


def load_average():
    return os.getloadavg()[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "bench-rate"),
                        help="Release build of this tree (build/bench-rate)")
    parser.add_argument("--before-build", default=os.path.join(ROOT, "build", "bench-before"),
                        help=f"Release build of {BEFORE_COMMIT}, made when missing "
                        "(build/bench-before)")
    parser.add_argument("--rounds", type=int, default=4,
                        help="pairs of runs per size for the header, runs of each tool for "
                        "jitter (4)")
    parser.add_argument("--rate-rounds", type=int, default=2,
                        help="runs of each protocol, size and rate (2)")
    parser.add_argument("--seconds", type=int, default=3,
                        help="phase length; 1 Mbit/s with 32767-byte blocks takes at least 6 (3)")
    parser.add_argument("--header-seconds", type=int, default=2,
                        help="phase length of the unpaced runs at every size (2)")
    parser.add_argument("--only", choices=["rates", "header", "jitter"], action="append",
                        help="run only these measurements (repeatable); the section is then "
                        "not written")
    parser.add_argument("--raw", help="also write every run's figures to this JSON file")
    parser.add_argument("--no-write", action="store_true")
    args = parser.parse_args()
    wanted = set(args.only or ["rates", "header", "jitter"])
    flenko = os.path.join(args.build, "flenko")
    before = os.path.join(args.before_build, "flenko")
    if not os.path.exists(flenko):
        sys.exit(f"no {flenko}: build with -DCMAKE_BUILD_TYPE=Release -DFLENKO_BENCH=ON first")
    if "header" in wanted and not os.path.exists(before):
        print(f"building {BEFORE_COMMIT} in {args.before_build}", flush=True)
        build_before(args.before_build)

    # A SIGTERM must unwind through the finally below like Ctrl-C does.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    now_commit = build_commit(args.build)
    before_commit = build_commit(args.before_build)
    started = time.monotonic()
    load_before = load_average()
    log = []
    nets = Namespaces()
    runs = header = jitter = None
    try:
        nets.open()
        if "rates" in wanted:
            runs = measure_rates(nets, flenko, args.rate_rounds, args.seconds, log)
        if "header" in wanted:
            header = measure_header(nets, {"before": before, "now": flenko}, args.rounds,
                                    args.header_seconds, log)
        if "jitter" in wanted:
            jitter = measure_jitter(nets, flenko, args.rounds, args.seconds, log)
    finally:
        clean_up(nets, args.raw, log)
    elapsed = time.monotonic() - started
    load_after = load_average()

    lines = [
        HEADING,
        "",
        f"`bench/paced_rate.py`, {datetime.date.today()}, {platform.node()} "
        f"({os.cpu_count()} CPUs, {platform.machine()}, Linux {platform.release()}), "
        f"{elapsed / 60:.0f} minutes, load average {load_before:.1f} before and "
        f"{load_after:.1f} after. Two network namespaces joined by a veth pair without a qdisc; "
        f"Release builds of {now_commit} and, for the header, of {before_commit}, the commit "
        "before datagrams carried a header. Client and server both get `--rate`, so both directions are paced; "
        "each direction is timed by its receiver: the server's JSON line for what it received, "
        "the client's Rx for the rest.",
    ]
    notes = []
    if runs is not None:
        table, notes = rates_section(runs, args.rate_rounds, args.seconds)
        lines += ["", "### Achieved rate against `--rate`", "", *table, ""]
        slow_udp = udp_scheduled_ratio(1e6, 32767, max(args.seconds, 6))
        short_udp = udp_scheduled_ratio(1e6, 32767, args.seconds)
        lines.append(
            f"Phases last {args.seconds} s, but 6 s at 1 Mbit/s with 32767-byte blocks: a "
            "block takes 262 ms there, so a phase holds ~23 and the count is whole blocks. "
            "UDP sends its first datagram half a block's time after the start, then one per "
            "block's time on a fixed schedule from the start, so the receiver sees the "
            f"rate's count rounded to the nearest: {percent(slow_udp - 1)} in 6 s, "
            f"{percent(short_udp - 1)} had it been {args.seconds} s; \"whole blocks\" is "
            "what the schedule alone gives each row. TCP sends its first "
            "block one block's time after the start and, after the phase, a final one once "
            "it is earned; its receiver times the phase up to that block, so whole blocks "
            "come out even. A row that misses the goal is in bold where the path carries the "
            "rate; where the unpaced ceiling is below the rate the path is the limit, and "
            "where a UDP sender kept to the rate (what arrived plus the gaps in the sequence "
            "numbers is within 1 % of it) the datagrams were lost on the way.")
        lines += ["", "### The sender's CPU at 1 Mbit/s", "",
                  "Share of one core while the phase sends (the phase's `cpu.percent`: user "
                  "and system time of the whole process over the phase), medians of the runs "
                  "above.", "", *cpu_section(runs)]
    if header is not None:
        lines += ["", "### Unpaced UDP before and after the datagram header", "",
                  f"Every default datagram size, {args.header_seconds}-second phases, "
                  f"{args.rounds} pairs of runs per size, the two builds back to back in "
                  "alternating order (other work on this shared host comes and goes within "
                  "minutes, so a pair sees the same load). Medians of what arrived, MiB/s, "
                  "each direction from its receiver; now ÷ before is the median of the pairs' "
                  "ratios, their range in brackets.", "", *header_section(header)]
    if jitter is not None:
        up_rate = median(jitter["flenko_up_rate"]) * 8 / 1e6
        down_rate = median(jitter["flenko_down_rate"]) * 8 / 1e6
        lines += ["", "### Jitter at 100 Mbit/s against iperf3", "",
                  f"1 KiB datagrams, {args.seconds}-second phases, FLENKO with `--rate=100M` on "
                  "both sides (it delivered "
                  f"{up_rate:.1f} and {down_rate:.1f} Mbit/s), iperf3 `-u -b 100M -l 1024` and "
                  f"`-R`; medians of {args.rounds} runs each, alternating. The goal: within "
                  f"{JITTER_FLOOR_MS} ms or {JITTER_SHARE:.0%} of iperf3's figure, whichever "
                  "is larger.", "", *jitter_section(jitter), "",
                  "FLENKO takes each datagram's arrival from the kernel's receive timestamp; "
                  "iperf3 reads the clock in the receiving program, so its figure also holds "
                  "how late the receiver woke."]
    text = "\n".join(lines) + "\n"
    print()
    print(text)
    print(f"ran {elapsed:.0f} s")
    if notes:
        print("missed where the path carries the rate: " + "; ".join(notes))
    for trouble in troubles:
        print(f"run again: {trouble}")
    if not args.no_write and not args.only:
        write_section(HEADING, text)


if __name__ == "__main__":
    main()
