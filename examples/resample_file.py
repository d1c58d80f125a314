"""Converts audio with quavix.

With no arguments it runs a demonstration: it synthesises a stereo test signal at 44.1 kHz (a
997 Hz tone on the left channel, a logarithmic sweep from 20 Hz to 20 kHz on the right), converts
it to 48 kHz with each of libsamplerate's five converters, writes the WAV files and a picture of
the sweep's spectrograms into an output folder, and prints a table of speed and quality figures:

    resample_file.py [--duration SECONDS] [--out-dir FOLDER]

With a file it converts that file to another rate, block by block with a progress bar:

    resample_file.py INPUT OUTPUT [--rate HZ] [--converter NAME] [--subtype NAME]
                     [--block-frames N]

Files are read and written with soundfile; the output format follows OUTPUT's extension and keeps
the input's sample format where that format allows it (else the format's default, or --subtype).
"""

from __future__ import annotations

import argparse
import importlib
import math
import sys
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np

import quavix

try:
    import soundfile as sf
except ImportError:  # part of the optional examples extra: reported when needed
    sf = None

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
DEFAULT_BLOCK_FRAMES = 1 << 16
MIN_RATIO, MAX_RATIO = 1 / 256, 256.0
MIN_DURATION, MAX_DURATION = 0.1, 600.0
# Share of the converted tone left out at each end of the SNR measurement (filter start-up).
EDGE_SHARE = 0.1


class CliError(Exception):
    """A failure the user can act on: reported as one line, with an exit status."""

    def __init__(self, message: str, status: int = 1):
        super().__init__(message)
        self.status = status


class OneLineParser(argparse.ArgumentParser):
    """An argument parser whose errors are a single line (argparse prints the usage first)."""

    def error(self, message: str) -> Any:  # never returns
        raise CliError(f"{message} (see --help)", status=2)


# --- argument types --------------------------------------------------------------------------


def positive_rate(text: str) -> int:
    try:
        rate = int(text)
    except ValueError:
        rate = 0
    if rate <= 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive whole number of hertz")
    return rate


def converter_name(text: str) -> str:
    if text not in CONVERTERS:
        raise argparse.ArgumentTypeError(
            f"unknown converter {text!r} (choose from {', '.join(CONVERTERS)})"
        )
    return text


def block_frames(text: str) -> int:
    try:
        frames = int(text)
    except ValueError:
        frames = 0
    if frames <= 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive whole number of frames")
    return frames


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
        prog="resample_file.py",
        description="Convert audio with quavix. Without INPUT and OUTPUT, run a demonstration "
        "of the five converters on a built-in test signal.",
    )
    parser.add_argument(
        "input", nargs="?", type=Path, metavar="INPUT", help="audio file to convert"
    )
    parser.add_argument(
        "output", nargs="?", type=Path, metavar="OUTPUT", help="file to write the result to"
    )
    file_options = parser.add_argument_group("file conversion")
    file_options.add_argument(
        "--rate",
        type=positive_rate,
        metavar="HZ",
        help=f"output sample rate in Hz (default {OUTPUT_RATE})",
    )
    file_options.add_argument(
        "--converter",
        type=converter_name,
        metavar="NAME",
        help=f"one of {', '.join(CONVERTERS)} (default sinc_best)",
    )
    file_options.add_argument(
        "--subtype",
        metavar="NAME",
        help="output sample format, e.g. FLOAT or PCM_24 (default: the input's)",
    )
    file_options.add_argument(
        "--block-frames",
        type=block_frames,
        metavar="N",
        help=f"frames converted per block (default {DEFAULT_BLOCK_FRAMES})",
    )
    demo_options = parser.add_argument_group("demonstration")
    demo_options.add_argument(
        "--duration",
        type=duration_seconds,
        metavar="SECONDS",
        help=f"length of the test signal in seconds (default {DEFAULT_DURATION:g})",
    )
    demo_options.add_argument(
        "--out-dir",
        type=Path,
        metavar="FOLDER",
        help=f"folder for the results (default {DEFAULT_OUT_DIR})",
    )
    args = parser.parse_args(argv)

    file_given = {
        "--rate": args.rate,
        "--converter": args.converter,
        "--subtype": args.subtype,
        "--block-frames": args.block_frames,
    }
    demo_given = {"--duration": args.duration, "--out-dir": args.out_dir}
    if args.input is None:
        misplaced = [name for name, value in file_given.items() if value is not None]
        if misplaced:
            parser.error(f"{', '.join(misplaced)} need INPUT and OUTPUT")
    else:
        if args.output is None:
            parser.error("OUTPUT is missing: give INPUT and OUTPUT")
        misplaced = [name for name, value in demo_given.items() if value is not None]
        if misplaced:
            parser.error(f"{', '.join(misplaced)} apply only to the demonstration (no files)")
    return args


