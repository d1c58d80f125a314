"""A demonstration of quavix's five converters, on a built-in test signal.

It synthesises a stereo test signal at 44.1 kHz (a 997 Hz tone on the left channel, a
logarithmic sweep from 20 Hz to 20 kHz on the right) and converts it to 48 kHz with each of
libsamplerate's converters, one call each:

    converted = quavix.resample(signal, 48000 / 44100, "sinc_best")

The signal and what comes back are float32 arrays of shape (frames, channels). It writes the WAV
files and the sweep's spectrograms (spectrograms.png) to a folder and prints a table of figures:

    demo.py [--duration SECONDS] [--out-dir FOLDER]

It needs the examples extra (soundfile and matplotlib): pip install 'quavix[examples]'.
"""

from __future__ import annotations

import argparse
import math
import time
from pathlib import Path
from typing import Any

import numpy as np
from cli import FILE_OPTIONS, CliError, OneLineParser, accept, extra, refuse, run, soundfile_message
from numpy.typing import NDArray

import quavix

PROGRAM = "demo.py"
CONVERTERS = tuple(quavix.ConverterType.__members__)
INPUT_RATE = 44100
OUTPUT_RATE = 48000
TONE_HZ = 997.0
SWEEP_START_HZ = 20.0
SWEEP_END_HZ = 20000.0
AMPLITUDE = 0.5
FADE_SECONDS = 0.01
DEFAULT_DURATION = 3.0
DEFAULT_OUT_DIR = Path("out/resample_demo")
MIN_DURATION, MAX_DURATION = 0.1, 600.0
# Share of the converted tone left out at each end of the SNR measurement (filter start-up).
EDGE_SHARE = 0.1


# --- the test signal -------------------------------------------------------------------------


def tone(times: NDArray[Any], delay: float = 0.0) -> NDArray[Any]:
    """The exact test tone at the given times (seconds), optionally delayed."""
    exact: NDArray[Any] = AMPLITUDE * np.sin(2 * np.pi * TONE_HZ * (times - delay))
    return exact


def sweep(times: NDArray[Any], duration: float) -> NDArray[Any]:
    """Logarithmic sweep from SWEEP_START_HZ to SWEEP_END_HZ, faded in and out.

    The fades make the signal start and end at rest, so that its spectrum over the whole length
    has no leakage from the edges and only the converter puts energy above the input's Nyquist
    frequency.
    """
    growth = math.log(SWEEP_END_HZ / SWEEP_START_HZ)
    phase = 2 * np.pi * SWEEP_START_HZ * duration / growth * np.expm1(times / duration * growth)
    fade = np.clip(np.minimum(times, duration - times) / FADE_SECONDS, 0.0, 1.0)
    faded: NDArray[Any] = AMPLITUDE * np.sin(phase) * np.sin(0.5 * np.pi * fade) ** 2
    return faded


def demo_signal(duration: float) -> NDArray[Any]:
    """Stereo float32 frames at INPUT_RATE: the tone on the left, the sweep on the right."""
    frames = round(duration * INPUT_RATE)
    times = np.arange(frames) / INPUT_RATE
    stereo: NDArray[Any] = np.stack([tone(times), sweep(times, frames / INPUT_RATE)], axis=1)
    return stereo.astype(np.float32)


# --- the demonstration -----------------------------------------------------------------------


