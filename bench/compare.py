#!/usr/bin/env python3
"""Measures flenko side by side with iperf3 and prints a markdown report.

Probes first what a sleeping receiver costs this machine (bench/wake_probe.cpp), then runs,
alternating the two tools:
  1. TCP over loopback, every default block size, both directions;
  2. UDP between two network namespaces joined by a veth pair, every block size;
  3. accuracy: TCP and UDP through a veth shaped with tbf to 100 Mbit/s and 1 Gbit/s;
  4. cost: CPU seconds per GiB moved and peak resident memory, from the same runs.
Rates are medians over the runs of a size and direction, leaving out runs that collapsed
(under a quarter of that tool's median there). Needs root (namespaces, tc) and iperf3.
Writes the report to docs/BENCHMARKS.md as well, with the TCP and UDP rates drawn in
docs/images/compare-tcp.svg and compare-udp.svg (needs python3-matplotlib).
"""

import argparse
import datetime
import json
import os
import platform
import random
import re
import resource
import signal
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import flenko_plot  # noqa: E402

SIZES = [1024, 2048, 4096, 8192, 16384, 32767]
UNITS = {"Byte/s": 1, "KByte/s": 1024, "MByte/s": 1024**2, "GByte/s": 1024**3}
RATE = r" ([0-9.]+) (Byte/s|KByte/s|MByte/s|GByte/s)"
TCP_LINE = re.compile(r"Packet size .* bytes: " + RATE + r" Tx, " + RATE + r" Rx\.")
UDP_LINE = re.compile(
    r"Packet size .* bytes: " + RATE + r" \((-?\d+)%\) Tx, " + RATE + r" \((-?\d+)%\) Rx\."
)
PHASE_SECONDS = 6
TICK = os.sysconf("SC_CLK_TCK")
GIB = 1024**3
SERVER_ADDRESS = "fd00:be0::1"
CLIENT_ADDRESS = "fd00:be0::2"


def rate_of(number, unit):
    return float(number) * UNITS[unit]


def run(command, **kwargs):
    return subprocess.run(command, check=True, capture_output=True, text=True, **kwargs)


class Host:
    """A place to run processes: this host, or a network namespace."""

    def __init__(self, namespace=None):
        self.namespace = namespace

    def command(self, argv):
        return (["ip", "netns", "exec", self.namespace] if self.namespace else []) + argv