def missing_extra(name: str) -> CliError:
    return CliError(f"this example needs {name}: pip install 'quavix[examples]'")


def require_soundfile() -> None:
    if sf is None:
        raise missing_extra("soundfile")


def optional(name: str) -> Any:
    """Imports a package of the optional examples extra, or says how to install it."""
    try:
        return importlib.import_module(name)
    except ImportError:
        raise missing_extra(name) from None


# --- file conversion -------------------------------------------------------------------------


# soundfile ships no type information: its SoundFile objects are typed Any here.


def open_input(path: Path) -> Any:
    if not path.exists():
        raise CliError(f"no such file: {path}")
    if not path.is_file():
        raise CliError(f"not a file: {path}")
    try:
        return sf.SoundFile(path)
    except (RuntimeError, OSError) as error:
        raise CliError(f"cannot read {path}: {describe_soundfile_error(error)}") from None


def describe_soundfile_error(error: Exception) -> str:
    # LibsndfileError keeps libsndfile's own text apart from the "Error opening ..." prefix.
    text = getattr(error, "error_string", None) or str(error)
    return text.rstrip(".")


def output_subtype(source: Any, output: Path, requested: str | None) -> tuple[str, str]:
    """The output file's format (from its extension) and sample format."""
    container = output.suffix.lstrip(".").upper()
    if container not in sf.available_formats():
        raise CliError(f"cannot tell the audio format of {output} from its extension")
    if requested is not None:
        subtype = requested.upper()
        if not sf.check_format(container, subtype):
            raise CliError(f"the {container} format cannot hold {requested!r} samples")
        return container, subtype
    if sf.check_format(container, source.subtype):
        return container, source.subtype
    return container, sf.default_subtype(container)


def open_output(source: Any, output: Path, rate: int, subtype: str | None) -> Any:
    if not output.parent.is_dir():
        raise CliError(f"no such folder: {output.parent}")
    container, subtype = output_subtype(source, output, subtype)
    try:
        return sf.SoundFile(
            output,
            "w",
            samplerate=rate,
            channels=source.channels,
            subtype=subtype,
            format=container,
        )
    except (RuntimeError, OSError, ValueError) as error:
        raise CliError(f"cannot write {output}: {describe_soundfile_error(error)}") from None


def check_ratio(ratio: float, source_rate: int, rate: int) -> None:
    # quavix would refuse these too, but only after the output file had been created.
    if not MIN_RATIO <= ratio <= MAX_RATIO:
        raise CliError(
            f"cannot convert {source_rate} Hz to {rate} Hz: the rates may differ by a factor "
            "of 256 at most"
        )


def blocks_with_end(source: Any, frames_per_block: int) -> Iterator[tuple[np.ndarray, bool]]:
    """Yields (block, is_last) over the whole file; an empty file gives one empty last block."""
    previous = None
    for block in source.blocks(frames_per_block, dtype="float32", always_2d=True):
        if previous is not None:
            yield previous, False
        previous = block
    if previous is None:
        previous = np.zeros((0, source.channels), dtype=np.float32)
    yield previous, True


