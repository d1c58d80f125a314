"""The example programs as the tests use them: run in a subprocess, or loaded as modules."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import soundfile as sf

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def run(program, *args, cwd):
    """Runs examples/<program>.py with `args` in `cwd`; the completed process."""
    return subprocess.run(
        [sys.executable, str(EXAMPLES / f"{program}.py"), *map(str, args)],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=120,
    )


def load(program):
    """examples/<program>.py as a module, with the modules beside it importable as they are
    when it runs."""
    if str(EXAMPLES) not in sys.path:
        sys.path.insert(0, str(EXAMPLES))
    spec = importlib.util.spec_from_file_location(program, EXAMPLES / f"{program}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def write_noise(path, rng, frames, channels, subtype="FLOAT", rate=44100):
    """Writes noise to an audio file; what reading it back gives."""
    data = (0.3 * rng.standard_normal((frames, channels))).astype("float32")
    sf.write(path, data, rate, subtype=subtype)
    return sf.read(path, dtype="float32", always_2d=True)[0]