def demo(args: argparse.Namespace) -> int:
    sf = extra("soundfile")
    plt = pyplot()
    out_dir = output_folder(args.out_dir)
    signal = demo_signal(args.duration)
    seconds = signal.shape[0] / INPUT_RATE
    ratio = OUTPUT_RATE / INPUT_RATE  # quavix's ratio is always the output rate over the input's
    print(
        f"Test signal: {seconds:g} s stereo at {INPUT_RATE} Hz (left: {TONE_HZ:g} Hz tone, "
        f"right: log sweep {SWEEP_START_HZ:g} Hz to {SWEEP_END_HZ / 1000:g} kHz), converted to "
        f"{OUTPUT_RATE} Hz"
    )
    print(f"Output folder: {out_dir}")
    write_wav(sf, out_dir / f"test_signal_{INPUT_RATE}.wav", signal, INPUT_RATE)

    print()
    print(TABLE_HEADER)
    sweeps = {f"input, {INPUT_RATE} Hz": (signal[:, 1], INPUT_RATE)}
    for name in CONVERTERS:
        # The whole signal at once, with the converter named: (frames, 2) float32 in and out.
        started = time.perf_counter()
        converted = quavix.resample(signal, ratio, name)
        elapsed = time.perf_counter() - started
        write_wav(sf, out_dir / f"{name}_{OUTPUT_RATE}.wav", converted, OUTPUT_RATE)
        delay, snr = tone_quality(converted[:, 0], OUTPUT_RATE)
        above = energy_above(converted[:, 1], OUTPUT_RATE, INPUT_RATE / 2)
        frames = (signal.shape[0], converted.shape[0])
        print(table_row(name, *frames, elapsed, seconds, delay, snr, above))
        sweeps[name] = (converted[:, 1], OUTPUT_RATE)
    print()
    print("RTF: conversion time / signal duration. delay (in): the converter's delay in input")
    print("frames, taken out before the tone's SNR is measured. above 22.05 kHz: the sweep's")
    print("energy above the input's Nyquist frequency (images and aliases) relative to the sweep.")
    picture = out_dir / "spectrograms.png"
    plot_spectrograms(plt, sweeps, picture)
    print(f"Wrote the WAV files and {picture.name} to {out_dir}")
    return 0


def main(argv: list[str] | None = None) -> int:
    return run(PROGRAM, lambda: demo(parse_arguments(argv)))


# --- the files and the table -----------------------------------------------------------------


def output_folder(path: Path) -> Path:
    folder = path.absolute()
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise CliError(f"cannot create the output folder {folder}: {error.strerror}") from None
    return folder


def write_wav(sf: Any, path: Path, frames: NDArray[Any], rate: int) -> None:
    try:
        sf.write(path, frames, rate, subtype="FLOAT")
    except (RuntimeError, OSError) as error:
        raise CliError(f"cannot write {path}: {soundfile_message(error)}") from None


TABLE_HEADER = (
    f"{'converter':<16}{'frames in':>10}{'frames out':>11}{'time (ms)':>11}{'RTF':>9}"
    f"{'delay (in)':>11}{'tone SNR (dB)':>15}{'above 22.05 kHz (dB)':>22}"
)


def table_row(
    name: str,
    frames_in: int,
    frames_out: int,
    seconds: float,
    duration: float,
    delay: float,
    snr: float,
    above: float,
) -> str:
    return (
        f"{name:<16}{frames_in:>10}{frames_out:>11}{seconds * 1000:>11.2f}"
        f"{seconds / duration:>9.4f}{delay * INPUT_RATE:>11.3f}{snr:>15.1f}{above:>22.1f}"
    )


# --- quality measures ------------------------------------------------------------------------


def measured_delay(converted_tone: NDArray[Any], times: NDArray[Any]) -> float:
    """The converter's delay in seconds, from the phase of the converted tone.

    A least-squares fit of sine and cosine at the tone's frequency gives its phase; the delay is
    known modulo one period of the tone, which is all the alignment needs.
    """
    angle = 2 * np.pi * TONE_HZ * times
    basis = np.stack([np.sin(angle), np.cos(angle)], axis=1)
    (sine, cosine), *_ = np.linalg.lstsq(basis, converted_tone, rcond=None)
    return -math.atan2(cosine, sine) / (2 * np.pi * TONE_HZ)


def tone_quality(converted_tone: NDArray[Any], rate: int) -> tuple[float, float]:
    """(delay in seconds, SNR in dB) of the converted tone against the exact analytic tone.

    Only the middle of the signal counts, away from the converter's start-up and run-out; the
    reference is the exact tone delayed as the converter delays it, with the exact amplitude.
    """
    frames = converted_tone.shape[0]
    edge = int(frames * EDGE_SHARE)
    middle = converted_tone[edge : frames - edge].astype(np.float64)
    times = np.arange(edge, frames - edge) / rate
    delay = measured_delay(middle, times)
    reference = tone(times, delay)
    noise = np.sum((middle - reference) ** 2)
    return delay, decibels(np.sum(reference**2), noise)