def convert_in_blocks(
    source: Any,
    target: Any,
    ratio: float,
    converter: str,
    frames_per_block: int,
    tqdm: Any,
) -> int:
    """Streams the file through a Resampler, which keeps the filter state across blocks."""
    resampler = quavix.Resampler(converter, source.channels)
    produced = 0
    with tqdm(
        total=source.frames,
        unit="frame",
        unit_scale=True,
        desc=Path(source.name).name,
        disable=None,
        leave=False,
    ) as progress:
        for block, is_last in blocks_with_end(source, frames_per_block):
            converted = resampler.process(block, ratio, end_of_input=is_last)
            target.write(converted)
            produced += converted.shape[0]
            progress.update(block.shape[0])
    return produced


def convert_at_once(source: Any, target: Any, ratio: float, converter: str) -> int:
    print(
        "note: this quavix has no Resampler yet; converting the whole file at once",
        file=sys.stderr,
    )
    data = source.read(dtype="float32", always_2d=True)
    converted = quavix.resample(data, ratio, converter)
    target.write(converted)
    return len(converted)


def convert_file(args: argparse.Namespace) -> int:
    require_soundfile()
    rate = args.rate or OUTPUT_RATE
    converter = args.converter or "sinc_best"
    streaming = hasattr(quavix, "Resampler")
    tqdm = optional("tqdm").tqdm if streaming else None
    if args.output.exists() and args.input.exists() and args.output.samefile(args.input):
        raise CliError("OUTPUT must not be INPUT: the input would be overwritten while read")
    with open_input(args.input) as source:
        ratio = rate / source.samplerate
        check_ratio(ratio, source.samplerate, rate)
        target = open_output(source, args.output, rate, args.subtype)
        started = time.perf_counter()
        try:
            with target:
                if streaming:
                    frames_per_block = args.block_frames or DEFAULT_BLOCK_FRAMES
                    produced = convert_in_blocks(
                        source, target, ratio, converter, frames_per_block, tqdm
                    )
                else:
                    produced = convert_at_once(source, target, ratio, converter)
        except BaseException:
            args.output.unlink(missing_ok=True)  # no half-written result left behind
            raise
        elapsed = time.perf_counter() - started
        print(
            f"{args.input} ({source.frames} frames at {source.samplerate} Hz, "
            f"{source.channels} channels) -> {args.output} ({produced} frames at {rate} Hz, "
            f"{target.subtype}) with {converter} in {elapsed:.3f} s"
        )
    return 0


# --- demonstration ---------------------------------------------------------------------------


def tone(times: np.ndarray, delay: float = 0.0) -> np.ndarray:
    """The exact test tone at the given times (seconds), optionally delayed."""
    return AMPLITUDE * np.sin(2 * np.pi * TONE_HZ * (times - delay))


def sweep(times: np.ndarray, duration: float) -> np.ndarray:
    """Logarithmic sweep from SWEEP_START_HZ to SWEEP_END_HZ, faded in and out.

    The fades make the signal start and end at rest, so that its spectrum over the whole length
    has no leakage from the edges and only the converter puts energy above the input's Nyquist
    frequency.
    """
    growth = math.log(SWEEP_END_HZ / SWEEP_START_HZ)
    phase = 2 * np.pi * SWEEP_START_HZ * duration / growth * np.expm1(times / duration * growth)
    fade = np.clip(np.minimum(times, duration - times) / FADE_SECONDS, 0.0, 1.0)
    faded: np.ndarray = AMPLITUDE * np.sin(phase) * np.sin(0.5 * np.pi * fade) ** 2
    return faded


def demo_signal(duration: float) -> np.ndarray:
    """Stereo float32 frames at INPUT_RATE: the tone on the left, the sweep on the right."""
    frames = round(duration * INPUT_RATE)
    times = np.arange(frames) / INPUT_RATE
    return np.stack([tone(times), sweep(times, frames / INPUT_RATE)], axis=1).astype(np.float32)


