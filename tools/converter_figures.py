"""Measures the quality and speed of libsamplerate's five converters through quavix and prints
the Markdown table of the README's "Choosing a converter" section.

    ./tools/dev.sh python tools/converter_figures.py

Quality: the SNR of a 997 Hz tone converted from 44.1 to 48 kHz (everything that is not the
tone, after a least-squares fit of the tone's amplitude and phase, over the middle of the
signal), and the rejection of a 23 kHz tone converted from 48 to 44.1 kHz, where nothing above
the new Nyquist frequency (22.05 kHz) should survive. Speed: one-shot conversion of 10 s of
stereo from 44.1 to 48 kHz, the best of five runs, as input frames per second, as a multiple of
real time and relative to sinc_best. Speeds depend on the machine; their ratios carry over.
"""

from __future__ import annotations

import math
import platform
import time

import numpy as np
from numpy.typing import NDArray

import quavix

CONVERTERS = ("sinc_best", "sinc_medium", "sinc_fastest", "linear", "zero_order_hold")


def tone(frequency: float, rate: int, seconds: float) -> NDArray[np.float32]:
    t = np.arange(round(rate * seconds)) / rate
    return (0.5 * np.sin(2 * np.pi * frequency * t)).astype(np.float32)


def middle(x: NDArray[np.float32]) -> NDArray[np.float64]:
    edge = len(x) // 10
    return x[edge : len(x) - edge].astype(np.float64)


def residual_db(signal: NDArray[np.float32], frequency: float, rate: int) -> float:
    """Power of `signal` besides the best-fitting tone at `frequency`, relative to that tone."""
    y = middle(signal)
    angle = 2 * np.pi * frequency * np.arange(len(y)) / rate
    basis = np.stack([np.sin(angle), np.cos(angle), np.ones_like(angle)], axis=1)
    coefficients, *_ = np.linalg.lstsq(basis, y, rcond=None)
    fitted = basis @ coefficients
    return 10 * math.log10(float(np.sum((y - fitted) ** 2)) / float(np.sum(fitted**2)))


def tone_snr(converter: str) -> float:
    out = quavix.resample(tone(997.0, 44100, 2.0), 48000 / 44100, converter)
    return -residual_db(out, 997.0, 48000)


def alias_rejection(converter: str) -> float:
    source = tone(23000.0, 48000, 2.0)
    out = quavix.resample(source, 44100 / 48000, converter)
    left, right = middle(out), middle(source)
    return -10 * math.log10(float(np.mean(left**2)) / float(np.mean(right**2)))


def speed(converter: str) -> float:
    """Input frames converted per second, best of five."""
    rng = np.random.default_rng(1)
    stereo = (0.25 * rng.standard_normal((441000, 2))).astype(np.float32)
    best = math.inf
    for _ in range(5):
        started = time.perf_counter()
        quavix.resample(stereo, 48000 / 44100, converter)
        best = min(best, time.perf_counter() - started)
    return len(stereo) / best


def processor() -> str:
    try:
        with open("/proc/cpuinfo") as info:
            names = [
                line.split(":", 1)[1].strip() for line in info if line.startswith("model name")
            ]
    except OSError:
        names = []
    return f"{len(names)} × {names[0]}" if names else platform.machine()


def main() -> None:
    print(f"Measured on {processor()}, one thread.")
    print()
    print("| converter | tone SNR, 44.1 → 48 kHz | 23 kHz rejected, 48 → 44.1 kHz "
          "| speed, stereo 44.1 → 48 kHz | relative speed |")  # fmt: skip
    print("|---|---:|---:|---:|---:|")
    speeds = {name: speed(name) for name in CONVERTERS}
    for name, frames in speeds.items():
        print(
            f"| `{name}` | {tone_snr(name):.1f} dB | {alias_rejection(name):.1f} dB "
            f"| {frames / 1e6:.2f} M frames/s ({frames / 44100:.0f}× real time) "
            f"| {frames / speeds['sinc_best']:.1f} |"
        )


if __name__ == "__main__":
    main()