def energy_above(signal: NDArray[Any], rate: int, frequency: float) -> float:
    """Energy of `signal` above `frequency` relative to its whole energy, in dB."""
    power = np.abs(np.fft.rfft(signal.astype(np.float64))) ** 2
    frequencies = np.fft.rfftfreq(signal.shape[0], 1 / rate)
    return decibels(np.sum(power[frequencies > frequency]), np.sum(power))


def decibels(numerator: float, denominator: float) -> float:
    if numerator == 0:
        return -math.inf
    if denominator == 0:
        return math.inf
    return 10 * math.log10(numerator / denominator)


# --- the picture -----------------------------------------------------------------------------


def pyplot() -> Any:
    extra("matplotlib").use("Agg")  # files only, no display needed
    return extra("matplotlib.pyplot")


def spectrogram(
    signal: NDArray[Any], rate: int, size: int = 1024, hop: int = 256
) -> tuple[NDArray[Any], float]:
    """Power in dB (frequency by time) of a Hann-windowed short-time Fourier transform."""
    window = np.hanning(size)
    starts = np.arange(0, max(signal.shape[0] - size, 0) + 1, hop)
    segments = np.stack([signal[s : s + size] for s in starts]) * window
    power = np.abs(np.fft.rfft(segments, axis=1)) ** 2
    return 10 * np.log10(power.T + 1e-30), signal.shape[0] / rate


def plot_spectrograms(plt: Any, sweeps: dict[str, tuple[NDArray[Any], int]], path: Path) -> None:
    figure, axes = plt.subplots(2, 3, figsize=(15, 8), sharey=True, layout="constrained")
    for axis, (title, (signal, rate)) in zip(axes.flat, sweeps.items(), strict=True):
        power, seconds = spectrogram(signal.astype(np.float64), rate)
        top = power.max()
        image = axis.imshow(
            power - top,
            origin="lower",
            aspect="auto",
            cmap="magma",
            vmin=-160,
            vmax=0,
            extent=(0, seconds, 0, rate / 2000),
        )
        axis.axhline(INPUT_RATE / 2000, color="cyan", linewidth=0.6, linestyle="--")
        axis.set_title(title)
        axis.set_xlabel("time (s)")
    for axis in axes[:, 0]:
        axis.set_ylabel("frequency (kHz)")
    axis.set_ylim(0, OUTPUT_RATE / 2000)
    figure.colorbar(image, ax=axes, label="power (dB below peak)")
    figure.suptitle(
        f"Log sweep {SWEEP_START_HZ:g} Hz to {SWEEP_END_HZ / 1000:g} kHz, {INPUT_RATE} Hz to "
        f"{OUTPUT_RATE} Hz (dashed: the input's Nyquist frequency)"
    )
    figure.savefig(path, dpi=80)
    plt.close(figure)


# --- arguments -------------------------------------------------------------------------------


def duration_seconds(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = math.nan
    if not MIN_DURATION <= seconds <= MAX_DURATION:  # also refuses NaN
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a duration from {MIN_DURATION:g} to {MAX_DURATION:g} seconds"
        )
    return seconds


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = OneLineParser(
        prog=PROGRAM,
        description="Convert a built-in test signal with each of quavix's five converters.",
    )
    parser.add_argument(
        "--duration",
        type=duration_seconds,
        default=DEFAULT_DURATION,
        metavar="SECONDS",
        help=f"length of the test signal in seconds (default {DEFAULT_DURATION:g})",
    )
    parser.add_argument(
        "--out-dir",
        type=Path,
        default=DEFAULT_OUT_DIR,
        metavar="FOLDER",
        help=f"folder for the results (default {DEFAULT_OUT_DIR})",
    )
    accept(parser, FILE_OPTIONS)
    args = parser.parse_args(argv)
    refuse(parser, args, FILE_OPTIONS, "need INPUT and OUTPUT")
    return args


if __name__ == "__main__":
    raise SystemExit(main())
