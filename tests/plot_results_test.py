#!/usr/bin/env python3
"""scripts/plot-results and the pictures of bench/compare.py, on small made-up documents."""

import copy
import importlib.util
import json
import math
import os
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPT = os.path.join(ROOT, "scripts", "plot-results")

if importlib.util.find_spec("matplotlib") is None:
    print("skipped: this python3 has no matplotlib (apt-get install python3-matplotlib)")
    sys.exit(77)


def phase(bytes_per_second, loss=None, failed=False):
    figures = {"failed": failed, "bytes": int(bytes_per_second), "ticks": 1024, "seconds": 1.0,
               "bytes_per_second": bytes_per_second, "rate": bytes_per_second / 1024**2,
               "unit": "MByte/s"}
    if loss is not None:
        figures["loss_percent"] = loss
    return figures


def document(protocol, results, **top):
    return {"program": "flenko", "version": "1.34", "protocol": protocol,
            "server": {"given": "::1", "resolved": "::1"}, "port": 18767, "phase_seconds": 1,
            "window": 131072, "congestion": None, "unit_mode": "auto", "completed": True,
            "ended_early": None, "results": results, **top}


def tcp_once():
    return document("tcp", [
        {"block_size": 1024, "label": " 1k", "tx": phase(1.2e8), "rx": phase(1.1e8)},
        {"block_size": 2048, "label": " 2k", "tx": phase(2.3e8), "rx": None},
        {"block_size": 32767, "label": "32k", "tx": phase(0, failed=True),
         "rx": dict(phase(3e9), rate=None)},
    ])


def repeated(rates, loss):
    samples = [phase(r, loss) if r else {"failed": True} for r in rates]
    good = [r for r in rates if r]
    if not good:
        return {"samples": samples, "statistics": {
            "samples": 0, "failed": len(rates), "bytes_per_second": None, "rate": None,
            "loss_percent_mean": None}}
    mean = sum(good) / len(good)
    spread = (max(good) - min(good)) if len(good) > 1 else None
    return {"samples": samples, "statistics": {
        "samples": len(good), "failed": len(rates) - len(good),
        "bytes_per_second": {"mean": mean, "stdev": spread, "min": min(good), "max": max(good),
                             "ci95": [mean - spread, mean + spread] if spread else None},
        "rate": {"unit": "MByte/s", "mean": mean / 1024**2, "stdev": None, "min": 0, "max": 0,
                 "ci95": None},
        "loss_percent_mean": loss}}


def udp_repeated():
    return document("udp", [
        {"block_size": 1024, "label": " 1k", "tx": repeated([9e7, 1e8, 1.1e8], 2),
         "rx": repeated([8e7, None, 9e7], 1)},
        {"block_size": 8192, "label": " 8k", "tx": repeated([4e8, None, None], 3),
         "rx": repeated([3e8, 3.2e8, 3.1e8], 0)},
        {"block_size": 32767, "label": "32k", "tx": repeated([None, None, None], None),
         "rx": None},
    ], repeat=3)


def without(key, value):
    value = copy.deepcopy(value)
    del value[key]
    return value


def broken_result(**changes):
    """A good document whose first result has these keys changed, or dropped where None."""
    value = tcp_once()
    value["results"][0].update(changes)
    value["results"][0] = {k: v for k, v in value["results"][0].items() if v is not None}
    return value


# name: (file contents, words the message must hold)
BAD_DOCUMENTS = {
    "not_json": ("Packet size  1k bytes: ...\n", "not JSON"),
    "server_log": ('{"program": "flenko"}\n{"program": "flenko"}\n', "not JSON"),
    "other_program": (json.dumps({"start": {}, "end": {}}), '"program": "flenko"'),
    "array": (json.dumps([tcp_once()]), '"program": "flenko"'),
    "no_results": (json.dumps(without("results", tcp_once())), '"results"'),
    "results_not_list": (json.dumps(dict(tcp_once(), results={"block_size": 1024})), '"results"'),
    "empty_results": (json.dumps(dict(tcp_once(), results=[])), '"results"'),
    "bad_protocol": (json.dumps(dict(tcp_once(), protocol="sctp")), "protocol"),
    "no_block_size": (json.dumps(broken_result(block_size=None)), "results[0] has no block_size"),
    "block_size_text": (json.dumps(broken_result(block_size="1k")), "results[0].block_size"),
    "phase_not_object": (json.dumps(broken_result(tx=114.4)), "results[0].tx"),
    "rate_text": (json.dumps(broken_result(rx=phase(1e8) | {"bytes_per_second": "fast"})),
                  "results[0].rx.bytes_per_second"),
    "samples_without_statistics": (
        json.dumps(broken_result(tx={"samples": [phase(1e8)]})), "results[0].tx"),
}


class PlotResultsTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)

    def path(self, name):
        return os.path.join(self.directory.name, name)

    def write(self, name, text):
        with open(self.path(name), "w") as out:
            out.write(text)
        return self.path(name)

    def plot(self, *arguments):
        return subprocess.run([sys.executable, SCRIPT, *arguments], capture_output=True,
                              text=True, cwd=self.directory.name, timeout=120)

    def legend_texts(self, svg):
        root = ElementTree.parse(svg).getroot()
        return [text for element in root.iter("{http://www.w3.org/2000/svg}text")
                for text in element.itertext()]

    def test_bad_documents_draw_nothing_and_say_why(self):
        good = self.write("good.json", json.dumps(tcp_once()))
        bad = {name: self.write(f"{name}.json", contents)
               for name, (contents, _) in BAD_DOCUMENTS.items()}
        for name, (_, reason) in BAD_DOCUMENTS.items():
            with self.subTest(name):
                result = self.plot("-o", "out.svg", bad[name])
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn(f"{name}.json: ", result.stderr)
                self.assertIn(reason, result.stderr)
        # Every bad file is named, the good one is not, and a good one draws nothing either.
        result = self.plot("-o", "out.svg", good, *bad.values())
        self.assertEqual(result.returncode, 1)
        self.assertEqual(len(result.stderr.splitlines()), len(bad), result.stderr)
        self.assertNotIn("good.json", result.stderr)
        # Not even a half-written temporary file.
        self.assertEqual([f for f in os.listdir(self.directory.name) if not f.endswith(".json")],
                         [])

    def test_missing_file_and_usage(self):
        result = self.plot("-o", "out.svg", "absent.json")
        self.assertEqual(result.returncode, 1)
        self.assertIn("absent.json: cannot read", result.stderr)
        good = self.write("good.json", json.dumps(tcp_once()))
        self.assertEqual(self.plot("--label", "a", "--label", "b", good).returncode, 2)
        self.assertFalse(os.path.exists(self.path("out.svg")))
        self.assertFalse(os.path.exists(self.path("results.svg")))

    def test_one_line_per_document(self):
        tcp = self.write("tcp.json", json.dumps(tcp_once()))
        udp = self.write("udp.json", json.dumps(udp_repeated()))
        result = self.plot("-o", "both.svg", "--title", "Loopback", "--label", "plain TCP",
                           tcp, udp)
        self.assertEqual(result.returncode, 0, result.stderr)
        texts = self.legend_texts(self.path("both.svg"))
        self.assertEqual(texts.count("plain TCP"), 1)
        self.assertEqual(texts.count("udp.json (::1)"), 1)
        self.assertIn("Loopback", texts)
        self.assertIn("UDP loss (%)", texts)
        # The repeats' interval is drawn and named.
        self.assertTrue(any("95 %" in text for text in texts))
        # Default name; a plain TCP document has no loss panel and no band.
        self.assertEqual(self.plot(tcp).returncode, 0)
        texts = self.legend_texts(self.path("results.svg"))
        self.assertIn("tcp.json (::1)", texts)
        self.assertNotIn("UDP loss (%)", texts)
        self.assertFalse(any("95 %" in text for text in texts))


class ReadingTest(unittest.TestCase):
    """What a document's phases become: failed or unmeasured ones are no point at all."""

    def test_points_of_both_shapes(self):
        sys.path.insert(0, os.path.join(ROOT, "scripts"))
        import flenko_plot

        with tempfile.TemporaryDirectory() as directory:
            cases = {"once": (tcp_once(), {"tx": [(1024, 1.2e8), (2048, 2.3e8)],
                                           "rx": [(1024, 1.1e8)]}),
                     "repeat": (udp_repeated(), {"tx": [(1024, 1e8), (8192, 4e8)],
                                                 "rx": [(1024, 8.5e7), (8192, 3.1e8)]})}
            for name, (value, expected) in cases.items():
                with self.subTest(name):
                    path = os.path.join(directory, name + ".json")
                    with open(path, "w") as out:
                        json.dump(value, out)
                    series = flenko_plot.load(path)
                    for key, points in expected.items():
                        got = getattr(series, key)
                        self.assertEqual([(p.size, p.rate) for p in got], points, key)
            # The repeats' interval and mean loss; one good sample has no interval.
            tx = series.tx
            self.assertEqual((tx[0].low, tx[0].high, tx[0].loss), (8e7, 1.2e8, 2))
            self.assertTrue(math.isnan(tx[1].low) and math.isnan(tx[1].high))


class ComparePicturesTest(unittest.TestCase):
    """bench/compare.py turns the runs it collects into pictures without running anything."""

    def test_pictures_from_collected_runs(self):
        sys.path.insert(0, os.path.join(ROOT, "bench"))
        import compare

        with tempfile.TemporaryDirectory() as directory:
            tcp = {size: {"ftx": [1e8, 1.1e8, 2e6], "frx": [9e7, 9e7, 9.5e7],
                          "itx": [8e7, 8e7, 8.2e7], "irx": [7e7, 7.5e7, 7e7]}
                   for size in (1024, 32767)}
            udp = {size: {"ftx": [1e8, 1e8], "ftl": [1, 2], "frx": [9e7, 9e7], "frl": [0, 0],
                          "itx": [8e7, 8e7], "itl": [4.0, 4.4], "irx": [7e7, 7e7],
                          "irl": [5.0, 6.0]} for size in (1024, 8192)}
            written = compare.draw_pictures(
                {"tcp": compare.tool_series(tcp, udp=False),
                 "udp": compare.tool_series(udp, udp=True)}, directory)
            self.assertEqual(sorted(written), ["tcp", "udp"])
            for key, path in written.items():
                texts = [text for element in ElementTree.parse(path).getroot().iter()
                         for text in element.itertext()]
                self.assertIn("flenko", texts, key)
                self.assertIn("iperf3", texts, key)
                self.assertEqual("UDP loss (%)" in texts, key == "udp")


if __name__ == "__main__":
    unittest.main()