class Server:
    """A long-lived server whose CPU time and peak memory are read before it stops."""

    def __init__(self, host, argv):
        self.process = subprocess.Popen(
            host.command(argv), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
        )
        time.sleep(0.5)

    def stop(self):
        with open(f"/proc/{self.process.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        cpu = (int(fields[11]) + int(fields[12])) / TICK
        peak = 0
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    peak = int(line.split()[1])
        self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        return cpu, peak


def peak_resident(pid):
    """VmHWM of a running process in KiB, 0 once it is gone."""
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def run_client(host, argv):
    """Runs a client to its end: its output, CPU seconds and peak resident KiB.

    The peak is sampled from /proc while it runs (its rusage figure would count this
    script's forked copy before the exec); the CPU time is the growth of the reaped
    children's total, to which no server adds until it is stopped."""
    cpu_before = children_cpu()
    process = subprocess.Popen(host.command(argv), stdout=subprocess.PIPE)
    os.set_blocking(process.stdout.fileno(), False)
    chunks = []
    peak = 0
    while process.poll() is None:
        time.sleep(0.2)
        peak = max(peak, peak_resident(process.pid))
        chunks.append(process.stdout.read() or b"")
    chunks.append(process.stdout.read() or b"")
    output = b"".join(chunks).decode()
    if process.returncode != 0:
        raise RuntimeError(f"{argv} exited {process.returncode}:\n{output}")
    return output, children_cpu() - cpu_before, peak


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


class Tally:
    """CPU seconds, bytes moved and peak memory of one tool over a whole section."""

    def __init__(self):
        self.cpu = 0.0
        self.bytes = 0.0
        self.client_peak = 0
        self.server_peak = 0

    def add_client(self, cpu, peak, moved):
        self.cpu += cpu
        self.bytes += moved
        self.client_peak = max(self.client_peak, peak)

    def add_server(self, cpu, peak):
        self.cpu += cpu
        self.server_peak = max(self.server_peak, peak)

    def add(self, other):
        self.cpu += other.cpu
        self.bytes += other.bytes
        self.client_peak = max(self.client_peak, other.client_peak)
        self.server_peak = max(self.server_peak, other.server_peak)

    def cpu_per_gib(self):
        return self.cpu / (self.bytes / GIB) if self.bytes else float("nan")


def flenko_client(flenko, host, protocol, pattern, server_text, port, size):
    """Runs one FLENKO client of one size: its result line's match, CPU seconds and peak."""
    out, cpu, peak = run_client(
        host, [flenko, protocol, "-B", "-p", str(port), "-b", str(size), server_text])
    match = pattern.search(out)
    if not match:
        raise RuntimeError(f"no result line:\n{out}")
    return match, cpu, peak


def flenko_tcp(flenko, host, server_text, port, size, tally):
    match, cpu, peak = flenko_client(flenko, host, "-t", TCP_LINE, server_text, port, size)
    tx, rx = rate_of(*match.group(1, 2)), rate_of(*match.group(3, 4))
    tally.add_client(cpu, peak, (tx + rx) * PHASE_SECONDS)
    return tx, rx


def flenko_udp(flenko, host, server_text, port, size, tally):
    match, cpu, peak = flenko_client(flenko, host, "-u", UDP_LINE, server_text, port, size)
    tx, rx = rate_of(*match.group(1, 2)), rate_of(*match.group(4, 5))
    tally.add_client(cpu, peak, (tx + rx) * PHASE_SECONDS)
    return tx, int(match.group(3)), rx, int(match.group(6))


def iperf(host, server_text, port, size, udp, reverse, tally):
    argv = ["iperf3", "-c", server_text, "-p", str(port), "-l", str(size), "-w", "128K",
            "-t", str(PHASE_SECONDS), "-J"]
    argv += ["-u", "-b", "0"] if udp else ["-N"]
    argv += ["-R"] if reverse else []
    out, cpu, peak = run_client(host, argv)
    end = json.loads(out)["end"]
    received = end["sum_received"]
    rate = received["bytes"] / received["seconds"]
    tally.add_client(cpu, peak, received["bytes"])
    loss = end["sum"]["lost_percent"] if udp else 0.0
    return rate, loss


class Namespaces:
    """Two network namespaces joined by a veth pair, optionally shaped with tbf."""

    def __init__(self):
        tag = os.getpid()
        self.server = Host(f"flenko-bench-s{tag}")
        self.client = Host(f"flenko-bench-c{tag}")
        self.links = {self.server.namespace: f"bs{tag}", self.client.namespace: f"bc{tag}"}
        for ns in self.links:
            run(["ip", "netns", "add", ns])
        run(["ip", "link", "add", self.links[self.server.namespace], "netns", self.server.namespace,
             "type", "veth", "peer", "name", self.links[self.client.namespace], "netns",
             self.client.namespace])
        for ns, address in ((self.server.namespace, SERVER_ADDRESS),
                            (self.client.namespace, CLIENT_ADDRESS)):
            run(["ip", "-n", ns, "addr", "add", f"{address}/64", "dev", self.links[ns], "nodad"])
            run(["ip", "-n", ns, "link", "set", "lo", "up"])
            run(["ip", "-n", ns, "link", "set", self.links[ns], "up"])

    def shape(self, mbit):
        for ns, link in self.links.items():
            subprocess.run(["ip", "netns", "exec", ns, "tc", "qdisc", "del", "dev", link, "root"],
                           capture_output=True)
            if mbit:
                burst = max(32, mbit // 8)  # KiB: enough for the rate at a 1 ms timer
                run(["ip", "netns", "exec", ns, "tc", "qdisc", "add", "dev", link, "root", "tbf",
                     "rate", f"{mbit}mbit", "burst", f"{burst}kb", "latency", "50ms"])

    def close(self):
        for ns in self.links:
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)


def median(values):
    return statistics.median(values) if values else float("nan")


def human(rate):
    return f"{rate / 1024**2:,.1f}"


class Screened:
    """One tool's runs in one size and direction, less those that collapsed.

    A run under a quarter of the tool's median there is an anomaly of that run (iperf3 3.12
    sometimes crawls at ~10 MiB/s with -l 4096 over loopback), not a rate to compare."""

    def __init__(self, tool, direction, size, rates, notes):
        floor = median(rates) / 4
        self.tool = tool
        self.runs = len(rates)
        self.kept = [n for n, rate in enumerate(rates) if not rate < floor]
        for n, rate in enumerate(rates):
            if rate < floor:
                notes.append(f"{tool} {direction} {size}: {human(rate)} MiB/s in rep {n + 1}")

    def median(self, values):
        """The median of the kept runs' entries of values (rates, or their losses)."""
        return median([values[n] for n in self.kept])

    def too_few(self):
        return len(self.kept) < min(3, self.runs)


def ratio_cell(flenko, iperf3, flenko_rate, iperf3_rate):
    short = [f"{s.tool} {len(s.kept)} of {s.runs}" for s in (flenko, iperf3) if s.too_few()]
    if short:
        return "too few runs left: " + ", ".join(short)
    return f"{flenko_rate / iperf3_rate:.2f}"


def collapsed_note(notes):
    if not notes:
        return []
    return ["", "Collapsed runs left out (under a quarter of that tool's median there): "
            + "; ".join(notes) + "."]


TCP_TITLE = "TCP over loopback (MiB/s, medians)"
UDP_TITLE = "UDP between two namespaces (MiB/s that arrived, medians)"
PICTURES = {"tcp": (TCP_TITLE, "flenko and iperf3, TCP over loopback"),
            "udp": (UDP_TITLE, "flenko and iperf3, UDP between two namespaces")}
RANGE_NOTE = "line: median; shaded: lowest to highest run (collapsed runs left out)"


def tool_series(results, udp):
    """A flenko and an iperf3 Series from a section's runs, keyed by size then by the
    tables' keys ("ftx": flenko Tx rates, "ftl": their losses, "i..": iperf3's)."""
    series = []
    for tool in ("flenko", "iperf3"):
        line = flenko_plot.Series(tool, udp)
        for size in sorted(results):
            for direction in ("tx", "rx"):
                rates = results[size][tool[0] + direction]
                screened = Screened(tool, direction, size, rates, [])
                kept = [rates[n] for n in screened.kept]
                loss = (screened.median(results[size][tool[0] + direction[0] + "l"]) if udp
                        else float("nan"))
                getattr(line, direction).append(flenko_plot.Point(
                    size, screened.median(rates), min(kept), max(kept), loss))
        series.append(line)
    return series


def draw_pictures(figures, directory):
    """Draws each section's series as directory/compare-KEY.svg: the paths by key."""
    os.makedirs(directory, exist_ok=True)
    written = {}
    for key, series in figures.items():
        written[key] = os.path.join(directory, f"compare-{key}.svg")
        flenko_plot.draw(series, written[key], PICTURES[key][1], band_note=RANGE_NOTE)
    return written


def tcp_section(flenko, sizes, reps, port, tallies, figures):
    local = Host()
    servers = {"flenko": Server(local, [flenko, "-s", "-t", "-p", str(port)]),
               "iperf3": Server(local, ["iperf3", "-s", "-p", str(port + 10)])}
    results = {size: {"ftx": [], "frx": [], "itx": [], "irx": []} for size in sizes}
    try:
        for _ in range(reps):
            for size in sizes:
                r = results[size]
                tx, rx = flenko_tcp(flenko, local, "::1", port, size, tallies["flenko"])
                r["ftx"].append(tx)
                r["frx"].append(rx)
                r["itx"].append(iperf(local, "::1", port + 10, size, False, False, tallies["iperf3"])[0])
                r["irx"].append(iperf(local, "::1", port + 10, size, False, True, tallies["iperf3"])[0])
    finally:
        for name, server in servers.items():
            tallies[name].add_server(*server.stop())
    lines = ["| block | flenko Tx | iperf3 Tx | ratio | flenko Rx | iperf3 Rx | ratio |",
             "|---:|---:|---:|---:|---:|---:|---:|"]
    notes = []
    for size in sizes:
        r = results[size]
        cells = [str(size)]
        for direction, fkey, ikey in (("Tx", "ftx", "itx"), ("Rx", "frx", "irx")):
            f = Screened("flenko", direction, size, r[fkey], notes)
            i = Screened("iperf3", direction, size, r[ikey], notes)
            frate, irate = f.median(r[fkey]), i.median(r[ikey])
            cells += [human(frate), human(irate), ratio_cell(f, i, frate, irate)]
        lines.append("| " + " | ".join(cells) + " |")
    figures["tcp"] = tool_series(results, udp=False)
    return lines + collapsed_note(notes)


def udp_section(flenko, sizes, reps, port, namespaces, tallies, figures):
    servers = {"flenko": Server(namespaces.server, [flenko, "-s", "-u", "-p", str(port)]),
               "iperf3": Server(namespaces.server, ["iperf3", "-s", "-p", str(port + 10)])}
    keys = ("ftx", "ftl", "frx", "frl", "itx", "itl", "irx", "irl")
    results = {size: {k: [] for k in keys} for size in sizes}
    try:
        for _ in range(reps):
            for size in sizes:
                r = results[size]
                tx, tx_loss, rx, rx_loss = flenko_udp(flenko, namespaces.client, SERVER_ADDRESS,
                                                      port, size, tallies["flenko"])
                r["ftx"].append(tx)
                r["ftl"].append(tx_loss)
                r["frx"].append(rx)
                r["frl"].append(rx_loss)
                for reverse, rate_key, loss_key in ((False, "itx", "itl"), (True, "irx", "irl")):
                    rate, loss = iperf(namespaces.client, SERVER_ADDRESS, port + 10, size, True,
                                       reverse, tallies["iperf3"])
                    r[rate_key].append(rate)
                    r[loss_key].append(loss)
    finally:
        for name, server in servers.items():
            tallies[name].add_server(*server.stop())
    lines = ["| datagram | flenko Tx (loss) | iperf3 Tx (loss) | ratio | flenko Rx (loss) | "
             "iperf3 Rx (loss) | ratio |",
             "|---:|---:|---:|---:|---:|---:|---:|"]
    notes = []
    for size in sizes:
        r = results[size]
        cells = [str(size)]
        # A collapsed run's loss is left out with its rate.
        for direction, (fkey, fl), (ikey, il) in (("Tx", ("ftx", "ftl"), ("itx", "itl")),
                                                   ("Rx", ("frx", "frl"), ("irx", "irl"))):
            f = Screened("flenko", direction, size, r[fkey], notes)
            i = Screened("iperf3", direction, size, r[ikey], notes)
            frate, irate = f.median(r[fkey]), i.median(r[ikey])
            cells += [f"{human(frate)} ({f.median(r[fl]):.0f}%)",
                      f"{human(irate)} ({i.median(r[il]):.1f}%)", ratio_cell(f, i, frate, irate)]
        lines.append("| " + " | ".join(cells) + " |")
    figures["udp"] = tool_series(results, udp=True)
    return lines + collapsed_note(notes)


# Payload share of a full 1500-byte frame on the veth (tbf counts from the Ethernet header).
TCP_PAYLOAD_SHARE = 1428 / 1514  # IPv6 40 + TCP 20 + timestamps 12
UDP_DATAGRAM = 1452  # the largest that fits one frame over IPv6
UDP_PAYLOAD_SHARE = UDP_DATAGRAM / 1514


def accuracy_section(flenko, port, namespaces, tallies_of):
    lines = ["| shaped | protocol | payload ceiling | flenko Tx | flenko Rx | iperf3 Tx | iperf3 Rx | "
             "worst flenko error |",
             "|---:|---|---:|---:|---:|---:|---:|---:|"]
    for mbit in (100, 1000):
        namespaces.shape(mbit)
        for udp in (False, True):
            # A fresh port each time: the server sets no address reuse, and may have left
            # its port in TIME_WAIT.
            port += 20
            ceiling = mbit * 1e6 / 8 * (UDP_PAYLOAD_SHARE if udp else TCP_PAYLOAD_SHARE)
            size = UDP_DATAGRAM if udp else 8192
            argv = [flenko, "-s", "-u" if udp else "-t", "-p", str(port)]
            tallies = tallies_of(f"{mbit} Mbit/s {'UDP' if udp else 'TCP'}")
            servers = {"flenko": Server(namespaces.server, argv),
                       "iperf3": Server(namespaces.server, ["iperf3", "-s", "-p", str(port + 10)])}
            try:
                if udp:
                    ftx, _, frx, _ = flenko_udp(flenko, namespaces.client, SERVER_ADDRESS, port, size,
                                                tallies["flenko"])
                else:
                    ftx, frx = flenko_tcp(flenko, namespaces.client, SERVER_ADDRESS, port, size,
                                          tallies["flenko"])
                itx = iperf(namespaces.client, SERVER_ADDRESS, port + 10, size, udp, False,
                            tallies["iperf3"])[0]
                irx = iperf(namespaces.client, SERVER_ADDRESS, port + 10, size, udp, True,
                            tallies["iperf3"])[0]
            finally:
                for name, server in servers.items():
                    tallies[name].add_server(*server.stop())
            worst = max(abs(ftx / ceiling - 1), abs(frx / ceiling - 1)) * 100
            lines.append(f"| {mbit} Mbit/s | {'UDP' if udp else 'TCP'} | {human(ceiling)} | "
                         f"{human(ftx)} | {human(frx)} | {human(itx)} | {human(irx)} | {worst:.1f}% |")
    namespaces.shape(None)
    return lines


def cost_lines(section_tallies):
    lines = ["| runs | tool | CPU s per GiB | peak RSS client (KiB) | peak RSS server (KiB) |",
             "|---|---|---:|---:|---:|"]
    overall = {}
    for section, tallies in section_tallies.items():
        for name, tally in tallies.items():
            lines.append(f"| {section} | {name} | {tally.cpu_per_gib():.3f} | {tally.client_peak} | "
                         f"{tally.server_peak} |")
            overall.setdefault(name, Tally()).add(tally)
    for name, tally in overall.items():
        lines.append(f"| all | {name} | {tally.cpu_per_gib():.3f} | {tally.client_peak} | "
                     f"{tally.server_peak} |")
    return lines


def build():
    """Builds the product and the machine probe: the paths of both."""
    build_dir = os.path.join(ROOT, "build", "release")
    run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DFLENKO_TESTS=OFF",
         "-DFLENKO_BENCH=ON"])
    run(["cmake", "--build", build_dir, "-j", str(os.cpu_count()), "--target", "flenko",
         "wake_probe"])
    return os.path.join(build_dir, "flenko"), os.path.join(build_dir, "wake_probe")