def measured_delay(converted_tone: np.ndarray, times: np.ndarray) -> float:
    """The converter's delay in seconds, from the phase of the converted tone.

    A least-squares fit of sine and cosine at the tone's frequency gives its phase; the delay is
    known modulo one period of the tone, which is all the alignment needs.
    """
    angle = 2 * np.pi * TONE_HZ * times
    basis = np.stack([np.sin(angle), np.cos(angle)], axis=1)
    (sine, cosine), *_ = np.linalg.lstsq(basis, converted_tone, rcond=None)
    return -math.atan2(cosine, sine) / (2 * np.pi * TONE_HZ)


def tone_quality(converted_tone: np.ndarray, rate: int) -> tuple[float, float]:
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


def energy_above(signal: np.ndarray, rate: int, frequency: float) -> float:
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


def spectrogram(
    signal: np.ndarray, rate: int, size: int = 1024, hop: int = 256
) -> tuple[np.ndarray, float]:
    """Power in dB (frequency by time) of a Hann-windowed short-time Fourier transform."""
    window = np.hanning(size)
    starts = np.arange(0, max(signal.shape[0] - size, 0) + 1, hop)
    segments = np.stack([signal[s : s + size] for s in starts]) * window
    power = np.abs(np.fft.rfft(segments, axis=1)) ** 2
    return 10 * np.log10(power.T + 1e-30), signal.shape[0] / rate


def load_pyplot() -> Any:
    optional("matplotlib").use("Agg")  # files only, no display needed
    return optional("matplotlib.pyplot")


def plot_spectrograms(plt: Any, sweeps: dict[str, tuple[np.ndarray, int]], path: Path) -> None:
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


def write_wav(path: Path, frames: np.ndarray, rate: int) -> None:
    try:
        sf.write(path, frames, rate, subtype="FLOAT")
    except (RuntimeError, OSError) as error:
        raise CliError(f"cannot write {path}: {describe_soundfile_error(error)}") from None


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


def run_demo(args: argparse.Namespace) -> int:
    require_soundfile()
    plt = load_pyplot()
    duration = args.duration or DEFAULT_DURATION
    out_dir = (args.out_dir or DEFAULT_OUT_DIR).absolute()
    try:
        out_dir.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise CliError(f"cannot create the output folder {out_dir}: {error.strerror}") from None

    signal = demo_signal(duration)
    seconds = signal.shape[0] / INPUT_RATE
    ratio = OUTPUT_RATE / INPUT_RATE
    print(
        f"Test signal: {seconds:g} s stereo at {INPUT_RATE} Hz (left: {TONE_HZ:g} Hz tone, "
        f"right: log sweep {SWEEP_START_HZ:g} Hz to {SWEEP_END_HZ / 1000:g} kHz), converted to "
        f"{OUTPUT_RATE} Hz"
    )
    print(f"Output folder: {out_dir}")
    write_wav(out_dir / f"test_signal_{INPUT_RATE}.wav", signal, INPUT_RATE)

    print()
    print(TABLE_HEADER)
    sweeps = {f"input, {INPUT_RATE} Hz": (signal[:, 1], INPUT_RATE)}
    for name in CONVERTERS:
        started = time.perf_counter()
        converted = quavix.resample(signal, ratio, name)
        elapsed = time.perf_counter() - started
        write_wav(out_dir / f"{name}_{OUTPUT_RATE}.wav", converted, OUTPUT_RATE)
        delay, snr = tone_quality(converted[:, 0], OUTPUT_RATE)
        above = energy_above(converted[:, 1], OUTPUT_RATE, INPUT_RATE / 2)
        print(
            table_row(
                name, signal.shape[0], converted.shape[0], elapsed, seconds, delay, snr, above
            )
        )
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
    try:
        args = parse_arguments(argv)
        return run_demo(args) if args.input is None else convert_file(args)
    except CliError as error:
        print(f"resample_file.py: error: {error}", file=sys.stderr)
        return error.status
    except quavix.ResamplingError as error:
        print(f"resample_file.py: error: conversion failed: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("resample_file.py: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
