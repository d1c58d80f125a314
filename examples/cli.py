"""What the two examples share to behave as command-line programs: failures a user can act on
come out as one line with an exit status, a missing optional package says how to get it, and an
option of the other example says why it does not apply."""

from __future__ import annotations

import argparse
import importlib
import sys
from collections.abc import Callable
from typing import Any

import quavix


class CliError(Exception):
    """A failure the user can act on: reported as one line, with an exit status."""

    def __init__(self, message: str, status: int = 1):
        super().__init__(message)
        self.status = status


class OneLineParser(argparse.ArgumentParser):
    """An argument parser whose errors are a single line (argparse prints the usage first)."""

    def error(self, message: str) -> Any:  # never returns
        raise CliError(f"{message} (see --help)", status=2)


# The options of each example. Each accepts the other's too, unlisted in --help, so as to refuse
# them saying why they do not apply rather than argparse's "unrecognized arguments".
FILE_OPTIONS = ("--rate", "--converter", "--subtype", "--block-frames")  # convert_file.py
DEMO_OPTIONS = ("--duration", "--out-dir")  # demo.py


def accept(parser: argparse.ArgumentParser, flags: tuple[str, ...]) -> None:
    """Adds the other example's `flags` to `parser`, unlisted, each taking a value."""
    for flag in flags:
        parser.add_argument(flag, help=argparse.SUPPRESS)


def refuse(
    parser: argparse.ArgumentParser, args: argparse.Namespace, flags: tuple[str, ...], why: str
) -> None:
    """Fails with `why` if the command line gave any of `flags` (options that default to None)."""
    given = [flag for flag in flags if getattr(args, flag[2:].replace("-", "_")) is not None]
    if given:
        parser.error(f"{', '.join(given)} {why}")


def extra(name: str) -> Any:
    """Imports a package of the optional examples extra, or says how to install it."""
    try:
        return importlib.import_module(name)
    except ImportError:
        raise CliError(f"this example needs {name}: pip install 'quavix[examples]'") from None


def soundfile_message(error: Exception) -> str:
    # LibsndfileError keeps libsndfile's own text apart from the "Error opening ..." prefix.
    text = getattr(error, "error_string", None) or str(error)
    return text.rstrip(".")


def run(program: str, command: Callable[[], int]) -> int:
    """Runs `command` and returns its exit status, reporting failures on one line."""
    try:
        return command()
    except CliError as error:
        print(f"{program}: error: {error}", file=sys.stderr)
        return error.status
    except quavix.ResamplingError as error:
        print(f"{program}: error: conversion failed: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{program}: interrupted", file=sys.stderr)
        return 130
