"""Converts an audio file to another sample rate with quavix, block by block.

    convert_file.py INPUT OUTPUT [--rate HZ] [--converter NAME] [--subtype NAME]
                    [--block-frames N]

A quavix.Resampler keeps libsamplerate's state (filter history, input not yet used) from one
block to the next, so the file is never in memory whole, and the blocks together give exactly
what quavix.resample would give for the whole file at once:

    resampler = quavix.Resampler("sinc_best", channels)
    for block, is_last in blocks:
        target.write(resampler.process(block, ratio, end_of_input=is_last))

Files are read and written with soundfile; the output format follows OUTPUT's extension and keeps
the input's sample format where that format allows it (else the format's default, or --subtype).
A progress bar (tqdm) follows the blocks. Both come with the examples extra:
pip install 'quavix[examples]'.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np
from cli import (
    DEMO_OPTIONS,
    FILE_OPTIONS,
    CliError,
    OneLineParser,
    accept,
    extra,
    refuse,
    run,
    soundfile_message,
)
from numpy.typing import NDArray

import quavix

PROGRAM = "convert_file.py"
CONVERTERS = tuple(quavix.ConverterType.__members__)
DEFAULT_RATE = 48000
DEFAULT_CONVERTER = "sinc_best"
DEFAULT_BLOCK_FRAMES = 1 << 16
MIN_RATIO, MAX_RATIO = 1 / 256, 256.0

# soundfile ships no type information: its module and SoundFile objects are typed Any here.


# --- the conversion --------------------------------------------------------------------------


def convert(
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
            # The last block says so, which lets the converter's tail out too.
            converted = resampler.process(block, ratio, end_of_input=is_last)
            target.write(converted)
            produced += converted.shape[0]
            progress.update(block.shape[0])
    return produced


def blocks_with_end(source: Any, frames_per_block: int) -> Iterator[tuple[NDArray[Any], bool]]:
    """Yields (block, is_last) over the whole file; an empty file gives one empty last block."""
    previous = None
    for block in source.blocks(frames_per_block, dtype="float32", always_2d=True):
        if previous is not None:
            yield previous, False
        previous = block
    if previous is None:
        previous = np.zeros((0, source.channels), dtype=np.float32)
    yield previous, True


def convert_file(args: argparse.Namespace) -> int:
    sf = extra("soundfile")
    tqdm = extra("tqdm").tqdm
    if args.output.exists() and args.input.exists() and args.output.samefile(args.input):
        raise CliError("OUTPUT must not be INPUT: the input would be overwritten while read")
    with open_input(sf, args.input) as source:
        ratio = args.rate / source.samplerate  # the output rate over the input rate
        check_ratio(ratio, source.samplerate, args.rate)
        target = open_output(sf, source, args.output, args.rate, args.subtype)
        started = time.perf_counter()
        try:
            with target:
                produced = convert(source, target, ratio, args.converter, args.block_frames, tqdm)
        except BaseException:
            args.output.unlink(missing_ok=True)  # no half-written result left behind
            raise
        elapsed = time.perf_counter() - started
        print(
            f"{args.input} ({source.frames} frames at {source.samplerate} Hz, "
            f"{source.channels} channels) -> {args.output} ({produced} frames at {args.rate} Hz, "
            f"{target.subtype}) with {args.converter} in {elapsed:.3f} s"
        )
    return 0


def main(argv: list[str] | None = None) -> int:
    return run(PROGRAM, lambda: convert_file(parse_arguments(argv)))


# --- the files -------------------------------------------------------------------------------


def open_input(sf: Any, path: Path) -> Any:
    if not path.exists():
        raise CliError(f"no such file: {path}")
    if not path.is_file():
        raise CliError(f"not a file: {path}")
    try:
        return sf.SoundFile(path)
    except (RuntimeError, OSError) as error:
        raise CliError(f"cannot read {path}: {soundfile_message(error)}") from None


def output_subtype(sf: Any, source: Any, output: Path, requested: str | None) -> tuple[str, str]:
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


def open_output(sf: Any, source: Any, output: Path, rate: int, subtype: str | None) -> Any:
    if not output.parent.is_dir():
        raise CliError(f"no such folder: {output.parent}")
    container, subtype = output_subtype(sf, source, output, subtype)
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
        raise CliError(f"cannot write {output}: {soundfile_message(error)}") from None


def check_ratio(ratio: float, source_rate: int, rate: int) -> None:
    # quavix would refuse these too, but only after the output file had been created.
    if not MIN_RATIO <= ratio <= MAX_RATIO:
        raise CliError(
            f"cannot convert {source_rate} Hz to {rate} Hz: the rates may differ by a factor "
            "of 256 at most"
        )


# --- arguments -------------------------------------------------------------------------------


def positive(unit: str) -> Callable[[str], int]:
    """The argument type of a positive whole number of `unit`."""

    def whole_number(text: str) -> int:
        try:
            number = int(text)
        except ValueError:
            number = 0
        if number <= 0:
            raise argparse.ArgumentTypeError(f"{text!r} is not a positive whole number of {unit}")
        return number

    return whole_number


def converter_name(text: str) -> str:
    if text not in CONVERTERS:
        raise argparse.ArgumentTypeError(
            f"unknown converter {text!r} (choose from {', '.join(CONVERTERS)})"
        )
    return text


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    # Both files are optional to argparse, so that a missing one is reported below, by name;
    # the usage line shows them as the program needs them.
    usage = f"{PROGRAM} [-h] INPUT OUTPUT [options]"
    description = "Convert an audio file to another sample rate with quavix."
    parser = OneLineParser(prog=PROGRAM, usage=usage, description=description)
    parser.add_argument(
        "input", nargs="?", type=Path, metavar="INPUT", help="audio file to convert"
    )
    parser.add_argument(
        "output", nargs="?", type=Path, metavar="OUTPUT", help="file to write the result to"
    )
    for flag, unit, default, metavar, meaning in (
        ("--rate", "hertz", DEFAULT_RATE, "HZ", "output sample rate in Hz"),
        ("--block-frames", "frames", DEFAULT_BLOCK_FRAMES, "N", "frames converted per block"),
    ):
        parser.add_argument(
            flag, type=positive(unit), metavar=metavar, help=f"{meaning} (default {default})"
        )
    parser.add_argument(
        "--converter",
        type=converter_name,
        metavar="NAME",
        help=f"one of {', '.join(CONVERTERS)} (default {DEFAULT_CONVERTER})",
    )
    parser.add_argument(
        "--subtype",
        metavar="NAME",
        help="output sample format, e.g. FLOAT or PCM_24 (default: the input's)",
    )
    accept(parser, DEMO_OPTIONS)
    args = parser.parse_args(argv)
    if args.input is None:
        refuse(parser, args, FILE_OPTIONS, "need INPUT and OUTPUT")
        parser.error("INPUT and OUTPUT are missing")
    if args.output is None:
        parser.error("OUTPUT is missing: give INPUT and OUTPUT")
    refuse(parser, args, DEMO_OPTIONS, "apply only to the demonstration (no files)")
    # The defaults come in only now: the checks above look for the options the user gave.
    args.rate = args.rate or DEFAULT_RATE
    args.block_frames = args.block_frames or DEFAULT_BLOCK_FRAMES
    args.converter = args.converter or DEFAULT_CONVERTER
    return args


if __name__ == "__main__":
    raise SystemExit(main())
