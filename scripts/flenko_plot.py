"""Reads FLENKO client documents and draws rate against block size as one SVG.

Shared by scripts/plot-results and bench/compare.py: both hand draw() a list of Series.
"""

import json
import math
import os
import tempfile
from dataclasses import dataclass, field

MBYTE = 1024**2
DIRECTIONS = (("tx", "Tx: the client sends"), ("rx", "Rx: the client receives"))
CI_NOTE = "shaded: 95 % confidence interval of the mean over the repeats"


class DocumentError(Exception):
    """Why a file cannot be plotted."""


@dataclass
class Point:
    """One phase's figures, in bytes per second; low and high bound its band, if any."""

    size: int
    rate: float
    low: float = math.nan
    high: float = math.nan
    loss: float = math.nan


@dataclass
class Series:
    """One line per panel: a document, or one tool of a comparison."""

    label: str
    udp: bool
    tx: list = field(default_factory=list)
    rx: list = field(default_factory=list)
    tick_labels: dict = field(default_factory=dict)


def size_label(size):
    """Sizes at or just below a whole KiB read in KiB (32767 is 32k), as FLENKO prints them."""
    if size >= 1024 and (size % 1024 == 0 or (size + 1) % 1024 == 0):
        return f"{(size + 1) // 1024}k"
    return str(size)


def _number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _single_phase(value, where, udp):
    if value.get("failed") is True or value.get("rate", 0) is None:
        return None
    if "bytes_per_second" not in value:
        raise DocumentError(f"{where} has no bytes_per_second")
    rate = value["bytes_per_second"]
    if rate is None:
        return None
    if not _number(rate):
        raise DocumentError(f"{where}.bytes_per_second is not a number")
    loss = value.get("loss_percent")
    return rate, math.nan, math.nan, loss if udp and _number(loss) else math.nan


def _repeated_phase(value, where, udp):
    if not isinstance(value["samples"], list):
        raise DocumentError(f"{where}.samples is not a list")
    stats = value.get("statistics")
    if not isinstance(stats, dict):
        raise DocumentError(f"{where} has samples but no statistics object")
    if stats.get("samples") == 0:
        return None
    figures = stats.get("bytes_per_second")
    if figures is None:
        return None
    if not isinstance(figures, dict):
        raise DocumentError(f"{where}.statistics has no bytes_per_second object")
    mean = figures.get("mean")
    if mean is None:
        return None
    if not _number(mean):
        raise DocumentError(f"{where}.statistics.bytes_per_second.mean is not a number")
    low = high = math.nan
    ci = figures.get("ci95")
    if ci is not None:
        if not (isinstance(ci, list) and len(ci) == 2 and all(map(_number, ci))):
            raise DocumentError(f"{where}.statistics.bytes_per_second.ci95 is not [low, high]")
        low, high = ci
    loss = stats.get("loss_percent_mean")
    return mean, low, high, loss if udp and _number(loss) else math.nan


def _phase(value, where, udp):
    """The phase's (rate, low, high, loss), or None where it was not measured or failed."""
    if value is None:
        return None
    if not isinstance(value, dict):
        raise DocumentError(f"{where} is neither null nor an object")
    if "samples" in value:
        return _repeated_phase(value, where, udp)
    return _single_phase(value, where, udp)


def series_of(document, label):
    """The Series of a parsed client document; DocumentError says what is wrong with it."""
    if not isinstance(document, dict) or document.get("program") != "flenko":
        raise DocumentError('not a FLENKO document (no "program": "flenko")')
    protocol = document.get("protocol")
    if protocol not in ("tcp", "udp"):
        raise DocumentError('"protocol" is neither "tcp" nor "udp"')
    results = document.get("results")
    if not isinstance(results, list):
        raise DocumentError('no "results" list')
    if not results:
        raise DocumentError('"results" is empty: nothing to draw')
    series = Series(label, protocol == "udp")
    for n, result in enumerate(results):
        where = f"results[{n}]"
        if not isinstance(result, dict):
            raise DocumentError(f"{where} is not an object")
        if "block_size" not in result:
            raise DocumentError(f"{where} has no block_size")
        size = result["block_size"]
        if not isinstance(size, int) or isinstance(size, bool) or size <= 0:
            raise DocumentError(f"{where}.block_size is not a positive whole number")
        label_text = result.get("label")
        series.tick_labels[size] = (label_text.strip() if isinstance(label_text, str)
                                    and label_text.strip() else size_label(size))
        for key, _ in DIRECTIONS:
            figures = _phase(result.get(key), f"{where}.{key}", series.udp)
            if figures:
                getattr(series, key).append(Point(size, *figures))
    return series


def default_label(path, document):
    server = document.get("server") if isinstance(document, dict) else None
    given = server.get("given") if isinstance(server, dict) else None
    name = os.path.basename(path)
    return f"{name} ({given})" if isinstance(given, str) else name