def probe_lines(probe):
    """The machine's wake-up and nap costs, measured by the probe before any benchmark runs."""
    figures = dict(line.split(None, 1) for line in run([probe]).stdout.splitlines() if line.strip())
    us = lambda key: f"{float(figures[key]):.1f}"
    return [
        "| probe | mean (µs) | median (µs) | 99th percentile (µs) |",
        "|---|---:|---:|---:|",
        f"| cross-CPU wake-up (CPUs {figures['wake_cpus']}): the waker's write() | "
        f"{us('wake_waker_us_mean')} | {us('wake_waker_us_median')} | |",
        f"| cross-CPU wake-up: latency, half a pipe round trip | {us('wake_latency_us_mean')} | "
        f"{us('wake_latency_us_median')} | |",
        f"| nanosleep of {us('nap_requested_us')} µs, timer slack {figures['nap_timer_slack_ns']} ns | "
        f"{us('nap_us_mean')} | {us('nap_us_median')} | {us('nap_us_p99')} |",
        "",
        "A TCP or UDP receiver that sleeps makes its sender pay one wake-up (the waker's write() "
        "above) per sleep, so machines with costlier wake-ups favour receivers that sleep less.",
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5, help="runs of each tool per size (default 5)")
    parser.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")], default=SIZES,
                        help="comma-separated block sizes (default: the six default sizes)")
    parser.add_argument("--port", type=int, default=random.randrange(20000, 30000, 1000),
                        help="first port (default: random, away from an earlier run's TIME_WAIT)")
    parser.add_argument("--no-write", action="store_true", help="do not write docs/BENCHMARKS.md")
    parser.add_argument("--only", choices=("tcp", "udp", "accuracy"),
                        help="run one section (implies --no-write)")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("needs root: network namespaces and tc")
    if args.only:
        args.no_write = True
    pictures = not args.no_write
    if pictures:
        # Said now, not after half an hour of runs.
        try:
            flenko_plot.pyplot()
        except ImportError as error:
            print(f"compare.py: the report goes without pictures: {error}", file=sys.stderr)
            pictures = False

    flenko, probe = build()
    # On a quiet machine, before the benchmarks load it.
    machine_probe = probe_lines(probe)
    started = datetime.datetime.now(datetime.timezone.utc)
    command = "sudo bench/compare.py" + "".join(f" {a}" for a in sys.argv[1:])
    sections = {}
    section_tallies = {}

    def tallies(section):
        return section_tallies.setdefault(section, {"flenko": Tally(), "iperf3": Tally()})

    wanted = lambda name: args.only in (None, name)
    figures = {}
    if wanted("tcp"):
        sections[TCP_TITLE] = tcp_section(flenko, args.sizes, args.reps, args.port,
                                          tallies("TCP"), figures)
    namespaces = Namespaces()
    try:
        if wanted("udp"):
            sections[UDP_TITLE] = udp_section(flenko, args.sizes, args.reps, args.port + 100,
                                              namespaces, tallies("UDP"), figures)
        if wanted("accuracy"):
            sections["Accuracy through a tbf-shaped veth (MiB/s)"] = accuracy_section(
                flenko, args.port + 200, namespaces, tallies)
    finally:
        namespaces.close()
    sections["Cost of the runs above"] = cost_lines(section_tallies)
    if pictures:
        for key, path in draw_pictures(figures, os.path.join(ROOT, "docs", "images")).items():
            title, caption = PICTURES[key]
            sections[title] += ["", f"![{caption}](images/{os.path.basename(path)})"]

    machine = (f"{os.cpu_count()} cores, {platform.processor() or platform.machine()}, "
               f"Linux {platform.release()}")
    report = [f"Command: `{command}`  ", f"Date: {started:%Y-%m-%d %H:%M} UTC  ",
              f"Machine: {machine}  ", f"iperf3: {run(['iperf3', '--version']).stdout.splitlines()[0]}", "",
              "### Machine", ""] + machine_probe + [""]
    for title, lines in sections.items():
        report += [f"### {title}", ""] + lines + [""]
    text = "\n".join(report)
    print(text)
    if not args.no_write:
        path = os.path.join(ROOT, "docs", "BENCHMARKS.md")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        header = "# Benchmarks\n\nThe figures of the latest run of `bench/compare.py`.\n\n## Latest run\n\n"
        reading = ""
        if os.path.exists(path):
            old = open(path).read()
            if "## Reading" in old:
                reading = old[old.index("## Reading"):]
        with open(path, "w") as out:
            out.write(header + text + "\n" + reading)


if __name__ == "__main__":
    main()
