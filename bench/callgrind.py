"""Instruction counts of the binding and of the C reference under valgrind's callgrind tool.

Times on a shared machine carry the other tenants' noise; the number of instructions executed
does not. Both sides run the same conversions as regions: the C reference (`count` commands)
and this file run as a script (the Python side), whose regions are marked through a small
library (marks.c) loaded with ctypes. Each region's count is read from the dump callgrind writes
for it. The Python side's count includes the interpreter's work for the call and for dropping
the result, less that of an empty region.

    python callgrind.py MARKS_LIBRARY SIGNAL_FILE FRAMES CHANNELS   (run under callgrind)
"""

import ctypes
import re
import shlex
import subprocess
import sys
from functools import partial
from pathlib import Path

HERE = Path(__file__).resolve().parent
RATIO = 48000 / 44100
ONE_SHOT = ("sinc_best", "sinc_medium", "sinc_fastest", "zero_order_hold", "linear")
STREAMED = ("linear", "sinc_fastest")
STREAM_BLOCKS = (64, 1024)
WARM_UP_FRAMES = 2048


def regions(has_streaming, has_pulling):
    """(mode, converter, block) of every region, with the mode named as the C side names it."""
    found = [("simple", converter, 0) for converter in ONE_SHOT]
    for mode, present in (("process", has_streaming), ("callback", has_pulling)):
        if present:
            found += [(mode, c, b) for c in STREAMED for b in STREAM_BLOCKS]
    return found


def label_of(mode, converter, block):
    return f"{mode}-{converter}-{block}"


def blocks_of(signal, size):
    return [signal[i : i + size] for i in range(0, max(len(signal), 1), size)]


def warm_up(quavix, signal, channels, todo):
    """Runs every kind of call once on a short signal, so that no region pays for first-time
    set-up (the binding's lazy imports, the allocator's first large blocks)."""
    for mode, converter, block in todo:
        if mode == "simple":
            quavix.resample(signal, RATIO, converter)
        elif mode == "process":
            quavix.Resampler(converter, channels).process(signal, RATIO, True)
        else:
            feed = partial(next, iter([signal]), None)
            quavix.CallbackResampler(feed, RATIO, converter, channels).read(block)


def python_side(marks_path, signal_path, frames, channels):
    import numpy as np

    import quavix

    marks = ctypes.CDLL(marks_path)
    marks.region_end.argtypes = [ctypes.c_char_p]
    signal = np.fromfile(signal_path, dtype=np.float32).reshape(frames, channels)
    start, end = marks.region_start, marks.region_end

    todo = regions(hasattr(quavix, "Resampler"), hasattr(quavix, "CallbackResampler"))
    warm_up(quavix, signal[:WARM_UP_FRAMES], channels, todo)
    for _ in range(3):  # the last one counts: the first calls also set ctypes up
        start()
        end(b"baseline")
    for mode, converter, block in todo:
        label = label_of(mode, converter, block).encode()
        resample = quavix.resample
        if mode == "simple":
            start()
            resample(signal, RATIO, converter)
            end(label)
        elif mode == "process":
            blocks = blocks_of(signal, block)
            body, last = blocks[:-1], blocks[-1]
            start()
            process = quavix.Resampler(converter, channels).process
            for b in body:
                process(b, RATIO)
            process(last, RATIO, True)
            del process
            end(label)
        else:
            blocks = blocks_of(signal, block)
            start()
            feed = partial(next, iter(blocks), None)
            read = quavix.CallbackResampler(feed, RATIO, converter, channels).read
            while len(read(block)):
                pass
            del read, feed
            end(label)


def read_dumps(prefix):
    """label -> instructions, from the dump files callgrind wrote for `prefix`."""
    counts = {}
    dumps = sorted(prefix.parent.glob(prefix.name + ".*"), key=lambda p: int(p.suffix[1:] or 0))
    for path in dumps:
        text = path.read_text(errors="replace")
        label = re.search(r"^desc: Trigger: Client Request: (.+)$", text, re.M)
        total = re.search(r"^summary: (\d+)", text, re.M)
        if label and total:
            counts[label.group(1).strip()] = int(total.group(1))
    return counts


def callgrind(prefix):
    return ["valgrind", "--tool=callgrind", "--quiet", f"--callgrind-out-file={prefix}"]


def build_marks(workdir, compiler):
    library = Path(workdir) / "marks.so"
    built = subprocess.run(
        [compiler, "-O2", "-shared", "-fPIC", "-o", str(library), str(HERE / "marks.c")],
        capture_output=True,
        text=True,
    )
    if built.returncode != 0:
        raise RuntimeError(f"cannot build the callgrind marks:\n{built.stderr}")
    return library


def count(program, compiler, workdir, signal, has_streaming, has_pulling):
    """Runs both sides under callgrind at once (one per core); returns (python, c, calls),
    dictionaries from region label to instructions and to the number of binding calls."""
    import numpy as np

    workdir = Path(workdir)
    data = np.ascontiguousarray(signal, dtype=np.float32)
    frames, channels = data.shape
    signal_path = workdir / "instructions.f32"
    data.tofile(signal_path)
    marks = build_marks(workdir, compiler)
    py_prefix, c_prefix = workdir / "py.callgrind", workdir / "c.callgrind"
    todo = regions(has_streaming, has_pulling)
    warm_path = workdir / "warm-up.f32"
    data[:WARM_UP_FRAMES].tofile(warm_path)
    commands = [
        f"load 1 {signal_path} {frames} {channels} -1",
        f"load 2 {warm_path} {min(frames, WARM_UP_FRAMES)} {channels} -1",
    ]
    for mode, converter, block in todo:
        number = ONE_SHOT.index(converter)
        commands.append(f"dump {mode} 2 {number} {RATIO!r} {block} {workdir / 'warm-up.out'}")
    for mode, converter, block in todo:
        number = ONE_SHOT.index(converter)
        label = label_of(mode, converter, block)
        commands.append(f"count {mode} 1 {number} {RATIO!r} {block} {label}")
    commands.append("quit")
    py_command = [
        *callgrind(py_prefix),
        sys.executable,
        str(Path(__file__).resolve()),
        str(marks),
        str(signal_path),
        str(frames),
        str(channels),
    ]
    python = subprocess.Popen(py_command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    c_side = subprocess.run(
        [*callgrind(c_prefix), str(program)],
        input="\n".join(commands) + "\n",
        capture_output=True,
        text=True,
    )
    py_out, py_err = python.communicate()
    if python.returncode != 0 or c_side.returncode != 0:
        raise RuntimeError(
            f"callgrind runs failed: {shlex.join(py_command)}\n{py_err.decode()}\n{c_side.stderr}"
        )
    answers = c_side.stdout.split("\n")[2 + len(todo) :]
    calls = {}
    for (mode, converter, block), answer in zip(todo, answers, strict=False):
        if not answer.startswith("ok"):
            raise RuntimeError(f"C reference under callgrind: {answer}")
        calls[label_of(mode, converter, block)] = int(answer.split()[2])
    return read_dumps(py_prefix), read_dumps(c_prefix), calls


if __name__ == "__main__":
    python_side(sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