def load(path, label=None):
    """Reads and checks one file: its Series, or DocumentError."""
    try:
        with open(path, encoding="utf-8") as source:
            text = source.read()
    except (OSError, UnicodeDecodeError) as error:
        raise DocumentError(f"cannot read: {getattr(error, 'strerror', None) or error}")
    try:
        document = json.loads(text)
    except json.JSONDecodeError as error:
        hint = (" (one object per line is a server's log; plot a client's document)"
                if error.msg == "Extra data" else "")
        raise DocumentError(f"not JSON: {error}{hint}")
    return series_of(document, label or default_label(path, document))


def pyplot():
    """matplotlib's pyplot on the Agg backend; ImportError names the package to install."""
    try:
        import matplotlib
    except ImportError:
        raise ImportError("needs matplotlib (apt-get install python3-matplotlib)")
    matplotlib.use("Agg")
    # Text stays text (searchable, small), and ids stay fixed so a redrawn picture diffs cleanly.
    matplotlib.rcParams["svg.fonttype"] = "none"
    matplotlib.rcParams["svg.hashsalt"] = "flenko"
    import matplotlib.pyplot
    return matplotlib.pyplot


def _column(points, attribute, sizes):
    by_size = {p.size: getattr(p, attribute) for p in points}
    # NaN leaves a gap where a phase failed, rather than a line through zero.
    return [by_size.get(size, math.nan) for size in sizes]


def draw(series_list, out_path, title=None, band_note=CI_NOTE):
    """Draws every series into one SVG at out_path: Tx and Rx rate panels, and below them
    loss panels when any series is UDP. The file appears whole or not at all."""
    plt = pyplot()
    from matplotlib.patches import Patch
    from matplotlib.ticker import FixedLocator, FuncFormatter, NullLocator

    sizes = sorted({p.size for s in series_list for p in s.tx + s.rx})
    tick_labels = {}
    for s in series_list:
        tick_labels.update(s.tick_labels)
    with_loss = any(s.udp for s in series_list)
    rows = 2 if with_loss else 1
    figure, axes = plt.subplots(rows, 2, figsize=(10, 3.8 + 2.6 * (rows - 1)), sharex=True,
                                sharey="row", squeeze=False,
                                gridspec_kw={"height_ratios": [3, 2][:rows]})
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    banded = False
    handles = []
    for n, s in enumerate(series_list):
        colour = colours[n % len(colours)]
        for column, (key, _) in enumerate(DIRECTIONS):
            points = getattr(s, key)
            rate = [r / MBYTE for r in _column(points, "rate", sizes)]
            low = [r / MBYTE for r in _column(points, "low", sizes)]
            high = [r / MBYTE for r in _column(points, "high", sizes)]
            (line,) = axes[0][column].plot(sizes, rate, marker="o", markersize=4, color=colour,
                                           label=s.label)
            if not all(map(math.isnan, low)):
                banded = True
                axes[0][column].fill_between(sizes, low, high, color=colour, alpha=0.2,
                                             linewidth=0)
            if s.udp:
                axes[1][column].plot(sizes, _column(points, "loss", sizes), marker="o",
                                     markersize=4, color=colour)
        handles.append(line)

    for column, (_, heading) in enumerate(DIRECTIONS):
        axes[0][column].set_title(heading)
        axes[-1][column].set_xlabel("Block size (bytes; k = 1024)")
        for row in range(rows):
            ax = axes[row][column]
            ax.set_xscale("log", base=2)
            ax.xaxis.set_major_locator(FixedLocator(sizes))
            ax.xaxis.set_major_formatter(
                FuncFormatter(lambda x, _: tick_labels.get(round(x), size_label(round(x)))))
            ax.xaxis.set_minor_locator(NullLocator())
            ax.grid(True, alpha=0.3)
        axes[0][column].set_ylim(bottom=0)
    axes[0][0].set_ylabel("Rate (MByte/s, 1 MByte = 1024² bytes)")
    if with_loss:
        axes[1][0].set_ylabel("UDP loss (%)")
        # Zero in sight, so that 2 % does not look like 50 %; loss may be negative (strays).
        axes[1][0].set_ylim(bottom=min(0, axes[1][0].get_ylim()[0]))
    if title:
        figure.suptitle(title)
    figure.tight_layout()
    labels = [s.label for s in series_list]
    if banded and band_note:
        handles.append(Patch(facecolor="gray", alpha=0.2))
        labels.append(band_note)
    figure.legend(handles, labels, loc="upper center", bbox_to_anchor=(0.5, 0.0),
                  ncol=min(3, len(labels)), frameon=False)

    directory = os.path.dirname(os.path.abspath(out_path))
    handle, temporary = tempfile.mkstemp(suffix=".svg", dir=directory)
    try:
        with os.fdopen(handle, "wb") as out:
            figure.savefig(out, format="svg", bbox_inches="tight", metadata={"Date": None})
        # mkstemp's file is private; the picture gets the mode any new file would.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, out_path)
    except BaseException:
        os.unlink(temporary)
        raise
    finally:
        plt.close(figure)
