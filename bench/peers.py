"""Peers: throughput and quality of quavix, soxr and scipy from 44.1 to 48 kHz, and their
picture (docs/peers.png)."""

from dataclasses import dataclass
from functools import partial

import numpy as np

import quavix

from . import quality
from .reference import CONVERTERS
from .report import table
from .timing import stopwatch
from .workload import RATE_IN, RATE_OUT, RATIO, blocks_of, has_streaming, test_signal

SOXR_QUALITIES = ("QQ", "LQ", "MQ", "HQ", "VHQ")
PEER_BLOCK = 1024
SHORT_NAMES = {"zero_order_hold": "zoh", "resample_poly 160/147": "resample_poly"}


@dataclass
class Peer:
    library: str
    variant: str
    mode: str
    convert: object  # (signal of frames × channels or frames) -> output
    marker: str

    @property
    def streamed(self):
        return "Stream" in self.mode or "Resampler" in self.mode


def quavix_stream(converter, signal, block=PEER_BLOCK):
    channels = 1 if signal.ndim == 1 else signal.shape[1]
    resampler = quavix.Resampler(converter, channels)
    blocks = blocks_of(signal, block)
    parts = [resampler.process(b, RATIO, i == len(blocks) - 1) for i, b in enumerate(blocks)]
    return np.concatenate(parts)


def soxr_stream(soxr, preset, signal, block=PEER_BLOCK):
    channels = 1 if signal.ndim == 1 else signal.shape[1]
    stream = soxr.ResampleStream(RATE_IN, RATE_OUT, channels, dtype="float32", quality=preset)
    blocks = blocks_of(signal, block)
    parts = [stream.resample_chunk(b, last=i == len(blocks) - 1) for i, b in enumerate(blocks)]
    return np.concatenate(parts)


def optional_soxr():
    """soxr, or None where it cannot be installed (it has no wheel for the free-threaded 3.13)."""
    try:
        import soxr
    except ImportError:
        return None
    return soxr


def peers():
    from scipy.signal import resample_poly

    soxr = optional_soxr()

    found = []
    for converter in CONVERTERS:
        found.append(
            Peer(
                "quavix",
                converter,
                "resample",
                partial(quavix.resample, ratio=RATIO, converter_type=converter),
                "o",
            )
        )
    if has_streaming():
        for converter in CONVERTERS:
            found.append(
                Peer(
                    "quavix",
                    converter,
                    f"Resampler, {PEER_BLOCK}-frame blocks",
                    partial(quavix_stream, converter),
                    "s",
                )
            )
    for preset in SOXR_QUALITIES if soxr else ():
        found.append(
            Peer(
                "soxr",
                preset,
                "resample",
                partial(soxr.resample, in_rate=RATE_IN, out_rate=RATE_OUT, quality=preset),
                "^",
            )
        )
    for preset in SOXR_QUALITIES if soxr else ():
        found.append(
            Peer(
                "soxr",
                preset,
                f"ResampleStream, {PEER_BLOCK}-frame chunks",
                partial(soxr_stream, soxr, preset),
                "v",
            )
        )
    found.append(
        Peer(
            "scipy",
            "resample_poly 160/147",
            "resample_poly",
            partial(resample_poly, up=160, down=147, axis=0),
            "D",
        )
    )
    return found


def run(ref, settings, report):
    import scipy

    soxr = optional_soxr()

    signal = test_signal(int(settings.oneshot_seconds * RATE_IN), 2)
    entries = peers()
    times = {i: [] for i in range(len(entries))}
    yardstick = []
    for entry in entries:
        entry.convert(signal[:4096])  # warm-up
    for rep in range(settings.peer_reps):
        order = list(range(len(entries)))
        order = order[rep % len(order) :] + order[: rep % len(order)]
        for i in order:
            entry = entries[i]
            times[i].append(stopwatch(lambda entry=entry: entry.convert(signal)))
            yardstick.append(ref.time("simple", signal, "sinc_fastest", RATIO).seconds)
    c_fastest = float(np.median(yardstick))
    rows = []
    points = []
    for i, entry in enumerate(entries):
        seconds = float(np.median(times[i]))
        figures = quality.measure(lambda x, entry=entry: entry.convert(x))
        throughput = signal.shape[0] / seconds
        points.append((entry, throughput, figures))
        rows.append(
            [
                entry.library,
                entry.variant,
                entry.mode,
                f"{throughput / 1e6:.2f}",
                f"{c_fastest / seconds:.3f}",
                f"{figures['snr_exact']:.1f}",
                f"{figures['snr_fit']:.1f}",
                f"{figures['sweep']:.1f}",
            ]
        )
    report.add(
        f"Peers: throughput and quality, 44.1 → 48 kHz "
        f"(soxr {soxr.__version__ if soxr else 'not installed here'}, "
        f"scipy {scipy.__version__}, {settings.peer_reps} round-robin repetitions)",
        table(
            [
                "library",
                "converter / preset",
                "call",
                "Mframes/s (stereo)",
                "speed vs C sinc_fastest",
                "tone SNR, exact (dB)",
                "tone SNR, fitted sine (dB)",
                "sweep: other energy (dB below)",
            ],
            rows,
        ),
        f"Throughput: {settings.oneshot_seconds:g} s of stereo, median time; the speed column "
        "divides libsamplerate's `src_simple` with `sinc_fastest` in C, timed between the "
        "entries, by each entry's time. Tone: 997 Hz at -6 dBFS against the exact sine at "
        "48 kHz (exact), and against the best-fitting sine (fitted, which forgives a constant "
        "delay such as `linear`'s one input frame). Sweep: 20 Hz to 21 kHz; energy outside "
        "the sweep's instantaneous band (images, aliases, distortion) below the sweep's.",
    )
    return points


def plot(points, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    colours = {"quavix": "tab:blue", "soxr": "tab:orange", "scipy": "tab:green"}
    figure, axes = plt.subplots(1, 2, figsize=(13, 5.5), sharex=True)
    measures = (
        ("snr_exact", "tone SNR against the exact sine (dB)"),
        ("sweep", "sweep: energy of everything else, dB below the sweep"),
    )
    seen = set()
    for axis, (key, label) in zip(axes, measures, strict=True):
        for entry, throughput, figures in points:
            legend = f"{entry.library}: {entry.mode}"
            axis.scatter(
                throughput,
                figures[key],
                marker=entry.marker,
                color=colours[entry.library],
                s=45,
                label=None if (legend, key) in seen else legend,
            )
            seen.add((legend, key))
            if entry.streamed:
                continue  # sits on its one-shot twin's label
            axis.annotate(
                SHORT_NAMES.get(entry.variant, entry.variant.split()[0]),
                (throughput, figures[key]),
                fontsize=7,
                xytext=(4, 3),
                textcoords="offset points",
            )
        axis.set_xscale("log")
        axis.set_xlabel("throughput (stereo frames per second, log scale)")
        axis.set_ylabel(label)
        axis.grid(True, which="both", alpha=0.3)
    axes[0].legend(fontsize=8, loc="lower left")
    figure.suptitle(
        "44.1 kHz to 48 kHz: quality against throughput, one point per library and preset"
    )
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


def targets(found):
    """Peers are compared, not judged."""
    return []
