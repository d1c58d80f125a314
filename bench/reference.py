"""The C reference: libsamplerate called from C (ref.c and its parts), built here and driven
over a pipe.

The program is compiled against the very libsamplerate that the module links (pkg-config), runs
as one long-lived process, and converts the same float32 buffers as the Python side: every
signal is written once to a raw file that the C side loads. Timings are taken inside the C
program, so the pipe costs nothing that is measured.
"""

import os
import shlex
import shutil
import subprocess
import tempfile
import weakref
from dataclasses import dataclass
from pathlib import Path

import numpy as np

# ref.c reads the commands; ref_convert.c converts; ref_signals.c keeps the signals (ref.h).
SOURCES = tuple(
    Path(__file__).with_name(name) for name in ("ref.c", "ref_convert.c", "ref_signals.c")
)

CONVERTERS = ("sinc_best", "sinc_medium", "sinc_fastest", "zero_order_hold", "linear")
CONVERTER_NUMBER = {name: number for number, name in enumerate(CONVERTERS)}


PAGE = 4096


def page_offset(array):
    """Where the data of `array` starts within its 4 KiB page."""
    return array.ctypes.data % PAGE


class ReferenceError(RuntimeError):
    """The C reference could not be built or refused a command."""


@dataclass(frozen=True)
class Timing:
    seconds: float
    frames: int
    requests: int


def find_compiler():
    return os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")


def compile_reference(directory):
    """Builds the C reference in `directory` against libsamplerate; returns the program's path."""
    compiler = find_compiler()
    if compiler is None or shutil.which("pkg-config") is None:
        raise ReferenceError("the C reference needs a C compiler (cc) and pkg-config")
    flags = subprocess.run(
        ["pkg-config", "--cflags", "--libs", "samplerate"],
        capture_output=True,
        text=True,
    )
    if flags.returncode != 0:
        raise ReferenceError(f"pkg-config cannot find samplerate: {flags.stderr.strip()}")
    program = Path(directory) / "ref"
    command = [
        compiler,
        "-O2",
        "-std=c11",
        "-o",
        str(program),
        *map(str, SOURCES),
        *shlex.split(flags.stdout),
        "-lm",
    ]
    built = subprocess.run(command, capture_output=True, text=True)
    if built.returncode != 0:
        raise ReferenceError(f"cannot build the C reference:\n{built.stderr}")
    return program


class Reference:
    """One running C reference process, with the signals it has loaded."""

    def __init__(self, workdir=None):
        self._own_dir = workdir is None
        self.workdir = Path(workdir or tempfile.mkdtemp(prefix="quavix-bench-"))
        self.program = compile_reference(self.workdir)
        self.compiler = find_compiler()
        self._process = subprocess.Popen(
            [str(self.program)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            bufsize=1,
        )
        self._next_id = 1
        self._ids = {}
        self.version = self._ask("version")[0]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self._process.poll() is None:
            self._process.stdin.write("quit\n")
            self._process.stdin.close()
            self._process.wait(timeout=30)
        self._process.stdout.close()
        if self._own_dir:
            shutil.rmtree(self.workdir, ignore_errors=True)

    def _ask(self, line):
        self._process.stdin.write(line + "\n")
        self._process.stdin.flush()
        answer = self._process.stdout.readline().strip()
        if not answer.startswith("ok"):
            raise ReferenceError(f"C reference: {line!r} -> {answer or 'no answer'}")
        rest = answer[2:].strip()
        return [rest] if line == "version" else rest.split()

    def load(self, signal):
        """Hands the C side the float32 C-order buffer of `signal`, placed at the same offset
        within its page as the Python side's buffer; returns its id."""
        data = np.ascontiguousarray(signal, dtype=np.float32)
        if data.ndim not in (1, 2):
            raise ValueError("signals are (frames,) or (frames, channels)")
        self._forget_dead()
        key = id(signal)
        if key in self._ids and self._ids[key][1]() is signal:
            return self._ids[key][0]
        number = self._next_id
        self._next_id += 1
        path = self.workdir / f"signal-{number}.f32"
        data.tofile(path)
        channels = 1 if data.ndim == 1 else data.shape[1]
        self._ask(f"load {number} {path} {data.shape[0]} {channels} {page_offset(data)}")
        path.unlink()
        self._ids[key] = (number, weakref.ref(signal))
        return number

    def _forget_dead(self):
        """Releases the C side's copies of signals that the Python side has dropped."""
        for key, (number, alive) in list(self._ids.items()):
            if alive() is None:
                self._ask(f"unload {number}")
                del self._ids[key]

    def time(self, mode, signal, converter, ratio, block=0, loops=1, place=-1):
        """Times `loops` whole conversions of `signal` by src_simple, src_process or
        src_callback_read ("simple", "process", "callback"), each output buffer placed at
        `place` within its page (-1: wherever malloc puts it)."""
        number = self.load(signal)
        conv = CONVERTER_NUMBER[converter]
        if mode == "simple":
            line = f"simple {number} {conv} {ratio!r} {loops} {place}"
        else:
            line = f"{mode} {number} {conv} {ratio!r} {block} {loops} {place}"
        seconds, frames, requests = self._ask(line)
        return Timing(float(seconds), int(frames), int(requests))

    def output(self, mode, signal, converter, ratio, block=0):
        """What the C side produces for one conversion, as a float32 array shaped like the
        signal's frames, and the number of libsamplerate requests it took."""
        number = self.load(signal)
        path = self.workdir / "output.f32"
        conv = CONVERTER_NUMBER[converter]
        frames, requests = self._ask(f"dump {mode} {number} {conv} {ratio!r} {block} {path}")
        data = np.fromfile(path, dtype=np.float32)
        path.unlink()
        if np.ndim(signal) == 2:
            data = data.reshape(int(frames), np.shape(signal)[1])
        return data, int(requests)
